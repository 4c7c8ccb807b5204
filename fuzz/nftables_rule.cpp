// An nf_tables rule or chain message after nfgenmsg; the first byte picks
// which. A parsed rule goes on to the mark evaluator, as foreign rules do.
#include "fuzz/fuzz.hpp"
#include "linux/nftables/mark_eval.hpp"
#include "linux/nftables/parser.hpp"

#include <linux/netfilter/nf_tables.h>

#include <optional>
#include <stdexcept>
#include <variant>

namespace nft = fw::linux::nftables;

namespace {

fuzz_bytes_t expr(const char* name, std::initializer_list<fuzz_bytes_t> data)
{
    using namespace fuzz;
    return nested(NFTA_LIST_ELEM, {attr(NFTA_EXPR_NAME, fuzz::cstr(name)), nested(NFTA_EXPR_DATA, data)});
}

fuzz_bytes_t value(std::uint16_t type, std::uint32_t v)
{
    return fuzz::nested(type, {fuzz::attr(NFTA_DATA_VALUE, fuzz::raw(v))});
}

} // namespace

std::vector<fuzz_bytes_t> fuzz_seeds()
{
    using namespace fuzz;
    const fuzz_bytes_t reg1 = be32(NFT_REG_1);
    const fuzz_bytes_t rule = concat({
        attr(NFTA_RULE_TABLE, cstr("filter")), attr(NFTA_RULE_CHAIN, cstr("output")),
        attr(NFTA_RULE_HANDLE, fuzz_bytes_t{0, 0, 0, 0, 0, 0, 0, 7}),
        nested(NFTA_RULE_EXPRESSIONS,
               {expr("meta", {attr(NFTA_META_KEY, be32(NFT_META_MARK)), attr(NFTA_META_DREG, reg1)}),
                expr("bitwise", {attr(NFTA_BITWISE_SREG, reg1), attr(NFTA_BITWISE_DREG, reg1),
                                 attr(NFTA_BITWISE_LEN, be32(4)), value(NFTA_BITWISE_MASK, 0xff00),
                                 value(NFTA_BITWISE_XOR, 0x0100)}),
                expr("cmp", {attr(NFTA_CMP_SREG, reg1), attr(NFTA_CMP_OP, be32(NFT_CMP_EQ)), value(NFTA_CMP_DATA, 0x0100)}),
                expr("immediate", {attr(NFTA_IMMEDIATE_DREG, be32(NFT_REG_VERDICT)),
                                   nested(NFTA_IMMEDIATE_DATA,
                                          {nested(NFTA_DATA_VERDICT, {attr(NFTA_VERDICT_CODE, be32(NFT_JUMP)),
                                                                      attr(NFTA_VERDICT_CHAIN, cstr("x"))})})}),
                expr("meta", {attr(NFTA_META_KEY, be32(NFT_META_MARK)), attr(NFTA_META_DREG, reg1)}),
                expr("ct", {attr(NFTA_CT_KEY, be32(NFT_CT_MARK)), attr(NFTA_CT_SREG, reg1)}),
                // iptables-nft's -j MARK --set-mark 0x8: an xtables target
                expr("target", {attr(1, cstr("MARK")), attr(2, be32(2)),
                                attr(3, fuzz_bytes_t{8, 0, 0, 0, 0xff, 0xff, 0xff, 0xff})})}),
        attr(NFTA_RULE_USERDATA, fuzz_bytes_t{0, 3, 'h', 'i', 0, 1, 1, 'x'}),
    });
    const fuzz_bytes_t chain = concat({
        attr(NFTA_CHAIN_TABLE, cstr("filter")), attr(NFTA_CHAIN_NAME, cstr("output")),
        nested(NFTA_CHAIN_HOOK, {attr(NFTA_HOOK_HOOKNUM, be32(3)), attr(NFTA_HOOK_PRIORITY, be32(0xffffff9c))}),
        attr(NFTA_CHAIN_TYPE, cstr("filter")),
    });
    return {concat({{0}, rule}), concat({{1}, chain})};
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const bool is_chain = data[0] & 1;
    try {
        if (is_chain) {
            nft::nft_chain_t chain;
            nft::parse_chain(chain, data + 1, size - 1);
            return 0;
        }
        nft::nft_rule_t rule;
        nft::parse_rule(rule, data + 1, size - 1);
        // A rule the evaluator cannot follow throws one of these, and the
        // caller skips it: an unsupported bitwise, a register it never saw
        // loaded, a register number beyond the machine, a constant used as a mark.
        try {
            (void)nft::eval_rule_mark_bits(rule);
        } catch (const nft::parse_error_t&) {
            throw;
        } catch (const std::runtime_error&) {
        } catch (const std::bad_optional_access&) {
        } catch (const std::out_of_range&) {
        } catch (const std::bad_variant_access&) {
        }
    } catch (const nft::parse_error_t&) {
    }
    return 0;
}
