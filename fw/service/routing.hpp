#pragma once
// Steers packets that carry the local-delivery mark to the host itself: a
// policy rule sends them to a routing table of the daemon's own, which holds
// one local route for every destination through "lo". What was installed is
// recorded in a state file, so that it is removed at the next configuration,
// at stop, and at the next start after a crash.
#include <cstdint>
#include <list>
#include <optional>
#include <set>
#include <string>

#include "fw/service/service.hpp"

namespace kv {
class LinuxFirewallConfig;
}

namespace fw::linux::netlink {
struct netlink_reply_t;
}

namespace fw::linux::rtnetlink::routing {
class message_t;
}

namespace fw::service {

class marks_t;

struct rule_record_t {
    std::uint32_t table_id = 0;
    std::uint32_t fwmark = 0;
    std::optional<int> metric;
    bool operator==(const rule_record_t&) const = default;
};

class routing_t : public util::service_t {
public:
    static constexpr std::uint32_t first_table = 100;
    static constexpr std::uint32_t last_table = 200;
    static constexpr int metric = 2147483647;

    // Registers the own-rule filter with the marks service; touches nothing in the kernel.
    routing_t(const kv::LinuxFirewallConfig& config, marks_t& marks);
    ~routing_t() override;

    void configure() override;

    // False exactly for the policy rule this service installed.
    bool own_rule_filter(std::uint32_t table_id, std::uint32_t fwmark) const noexcept;

    const std::optional<rule_record_t>& own_rule() const noexcept { return record_; }

private:
    void uninstall_recorded();
    void install_route(std::uint32_t table_id);
    void install_rule(std::uint32_t table_id, const std::string& path);

    const kv::LinuxFirewallConfig& config_;
    marks_t& marks_;
    std::optional<rule_record_t> record_;
    std::optional<std::string> path_;
};

// The state file: one fw.service.RuleInfo. Reading removes the file; a file
// that does not parse yields no record.
std::optional<rule_record_t> read_rule_info(const std::string& path);
void write_rule_info(const rule_record_t& record, const std::string& path);

// "table N" and ", metric M" when there is a metric.
std::string local_route_text(std::uint32_t table_id, std::optional<int> metric);

// The local route for 0.0.0.0/0 through "lo" in the table.
linux::rtnetlink::routing::message_t make_route_message(std::uint32_t table_id, bool has_metric, int metric);
// The policy rule sending packets with the fwmark to the table; action 0 for removal.
linux::rtnetlink::routing::message_t make_rule_message(std::uint32_t table_id, std::uint32_t fwmark,
                                                       std::uint8_t action);

// The tables that the routes and rules of an IPv4 route dump and rule dump use.
std::set<std::uint32_t> tables_in_use(const std::list<linux::netlink::netlink_reply_t>& replies);
// The lowest table from 100 to 200 not in use.
std::uint32_t free_routing_table(const std::set<std::uint32_t>& used);

} // namespace fw::service
