#pragma once
// An iptables table as a value: built-in chains by hook, user chains by name,
// rules with their matches and targets as the kernel's extension blobs. Read
// whole from the kernel, edited, written back whole in one replace.
#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include <boost/system/error_code.hpp>

#include "linux/iptables/uapi.hpp"

namespace fw::linux::iptables {

class sockopt_t;

// One complete xt_entry_match or xt_entry_target: header and data.
using xt_blob_t = std::vector<std::uint8_t>;

enum class ipt_verdict_t { DROP = 0, ACCEPT = 1, RETURN = 2 };

// Jump to a user-defined chain of the same table, by name.
struct ipt_jump_t {
    std::string chain;
    bool operator==(const ipt_jump_t&) const = default;
};

// No target: evaluation goes on with the next rule.
struct ipt_fall_through_t {
    bool operator==(const ipt_fall_through_t&) const = default;
};

// Any other standard verdict the kernel takes (QUEUE, STOLEN, STOP): the
// daemon never sets one, but a host table may hold it, and it is written back
// exactly as read.
struct ipt_other_verdict_t {
    std::int32_t verdict = 0;
    bool operator==(const ipt_other_verdict_t&) const = default;
};

using ipt_target_t = std::variant<ipt_verdict_t, xt_blob_t, ipt_jump_t, ipt_fall_through_t, ipt_other_verdict_t>;

using iface_bytes_t = std::array<std::uint8_t, IFNAMSIZ>;

struct ipt_rule_t {
    struct ipt_ip ip {};
    std::vector<xt_blob_t> matches;
    ipt_target_t target = ipt_verdict_t::DROP;
    struct xt_counters counters {};
    // The rule's entry number in the table it was read from; none for a rule
    // made here. Not part of the rule's value.
    std::optional<std::uint32_t> read_entry;

    // Addresses and masks in host byte order; the ipt_ip keeps network order.
    std::uint32_t src() const;
    void set_src(std::uint32_t address);
    std::uint32_t dst() const;
    void set_dst(std::uint32_t address);
    std::uint32_t smsk() const;
    void set_smsk(std::uint32_t mask);
    std::uint32_t dmsk() const;
    void set_dmsk(std::uint32_t mask);

    iface_bytes_t iniface() const;
    void set_iniface(const iface_bytes_t& name);
    iface_bytes_t outiface() const;
    void set_outiface(const iface_bytes_t& name);
    iface_bytes_t iniface_mask() const;
    void set_iniface_mask(const iface_bytes_t& mask);
    iface_bytes_t outiface_mask() const;
    void set_outiface_mask(const iface_bytes_t& mask);

    std::uint16_t proto() const { return ip.proto; }
    void set_proto(std::uint16_t proto) { ip.proto = proto; }
    bool fragment() const { return ip.flags & IPT_F_FRAG; }
    void set_fragment(bool on);
    bool is_goto() const { return ip.flags & IPT_F_GOTO; }
    void set_goto(bool on);

    bool operator==(const ipt_rule_t& other) const;
};

struct ipt_builtin_chain_t {
    std::vector<ipt_rule_t> rules;
    ipt_verdict_t policy = ipt_verdict_t::ACCEPT;
    struct xt_counters counters {};
    // As ipt_rule_t::read_entry, for the policy's entry.
    std::optional<std::uint32_t> policy_read_entry;
    bool operator==(const ipt_builtin_chain_t& other) const;
};

struct ipt_user_chain_t {
    std::vector<ipt_rule_t> rules;
    bool operator==(const ipt_user_chain_t&) const = default;
};

// The size of a table as the kernel held it.
struct ipt_table_size_t {
    std::uint32_t num_entries = 0;
    std::uint32_t size = 0;
    bool operator==(const ipt_table_size_t&) const = default;
};

struct ipt_table_t {
    // By netfilter hook: 0 PREROUTING, 1 INPUT, 2 FORWARD, 3 OUTPUT, 4 POSTROUTING.
    // operator[] of a missing hook creates an empty chain with policy ACCEPT.
    std::map<int, ipt_builtin_chain_t> builtin_chains;
    std::map<std::string, ipt_user_chain_t> user_chains;
    // The table this one was read from, which the read_entry numbers refer
    // to; none for a table made here. Not part of the table's value.
    std::optional<ipt_table_size_t> read_size;
    bool operator==(const ipt_table_t& other) const
    {
        return builtin_chains == other.builtin_chains && user_chains == other.user_chains;
    }
};

// The kernel form of a table.
struct ipt_blob_t {
    std::vector<std::uint8_t> entries;
    // Hook -> (hook entry offset, underflow offset), counted from the first entry.
    std::map<int, std::pair<std::uint32_t, std::uint32_t>> hooks;
    std::uint32_t num_entries = 0;
};

// Throws system_error EINVAL "Cannot parse IP table blob" on any malformed entry,
// without reading outside the blob; the text goes on with where the fault is,
// as far as known: " (table T, chain C, rule N)".
ipt_table_t parse_ipt_blob(const ipt_blob_t& blob, const std::string& table_name = {});

// The table's entries as the replace operation takes them. Throws runtime_error
// for a chain name that does not fit, a bad match or target size, a jump to a
// chain the table lacks, or a rule too large for an entry.
ipt_blob_t make_ipt_blob(const ipt_table_t& table);

// The counters of every entry of make_ipt_blob(table), in entry order.
std::vector<struct xt_counters> ipt_counter_list(const ipt_table_t& table);

// The whole named table. A change of the table by another program between the
// info and the entries is retried a few times before it fails.
ipt_table_t read_ipt_table(const std::string& name);
ipt_table_t read_ipt_table(sockopt_t& socket, const std::string& name);

// Replaces the named table and restores the counters the model carries. The
// rules and policies read from the table being replaced take the counters
// the kernel hands back at the replace, so that the packets they counted since
// the read are not lost.
void write_ipt_table(const std::string& name, const ipt_table_t& table);
void write_ipt_table(sockopt_t& socket, const std::string& name, const ipt_table_t& table);

// "PREROUTING" ... "POSTROUTING" for hooks 0 to 4, empty for any other.
const std::string& builtin_chain_name(int hook);

// True for ENOENT and ENOPROTOOPT: the table, or the iptables core, is not loaded.
bool is_table_missing(const boost::system::error_code& code);

// How often the entries are asked for while the table keeps changing under us.
constexpr int read_attempts = 5;

} // namespace fw::linux::iptables
