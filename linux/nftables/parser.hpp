#pragma once
// Reads nf_tables rule and chain messages (dump replies, query replies and
// notifications) into plain records. Only what the daemon needs is kept;
// other attributes are stepped over.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

namespace fw::linux::nftables {

// Malformed rule or chain message.
class parse_error_t : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

using opt_u32 = std::optional<std::uint32_t>;

struct other_expr_t {};

// Data values (mask, xor, data, value) hold the first 4 bytes in memory order.
struct bitwise_t {
    opt_u32 sreg, dreg, len, mask, xor_value;
};

struct meta_t {
    opt_u32 dreg, key, sreg;
};

struct cmp_t {
    opt_u32 sreg, op, data;
};

struct immediate_t {
    opt_u32 dreg, value;
    std::optional<std::string> chain;
    opt_u32 verdict;
};

struct ct_t {
    opt_u32 dreg, key, sreg;
};

// An xtables extension inside a rule ("target" or "match"), as iptables-nft
// writes MARK and CONNMARK: its name, revision and the kernel's info struct.
struct compat_t {
    bool target = false;
    std::optional<std::string> name;
    opt_u32 revision;
    std::vector<std::uint8_t> info;
};

using expression_t = std::variant<other_expr_t, bitwise_t, meta_t, cmp_t, immediate_t, ct_t, compat_t>;

struct nft_rule_t {
    std::optional<std::uint64_t> handle;
    std::optional<std::uint64_t> position;
    std::optional<std::string> chain;
    std::optional<std::string> table;
    // The comment TLV of the user data; other TLVs are stepped over.
    std::optional<std::string> comment;
    std::vector<expression_t> expressions;
    // Parse state: index of the expression that NFTA_EXPR_DATA fills.
    std::optional<std::size_t> current;
};

struct nft_chain_t {
    opt_u32 hooknum;
    opt_u32 priority; // the kernel's signed priority, as its 32 bits
    std::optional<std::string> type;
    std::optional<std::string> name;
    std::optional<std::string> table;
};

struct nft_table_t {
    std::optional<std::string> name;
};

// Each walks the attributes after nlmsghdr and nfgenmsg into a fresh record and
// return the bytes walked; they throw parse_error_t on malformed input and
// never read outside [attributes, attributes + length).
std::size_t parse_rule(nft_rule_t& rule, const std::uint8_t* attributes, std::size_t length);
std::size_t parse_chain(nft_chain_t& chain, const std::uint8_t* attributes, std::size_t length);
std::size_t parse_table(nft_table_t& table, const std::uint8_t* attributes, std::size_t length);

} // namespace fw::linux::nftables
