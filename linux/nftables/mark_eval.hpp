#pragma once
// Which firewall-mark bits does a (foreign) nf_tables rule set or test? Runs the
// rule's expressions on a small symbolic register machine that follows the
// usual patterns: mark load, bitwise mask/xor, then a store or a comparison.
#include "linux/nftables/parser.hpp"

#include <cstdint>

namespace fw::linux::nftables {

// A value derived from a mark as loaded.
struct mark_image_t {
    std::uint32_t changed = 0;        // bits that no longer equal the loaded mark's bits
    std::uint32_t kept = 0xffffffffu; // bits that still carry the loaded mark's bits
};

// The mask of mark bits the rule sets (meta or ct mark) or tests. Throws on
// expressions it cannot follow; the caller skips such a rule.
std::uint32_t eval_rule_mark_bits(const nft_rule_t& rule);

} // namespace fw::linux::nftables
