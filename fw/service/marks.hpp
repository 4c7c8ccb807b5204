#pragma once
// Chooses the firewall marks the daemon tells its own traffic apart with:
// three fixed marks and one per divert, each a single bit of the 32-bit mark,
// either configured or the lowest bit no foreign rule of the host uses.
#include <cstdint>
#include <functional>
#include <list>
#include <string>

#include "fw/service/service.hpp"

namespace kv {
class LinuxFirewallConfig;
}

namespace fw::linux::iptables {
struct ipt_table_t;
}

namespace fw::linux::netlink {
struct netlink_reply_t;
}

namespace fw::service {

// (routing table id, fwmark) -> whether that policy rule counts as a user of the mark.
using mark_filter_t = std::function<bool(std::uint32_t table, std::uint32_t mark)>;

// The mark bits that rules of other software on the host use; policy rules
// count only where the filter accepts them.
using used_marks_source_t = std::function<std::uint32_t(const mark_filter_t& filter)>;

class marks_t : public util::service_t {
public:
    using filter_t = mark_filter_t;

    explicit marks_t(const kv::LinuxFirewallConfig& config);
    // `used_marks` stands in for the look at the host's rules.
    marks_t(const kv::LinuxFirewallConfig& config, used_marks_source_t used_marks);
    ~marks_t() override;

    void configure() override;

    std::uint32_t local_delivery_mark() const noexcept { return local_delivery_mark_; }
    std::uint32_t client_packets_mark() const noexcept { return client_packets_mark_; }
    std::uint32_t server_packets_mark() const noexcept { return server_packets_mark_; }
    std::uint32_t input_divert_mark() const noexcept { return input_divert_mark_; }
    std::uint32_t output_divert_mark() const noexcept { return output_divert_mark_; }
    std::uint32_t forward_divert_mark() const noexcept { return forward_divert_mark_; }

    // Divert kind 0 output, 1 input, 2 forward; any other kind yields 0.
    std::uint32_t divert_mark(int divert_kind) const noexcept;

    // An empty callable restores the default filter, which accepts every pair.
    void set_filter(filter_t filter);

private:
    const kv::LinuxFirewallConfig& config_;
    std::uint32_t local_delivery_mark_ = 0;
    std::uint32_t client_packets_mark_ = 0;
    std::uint32_t server_packets_mark_ = 0;
    std::uint32_t input_divert_mark_ = 0;
    std::uint32_t output_divert_mark_ = 0;
    std::uint32_t forward_divert_mark_ = 0;
    filter_t filter_;
    used_marks_source_t used_marks_;
};

// What the host's rules use, one source at a time.

// Mark values of the foreign rules in the built-in chains of one table: "mark"
// matches (inverted ones too) and "MARK" targets; the daemon's own rules,
// user-defined chains and connection marks do not count.
std::uint32_t ipt_table_marks(const linux::iptables::ipt_table_t& table);

using ipt_table_reader_t = std::function<linux::iptables::ipt_table_t(const std::string& name)>;
// The tables "nat" and "mangle"; a table that is not loaded contributes nothing.
std::uint32_t iptables_used_marks(const ipt_table_reader_t& read);
std::uint32_t iptables_used_marks();

// The fwmarks of the policy rules of a RTM_GETRULE dump that name a table.
std::uint32_t policy_rule_marks(const std::list<linux::netlink::netlink_reply_t>& replies,
                                const mark_filter_t& filter);
std::uint32_t policy_rule_used_marks(const mark_filter_t& filter);

// The rules of nftables tables of families ip and inet, read whenever the dump
// succeeds; a failed dump counts nothing unless the modules loaded.
std::uint32_t nftables_used_marks();

// iptables, then policy rules, then nftables.
std::uint32_t collect_used_marks(const mark_filter_t& filter);

} // namespace fw::service
