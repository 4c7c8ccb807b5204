#include "linux/nftables/mark_eval.hpp"

#include <linux/netfilter/nf_tables.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <stdexcept>
#include <string>

namespace fw::linux::nftables {

namespace {

static_assert(NFT_META_MARK == 3 && NFT_CT_MARK == 3);

template <class... F>
struct overloaded : F... {
    using F::operator()...;
};
template <class... F>
overloaded(F...) -> overloaded<F...>;

// A register: empty, a constant from "immediate", or an image of a loaded mark.
using slot_t = std::optional<std::variant<std::uint32_t, mark_image_t>>;

class machine_t {
public:
    std::uint32_t result = 0;

    void forget() { registers_.fill(std::nullopt); }
    slot_t& at(std::uint32_t reg) { return registers_.at(reg); }

    void operator()(const other_expr_t&) { forget(); }

    void operator()(const immediate_t& e)
    {
        if (e.dreg && e.value)
            at(*e.dreg) = *e.value;
        else
            forget();
    }

    void operator()(const meta_t& e) { mark_access(e.key, e.dreg, e.sreg); }
    void operator()(const ct_t& e) { mark_access(e.key, e.dreg, e.sreg); }

    void operator()(const bitwise_t& e)
    {
        if (!e.sreg || !e.dreg || !e.len)
            throw std::runtime_error("bitwise_t: support only (exists dreg, sreg, len) in bitwise");
        if (!e.mask || !e.xor_value)
            throw std::runtime_error("bitwise_t: rule is incorrect");
        slot_t& source = at(*e.sreg);
        if (!source) {
            forget();
            return;
        }
        const mark_image_t image = std::get<mark_image_t>(*source);
        const std::uint32_t m = *e.mask, x = *e.xor_value;
        at(*e.dreg) = mark_image_t{image.changed | x | ~m, image.kept & m & ~x};
    }

    void operator()(const cmp_t& e)
    {
        if (e.data) {
            const slot_t& source = at(e.sreg.value());
            if (source) {
                const mark_image_t image = std::get<mark_image_t>(*source);
                // A compare of the whole mark (meta mark 1) uses the bits of the compared value.
                bool whole = image.kept == 0xffffffffu && image.changed == 0;
                result |= whole ? *e.data : image.kept;
            }
        }
        forget();
    }

    // iptables-nft writes MARK and CONNMARK as xtables targets and some mark
    // tests as xtables matches; registers are not involved.
    void operator()(const compat_t& e)
    {
        forget();
        result |= compat_mark_bits(e);
    }

private:
    void mark_access(const opt_u32& key, const opt_u32& dreg, const opt_u32& sreg)
    {
        if (!key || *key != NFT_META_MARK) {
            forget();
            return;
        }
        if (dreg) {
            forget();
            at(*dreg) = mark_image_t{};
        }
        if (sreg) {
            // A store of a constant (meta mark set 0x10) sets that constant's bits.
            result |= std::visit(overloaded{[](std::uint32_t constant) { return constant; },
                                            [](const mark_image_t& image) { return image.changed; }},
                                 at(*sreg).value());
            forget();
        }
    }

    std::array<slot_t, 24> registers_{};
};

} // namespace

std::uint32_t compat_mark_bits(const compat_t& e)
{
    const std::string name = e.name.value();
    const bool mark_target = e.target && name == "MARK";
    const bool connmark_target = e.target && name == "CONNMARK";
    const bool mark_match = !e.target && (name == "mark" || name == "connmark");
    if (!mark_target && !connmark_target && !mark_match)
        return 0;
    const std::uint32_t revision = e.revision.value();
    // Each layout starts with 32-bit words: (mark, mask) of the MARK target
    // (revision 2) and of both matches (revision 1); (ctmark, ctmask, nfmask)
    // then the mode byte, last of CONNMARK's (revision 1; 2 adds two shift bytes first).
    std::size_t words = 2;
    std::size_t mode_at = 0;
    if (mark_target && revision != 2)
        throw std::runtime_error("MARK target revision " + std::to_string(revision) + " is not supported");
    if (mark_match && revision != 1)
        throw std::runtime_error(name + " match revision " + std::to_string(revision) + " is not supported");
    if (connmark_target) {
        if (revision != 1 && revision != 2)
            throw std::runtime_error("CONNMARK target revision " + std::to_string(revision) + " is not supported");
        words = 3;
        mode_at = revision == 1 ? 12 : 14;
    }
    if (e.info.size() < std::max(words * 4, mode_at + 1))
        throw std::runtime_error(name + ": extension data too short");
    std::uint32_t w[3] = {};
    std::memcpy(w, e.info.data(), words * 4);
    if (mark_match) // (mark & mask) == value: the whole mark tested names the value's bits
        return w[1] == 0xffffffffu ? w[0] : w[1];
    enum { set_mode = 0 }; // XT_CONNMARK_SET; SAVE and RESTORE copy one mark into the other
    const bool sets = mark_target || e.info[mode_at] == set_mode;
    if (sets) // new = (old & ~mask) ^ value: a replaced whole mark names the value's bits
        return w[1] == 0xffffffffu ? w[0] : (w[0] | w[1]);
    // A copy of the whole mark adds nothing; a masked copy keeps its state in the masked bits.
    return (w[1] & w[2]) == 0xffffffffu ? 0 : (w[1] | w[2]);
}

std::uint32_t eval_rule_mark_bits(const nft_rule_t& rule)
{
    machine_t machine;
    for (const expression_t& e : rule.expressions)
        std::visit(machine, e);
    return machine.result;
}

} // namespace fw::linux::nftables
