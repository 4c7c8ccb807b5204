// The rule mark evaluator on hand-built expression lists.
#include "linux/nftables/mark_eval.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <typeinfo>

using namespace fw::linux::nftables;

namespace {

meta_t load_mark(std::uint32_t reg) { return {reg, 3, std::nullopt}; }
meta_t store_mark(std::uint32_t reg) { return {std::nullopt, 3, reg}; }
ct_t load_ct_mark(std::uint32_t reg) { return {reg, 3, std::nullopt}; }
ct_t store_ct_mark(std::uint32_t reg) { return {std::nullopt, 3, reg}; }
bitwise_t bitwise(std::uint32_t reg, std::uint32_t mask, std::uint32_t xor_value) { return {reg, reg, 4, mask, xor_value}; }
cmp_t cmp(std::uint32_t reg, std::uint32_t data) { return {reg, 0, data}; }
immediate_t immediate(std::uint32_t reg, std::uint32_t value) { return {reg, value, std::nullopt, std::nullopt}; }

// An xtables extension as iptables-nft writes it: 32-bit words in host order, then bytes.
compat_t xt(bool target, const char* name, std::uint32_t revision, std::vector<std::uint32_t> words,
            std::vector<std::uint8_t> tail = {})
{
    compat_t e{target, name, revision, {}};
    for (std::uint32_t w : words)
        e.info.insert(e.info.end(), reinterpret_cast<const std::uint8_t*>(&w),
                      reinterpret_cast<const std::uint8_t*>(&w) + 4);
    e.info.insert(e.info.end(), tail.begin(), tail.end());
    e.info.resize((e.info.size() + 7) & ~std::size_t{7}); // XT_ALIGN, as the kernel dumps it
    return e;
}
compat_t mark_target(std::uint32_t mark, std::uint32_t mask) { return xt(true, "MARK", 2, {mark, mask}); }
// CONNMARK revision 1: ctmark, ctmask, nfmask, mode (0 set, 1 save, 2 restore).
compat_t connmark(std::uint32_t ctmark, std::uint32_t ctmask, std::uint32_t nfmask, std::uint8_t mode)
{
    return xt(true, "CONNMARK", 1, {ctmark, ctmask, nfmask}, {mode});
}

struct eval_case_t {
    const char* name;
    std::vector<expression_t> expressions;
    std::uint32_t bits;                 // when no error
    const std::type_info* error = nullptr;
    const char* text = nullptr;
};

const eval_case_t cases[] = {
    {"no expressions", {}, 0},
    {"whole-mark compare counts the compared value", {load_mark(1), cmp(1, 5)}, 0x5},
    {"whole-mark compare with 0 uses no bit", {load_mark(1), cmp(1, 0)}, 0},
    {"masked ct mark compare counts the mask", {load_ct_mark(1), bitwise(1, 0x0000ff00, 0), cmp(1, 0x100)}, 0xff00},
    {"set bits 0x10", {load_mark(10), bitwise(10, ~0x10u, 0x10), store_mark(10)}, 0x10},
    {"set ct bits 0x10", {load_mark(10), bitwise(10, ~0x10u, 0x10), store_ct_mark(10)}, 0x10},
    {"clear bits 0x80", {load_mark(1), bitwise(1, ~0x80u, 0), store_mark(1)}, 0x80},
    {"copy a mark unchanged", {load_mark(1), store_ct_mark(1)}, 0},
    {"store of a constant counts the constant", {immediate(1, 0x10), store_mark(1)}, 0x10},
    {"ct store of a constant", {immediate(1, 0x20), store_ct_mark(1)}, 0x20},
    {"a payload forgets the loaded mark", {load_mark(1), other_expr_t{}, cmp(1, 5)}, 0},
    {"another meta key forgets", {load_mark(1), meta_t{2, 5, std::nullopt}, cmp(1, 5)}, 0},
    {"a verdict forgets", {load_mark(1), immediate_t{0, std::nullopt, std::nullopt, 1}, cmp(1, 5)}, 0},
    {"bitwise of an empty register forgets", {bitwise(3, 0xff, 0), cmp(3, 1)}, 0},
    {"results add up over the rule",
     {load_mark(1), bitwise(1, 0x3, 0), cmp(1, 1), load_ct_mark(2), bitwise(2, ~0x40u, 0x40), store_ct_mark(2)},
     0x43},
    {"a new load forgets the earlier registers", {load_mark(1), load_mark(8), cmp(1, 0x9)}, 0},
    // iptables-nft's MARK and CONNMARK targets and mark matches.
    {"MARK --set-mark 0x1", {mark_target(0x1, 0xffffffffu)}, 0x1},
    {"MARK --or-mark 0x4", {mark_target(0x4, 0x4)}, 0x4},
    {"MARK --and-mark 0xfffffff7", {mark_target(0, 0x8)}, 0x8},
    {"MARK --set-mark 0x10/0xf0", {mark_target(0x10, 0xf0)}, 0xf0},
    {"CONNMARK --set-mark 0x200", {connmark(0x200, 0xffffffffu, 0, 0)}, 0x200},
    {"CONNMARK revision 2 --set-xmark 0x2/0x3",
     {xt(true, "CONNMARK", 2, {0x2, 0x3, 0}, {0, 0, 0})}, 0x3},
    {"CONNMARK --save-mark", {connmark(0, 0xffffffffu, 0xffffffffu, 1)}, 0},
    {"CONNMARK --restore-mark --mask 0xff", {connmark(0, 0xff, 0xff, 2)}, 0xff},
    {"-m mark --mark 0x40", {xt(false, "mark", 1, {0x40, 0xffffffffu}, {0})}, 0x40},
    {"-m connmark --mark 0x4/0x6", {xt(false, "connmark", 1, {0x4, 0x6}, {0})}, 0x6},
    {"other targets count nothing", {xt(true, "LOG", 0, {0xffffffffu, 0xffffffffu})}, 0},
    {"a target forgets the loaded mark", {load_mark(1), mark_target(0x1, 0x1), cmp(1, 5)}, 0x1},
    {"MARK of an unknown revision", {xt(true, "MARK", 1, {0x1, 0})}, 0, &typeid(std::runtime_error),
     "MARK target revision 1 is not supported"},
    {"MARK with its data cut short", {compat_t{true, "MARK", 2, {1, 0, 0, 0}}}, 0, &typeid(std::runtime_error),
     "MARK: extension data too short"},
    {"CONNMARK without its mode byte", {compat_t{true, "CONNMARK", 1, std::vector<std::uint8_t>(12)}}, 0,
     &typeid(std::runtime_error), "CONNMARK: extension data too short"},
    {"empty store source", {load_mark(1), store_mark(2)}, 0, &typeid(std::bad_optional_access)},
    {"cmp without sreg", {load_mark(1), cmp_t{std::nullopt, 0, 1}}, 0, &typeid(std::bad_optional_access)},
    {"register 30", {load_mark(30)}, 0, &typeid(std::out_of_range)},
    {"bitwise of a constant", {immediate(1, 1), bitwise(1, 0xff, 0)}, 0, &typeid(std::bad_variant_access)},
    {"bitwise without len", {load_mark(1), bitwise_t{1, 1, std::nullopt, 0xff, 0}}, 0, &typeid(std::runtime_error),
     "bitwise_t: support only (exists dreg, sreg, len) in bitwise"},
    {"bitwise without xor", {load_mark(1), bitwise_t{1, 1, 4, 0xff, std::nullopt}}, 0, &typeid(std::runtime_error),
     "bitwise_t: rule is incorrect"},
};

class mark_eval : public testing::TestWithParam<eval_case_t> {};

TEST_P(mark_eval, bits_or_error)
{
    const eval_case_t& k = GetParam();
    nft_rule_t rule;
    rule.expressions = k.expressions;
    if (!k.error) {
        EXPECT_EQ(eval_rule_mark_bits(rule), k.bits) << k.name;
        return;
    }
    try {
        eval_rule_mark_bits(rule);
        ADD_FAILURE() << k.name << ": no error";
    } catch (const std::exception& e) {
        EXPECT_EQ(typeid(e), *k.error) << k.name << ": " << e.what();
        if (k.text) {
            EXPECT_STREQ(e.what(), k.text);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(each, mark_eval, testing::ValuesIn(cases));

} // namespace
