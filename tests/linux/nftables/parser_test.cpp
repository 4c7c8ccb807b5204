// Parsing of rule and chain messages: every expression kind, positions and
// comments, and malformed input that must raise the parse error.
#include "tests/linux/nftables/bytes.hpp"

#include "linux/nftables/parser.hpp"
#include "linux/nftables/writer.hpp"

#include <gtest/gtest.h>

#include <linux/netfilter/nf_tables.h>

#include <memory>

using namespace fw::linux::nftables;
using nft_test::bytes_t;
using nft_test::hex;

namespace {

template <class F>
bytes_t rule_attributes(F&& write)
{
    nft_test::single_capture_t c;
    return c.attributes(write);
}

// Parses from a heap copy of exactly the given size, so a read past it is caught.
nft_rule_t parse(const bytes_t& b)
{
    auto copy = std::make_unique<std::uint8_t[]>(b.size() + 1);
    std::copy(b.begin(), b.end(), copy.get());
    nft_rule_t rule;
    EXPECT_EQ(parse_rule(rule, copy.get(), b.size()), (b.size() + 3) & ~std::size_t{3});
    return rule;
}

std::string parse_error_text(const bytes_t& b)
{
    auto copy = std::make_unique<std::uint8_t[]>(b.size());
    std::copy(b.begin(), b.end(), copy.get());
    nft_rule_t rule;
    try {
        parse_rule(rule, copy.get(), b.size());
    } catch (const parse_error_t& e) {
        return e.what();
    }
    return "no error";
}

void write_every_kind(message_writer_t& w)
{
    w.put_string(NFTA_RULE_TABLE, "t");
    w.put_string(NFTA_RULE_CHAIN, "c");
    w.put_be64(NFTA_RULE_HANDLE, 0x1122334455667788ull);
    w.put_be64(NFTA_RULE_POSITION, 7);
    put_rule_comment(w, "morva-firewall");
    nest_scope_t list(w);
    list.open(NFTA_RULE_EXPRESSIONS);
    add_meta_load(w, 10, NFT_META_MARK);
    add_bitwise(w, 0x0000ff00, 0x10, 10, 11);
    add_cmp(w, 11, 0x100, cmp_op_t::neq);
    add_ct_store(w, 12, NFT_CT_MARK);
    match_tcp_flags(w, 0x12, 0x02); // immediate, payload (other), bitwise, cmp
    add_meta_store(w, 9, NFT_META_OIF);
    add_verdict(w, 1);
    add_counter(w);
    add_ct_load(w, 8, NFT_CT_MARK);
    {
        // jump to a chain: immediate with NFTA_VERDICT_CHAIN
        expression_scope_t e(w, "immediate");
        w.put_be32(NFTA_IMMEDIATE_DREG, 0);
        std::uint8_t* data = w.begin_nest(NFTA_IMMEDIATE_DATA);
        std::uint8_t* verdict = w.begin_nest(NFTA_DATA_VERDICT);
        w.put_be32(NFTA_VERDICT_CODE, static_cast<std::uint32_t>(NFT_JUMP));
        w.put_string(NFTA_VERDICT_CHAIN, "next");
        w.end_nest(verdict);
        w.end_nest(data);
    }
    list.close();
}

TEST(parse_rule, reads_every_field_and_expression_kind)
{
    nft_rule_t r = parse(rule_attributes(write_every_kind));
    EXPECT_EQ(r.table, "t");
    EXPECT_EQ(r.chain, "c");
    EXPECT_EQ(r.handle, 0x1122334455667788ull);
    EXPECT_EQ(r.position, 7u);
    EXPECT_EQ(r.comment, "morva-firewall");
    ASSERT_EQ(r.expressions.size(), 13u);

    auto& meta = std::get<meta_t>(r.expressions[0]);
    EXPECT_EQ(meta.dreg, 10u);
    EXPECT_EQ(meta.key, 3u);
    EXPECT_FALSE(meta.sreg);

    auto& bitwise = std::get<bitwise_t>(r.expressions[1]);
    EXPECT_EQ(bitwise.sreg, 10u);
    EXPECT_EQ(bitwise.dreg, 11u);
    EXPECT_EQ(bitwise.len, 4u);
    EXPECT_EQ(bitwise.mask, 0x0000ff00u); // memory order, as written
    EXPECT_EQ(bitwise.xor_value, 0x10u);

    auto& cmp = std::get<cmp_t>(r.expressions[2]);
    EXPECT_EQ(cmp.sreg, 11u);
    EXPECT_EQ(cmp.op, 1u);
    EXPECT_EQ(cmp.data, 0x100u);

    auto& ct = std::get<ct_t>(r.expressions[3]);
    EXPECT_EQ(ct.sreg, 12u);
    EXPECT_EQ(ct.key, 3u);
    EXPECT_FALSE(ct.dreg);

    EXPECT_EQ(std::get<immediate_t>(r.expressions[4]).value, 0u);
    EXPECT_TRUE(std::holds_alternative<other_expr_t>(r.expressions[5])); // payload
    EXPECT_EQ(std::get<bitwise_t>(r.expressions[6]).mask, 0x12u);      // 1-byte value, zero-extended
    EXPECT_EQ(std::get<cmp_t>(r.expressions[7]).data, 0x02u);

    auto& store = std::get<meta_t>(r.expressions[8]);
    EXPECT_EQ(store.sreg, 9u);
    EXPECT_EQ(store.key, 5u);

    auto& verdict = std::get<immediate_t>(r.expressions[9]);
    EXPECT_EQ(verdict.dreg, 0u);
    EXPECT_EQ(verdict.verdict, 1u);
    EXPECT_FALSE(verdict.value);

    EXPECT_TRUE(std::holds_alternative<other_expr_t>(r.expressions[10])); // counter
    EXPECT_EQ(std::get<ct_t>(r.expressions[11]).dreg, 8u);

    auto& jump = std::get<immediate_t>(r.expressions[12]);
    EXPECT_EQ(jump.verdict, static_cast<std::uint32_t>(NFT_JUMP));
    EXPECT_EQ(jump.chain, "next");
}

TEST(parse_rule, data_values_keep_their_first_four_bytes)
{
    struct {
        const char* value;
        std::uint32_t expected; // as the bytes lie in memory on this little-endian host
    } cases[] = {{"ab", 0x000000ab}, {"01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f 10", 0x04030201}, {"", 0}};
    for (auto& k : cases) {
        bytes_t value = hex(k.value);
        bytes_t b = rule_attributes([&](message_writer_t& w) {
            nest_scope_t list(w);
            list.open(NFTA_RULE_EXPRESSIONS);
            {
                expression_scope_t e(w, "cmp");
                w.put_be32(NFTA_CMP_SREG, 1);
                std::uint8_t* data = w.begin_nest(NFTA_CMP_DATA);
                w.put_bytes(NFTA_DATA_VALUE, value.data(), value.size());
                w.end_nest(data);
            }
            list.close();
        });
        nft_rule_t r = parse(b);
        ASSERT_EQ(r.expressions.size(), 1u) << k.value;
        EXPECT_EQ(std::get<cmp_t>(r.expressions[0]).data, k.expected) << k.value;
    }
}

TEST(parse_rule, an_unrecognised_expression_is_skipped_and_the_next_is_read)
{
    nft_rule_t r = parse(rule_attributes([](message_writer_t& w) {
        nest_scope_t list(w);
        list.open(NFTA_RULE_EXPRESSIONS);
        {
            expression_scope_t e(w, "lookup");
            w.put_string(1, "set"); // NFTA_LOOKUP_SET; would read as a dreg if taken for "meta"
            w.put_be32(2, 1);
        }
        add_meta_load(w, 10, NFT_META_MARK);
        list.close();
    }));
    ASSERT_EQ(r.expressions.size(), 2u);
    EXPECT_TRUE(std::holds_alternative<other_expr_t>(r.expressions[0]));
    EXPECT_EQ(std::get<meta_t>(r.expressions[1]).dreg, 10u);
}

TEST(parse_rule, xtables_extensions_keep_name_revision_and_data)
{
    // iptables-nft: -m mark --mark 0x4/0x6 -j MARK --set-xmark 0x8/0xffffffff
    nft_rule_t r = parse(rule_attributes([](message_writer_t& w) {
        nest_scope_t list(w);
        list.open(NFTA_RULE_EXPRESSIONS);
        for (const char* kind : {"match", "target"}) {
            const bool target = kind[0] == 't';
            expression_scope_t e(w, kind);
            w.put_string(1, target ? "MARK" : "mark"); // NFTA_TARGET_NAME, NFTA_MATCH_NAME
            w.put_be32(2, target ? 2 : 1);               // revision
            const bytes_t info = target ? hex("08 00 00 00 ff ff ff ff") : hex("04 00 00 00 06 00 00 00 00 00 00 00");
            w.put_bytes(3, info.data(), info.size()); // the kernel's info struct
        }
        list.close();
    }));
    ASSERT_EQ(r.expressions.size(), 2u);
    const auto& match = std::get<compat_t>(r.expressions[0]);
    EXPECT_FALSE(match.target);
    EXPECT_EQ(match.name, "mark");
    EXPECT_EQ(match.revision, 1u);
    EXPECT_EQ(match.info, hex("04 00 00 00 06 00 00 00 00 00 00 00"));
    const auto& target = std::get<compat_t>(r.expressions[1]);
    EXPECT_TRUE(target.target);
    EXPECT_EQ(target.name, "MARK");
    EXPECT_EQ(target.revision, 2u);
    EXPECT_EQ(target.info, hex("08 00 00 00 ff ff ff ff"));
}

TEST(parse_rule, comment_forms)
{
    struct {
        const char* name;
        const char* userdata; // payload of NFTA_RULE_USERDATA
        std::optional<std::string> comment;
        const char* error;
    } cases[] = {
        {"own comment", "00 0f 'morva-firewall' 00", "morva-firewall", nullptr},
        {"no comment TLV", "01 02 'ab'", std::nullopt, nullptr},
        // Other software keeps more than the comment in its user data.
        {"comment behind another TLV", "01 02 'ab' 00 03 'xy' 00", "xy", nullptr},
        {"another TLV behind the comment", "00 0f 'morva-firewall' 00 01 02 'ab'", "morva-firewall", nullptr},
        {"two comment TLVs: the first counts", "00 02 'a' 00 00 02 'b' 00", "a", nullptr},
        {"empty comment TLV", "00 00", std::nullopt, "incorrect comment"},
        {"comment running past its attribute", "00 40 'abc' 00", std::nullopt, "parse_route nla is wrong 72 != 12"},
        {"TLV behind the comment running past the attribute", "00 02 'a' 00 01 09 'x'", std::nullopt,
         "parse_route nla is wrong 20 != 12"},
        {"userdata of one byte", "00", std::nullopt, "parse_route nla is wrong 6 != 5"},
        {"one byte left behind a TLV", "00 02 'a' 00 01", std::nullopt, "parse_route nla is wrong 10 != 9"},
    };
    for (auto& k : cases) {
        bytes_t payload = hex(k.userdata);
        bytes_t b = rule_attributes(
            [&](message_writer_t& w) { w.put_bytes(NFTA_RULE_USERDATA, payload.data(), payload.size()); });
        SCOPED_TRACE(k.name);
        if (k.error) {
            EXPECT_EQ(parse_error_text(b), k.error);
        } else {
            EXPECT_EQ(parse(b).comment, k.comment);
        }
    }
}

TEST(parse_rule, length_errors_name_both_sizes)
{
    struct {
        const char* name;
        const char* attributes;
        const char* error;
    } cases[] = {
        {"handle of 16 bytes", "14 00 03 00 00 00 00 00 00 00 00 01 00 00 00 00 00 00 00 00",
         "parse_route nla is wrong 12 != 20"},
        {"list element claiming more than the list",
         "10 00 04 80  14 00 01 80  08 00 01 00 'cmp' 00", "parse_route nla is wrong 24 != 16"},
        {"attribute of length 0", "00 00 01 00 00 00 00 00", "parse_route nla is wrong 4 != 0"},
        {"attribute running past the message", "10 00 01 00 'abc' 00", "parse_route nla is wrong 16 != 8"},
        {"header cut short", "08 00 01 00 'ab' 00 00  06 00", "parse_route nla is wrong 12 != 10"},
        {"empty string", "04 00 01 00", "parse_route nla is wrong 8 != 4"},
        {"32-bit register of 8 bytes",
         "24 00 04 80  20 00 01 80  09 00 01 00 'meta' 00 00 00 00  10 00 02 80  0c 00 01 00 00 00 00 0a 00 00 00 00",
         "parse_route nla is wrong 8 != 12"},
    };
    for (auto& k : cases) {
        SCOPED_TRACE(k.name);
        EXPECT_EQ(parse_error_text(hex(k.attributes)), k.error);
    }
}

TEST(parse_rule, every_truncation_of_a_real_message_fails_cleanly)
{
    bytes_t full = rule_attributes(write_every_kind);
    for (std::size_t n = 0; n < full.size(); ++n) {
        bytes_t cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n));
        std::string text = parse_error_text(cut); // parses whole attributes only, or raises the parse error
        (void)text;
    }
    // Corrupting any length byte must not lead to a read outside the message either.
    for (std::size_t i = 0; i < full.size(); ++i) {
        for (std::uint8_t v : {0x00, 0x03, 0xff}) {
            bytes_t bad = full;
            bad[i] = v;
            auto copy = std::make_unique<std::uint8_t[]>(bad.size());
            std::copy(bad.begin(), bad.end(), copy.get());
            nft_rule_t rule;
            try {
                parse_rule(rule, copy.get(), bad.size());
            } catch (const parse_error_t&) {
            }
        }
    }
}

