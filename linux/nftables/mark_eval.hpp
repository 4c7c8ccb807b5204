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

// The mark bits an xtables MARK or CONNMARK target changes, or a "mark" or
// "connmark" match tests; 0 for other extensions. A whole mark replaced or
// tested names the bits of its value, a masked one the bits of its mask (and
// value). Throws on a revision or size it does not know.
std::uint32_t compat_mark_bits(const compat_t& e);

} // namespace fw::linux::nftables
