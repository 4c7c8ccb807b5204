#pragma once
// Steers packets that carry the local-delivery mark to the host itself: a
// policy rule sends them to a routing table of the daemon's own, which holds
// one local route for every destination through "lo". What was installed is
// recorded in a state file, so that it is removed at the next configuration,
// at stop, and at the next start after a crash.
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "fw/service/service.hpp"

namespace kv {
class LinuxFirewallConfig;
}

namespace fw::linux::netlink {
struct netlink_reply_t;
class sync_link_t;
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

// The steps of installing and removing, in order, as a test seam: a test ends
// the process at one of them to show that no crash leaves anything behind.
enum class routing_step_t { recorded, route_installed, rule_installed, route_removed, rule_removed };

class routing_t : public util::service_t {
public:
    static constexpr std::uint32_t first_table = 100;
    static constexpr std::uint32_t last_table = 200;
    static constexpr int metric = 2147483647;

    // Registers the own-rule filter with the marks service; touches nothing in the kernel.
    routing_t(const kv::LinuxFirewallConfig& config, marks_t& marks);
    ~routing_t() override;

    // Refuses a `var_lib_dir` that is empty (while routing is automatic) or
    // relative before anything else, then as the class comment says.
    void configure() override;

    // False exactly for the policy rule this service installed (or one whose
    // removal failed and is to be tried again), or, before its
    // first configuration, for the one the state file records: a run that
    // ended without its stop left it, and it goes in this very apply.
    bool own_rule_filter(std::uint32_t table_id, std::uint32_t fwmark) const noexcept;

    const std::optional<rule_record_t>& own_rule() const noexcept { return record_; }

    void set_step_hook(std::function<void(routing_step_t)> hook) { step_hook_ = std::move(hook); }

private:
    // The state file for the current configuration; none when routing is off
    // and `var_lib_dir` is empty.
    std::optional<std::string> state_path() const;
    void uninstall_recorded();
    // The record goes to the installations whose removal is retried.
    void keep_unremoved();
    void retry_unremoved();
    // Route, rule and then the state file; false while route or rule is left.
    bool remove_installed(const rule_record_t& record);
    bool remove_objects(const rule_record_t& record);
    void install_route(std::uint32_t table_id);
    void install_rule(std::uint32_t table_id);
    void step(routing_step_t done);
    // The link every change goes through, opened before the first change and
    // kept, so that a stop at the open-file limit needs no new descriptor.
    linux::netlink::sync_link_t& link();

    const kv::LinuxFirewallConfig& config_;
    marks_t& marks_;
    std::optional<rule_record_t> record_;
    // Earlier installations whose removal failed and that the state file no longer names.
    std::vector<rule_record_t> unremoved_;
    bool configured_ = false;
    std::optional<std::string> path_;
    std::unique_ptr<linux::netlink::sync_link_t> link_;
    unsigned loopback_index_ = 0;
    std::function<void(routing_step_t)> step_hook_;
};

// Whether a record is what this daemon installs: a table from 100 to 200, a
// single-bit mark and its own metric.
bool is_own_record(const rule_record_t& record) noexcept;

// The state file: one fw.service.RuleInfo, written whole before the route and
// rule are installed and removed only after they are gone.
// A file this daemon cannot have written (not a regular file, not parsing, or
// not an own record) is removed with a warning and yields no record.
std::optional<rule_record_t> read_rule_info(const std::string& path);
// The own record of the file, with no side effect; none on any failure.
std::optional<rule_record_t> peek_rule_info(const std::string& path) noexcept;
// Through a temporary file, synced and renamed over the state file, so that a
// crash leaves either the old record or the new one.
void write_rule_info(const rule_record_t& record, const std::string& path);
// A missing file is no error.
void remove_rule_info(const std::string& path);


// "table N" and ", metric M" when there is a metric.
std::string local_route_text(std::uint32_t table_id, std::optional<int> metric);

// The local route for 0.0.0.0/0 through "lo" (through the interface `oif`) in the table.
linux::rtnetlink::routing::message_t make_route_message(std::uint32_t table_id, bool has_metric, int metric);
linux::rtnetlink::routing::message_t make_route_message(std::uint32_t table_id, bool has_metric, int metric,
                                                        unsigned oif);
// The policy rule sending packets with the fwmark to the table; action 0 for removal.
linux::rtnetlink::routing::message_t make_rule_message(std::uint32_t table_id, std::uint32_t fwmark,
                                                       std::uint8_t action);

// The tables that the routes and rules of an IPv4 route dump and rule dump use.
std::set<std::uint32_t> tables_in_use(const std::list<linux::netlink::netlink_reply_t>& replies);
// The lowest table from 100 to 200 not in use.
std::uint32_t free_routing_table(const std::set<std::uint32_t>& used);

} // namespace fw::service