TEST(parse_chain, base_and_regular_chains)
{
    nft_test::single_capture_t c;
    bytes_t base = c.attributes([](message_writer_t& w) {
        put_chain_table(w, "filter");
        w.put_be64(NFTA_CHAIN_HANDLE, 3);
        put_chain_name(w, "input");
        put_chain_hook(w, hook_t::input, -150);
        w.put_be32(NFTA_CHAIN_POLICY, 1);
        put_chain_type(w, chain_type_t::filter);
    });
    nft_chain_t chain;
    EXPECT_EQ(parse_chain(chain, base.data(), base.size()), base.size());
    EXPECT_EQ(chain.table, "filter");
    EXPECT_EQ(chain.name, "input");
    EXPECT_EQ(chain.hooknum, 1u);
    EXPECT_EQ(chain.priority, static_cast<std::uint32_t>(-150));
    EXPECT_EQ(chain.type, "filter");

    bytes_t regular = c.attributes([](message_writer_t& w) { put_chain_name(put_chain_table(w, "t"), "mine"); });
    nft_chain_t plain;
    parse_chain(plain, regular.data(), regular.size());
    EXPECT_EQ(plain.name, "mine");
    EXPECT_FALSE(plain.hooknum);
    EXPECT_FALSE(plain.priority);
    EXPECT_FALSE(plain.type);
}

} // namespace
