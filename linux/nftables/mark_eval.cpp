#include "linux/nftables/mark_eval.hpp"

#include <linux/netfilter/nf_tables.h>

#include <array>
#include <stdexcept>

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

std::uint32_t eval_rule_mark_bits(const nft_rule_t& rule)
{
    machine_t machine;
    for (const expression_t& e : rule.expressions)
        std::visit(machine, e);
    return machine.result;
}

} // namespace fw::linux::nftables
