// Exact bytes of the nf_tables message writer and of each expression builder.
#include "tests/linux/nftables/bytes.hpp"

#include "linux/nftables/writer.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>

using namespace fw::linux::nftables;
using nft_test::bytes_t;
using nft_test::hex;

namespace {

struct bytes_case_t {
    const char* name;
    std::function<void(message_writer_t&)> write;
    const char* expected;
};

// Element headers and names shared by the cases below.
#define ELEM_IMMEDIATE "0e 00 01 00 'immediate' 00 00 00"

const bytes_case_t builder_cases[] = {
    {"counter: 20 bytes, empty data nest", [](auto& w) { add_counter(w); },
     "14 00 01 80  0c 00 01 00 'counter' 00  04 00 02 80"},
    {"queue 5 bypass", [](auto& w) { add_queue(w, 5, 1); },
     "24 00 01 80  0a 00 01 00 'queue' 00 00 00  14 00 02 80"
     "  06 00 01 00 00 05 00 00  06 00 03 00 00 01 00 00"},
    {"verdict accept", [](auto& w) { add_verdict(w, 1); },
     "30 00 01 80  " ELEM_IMMEDIATE "  1c 00 02 80  08 00 01 00 00 00 00 00"
     "  10 00 02 80  0c 00 02 80  08 00 01 00 00 00 00 01"},
    {"immediate value in memory order", [](auto& w) { add_immediate(w, 10, 0x01020304); },
     "2c 00 01 80  " ELEM_IMMEDIATE "  18 00 02 80  08 00 01 00 00 00 00 0a"
     "  0c 00 02 80  08 00 01 00 04 03 02 01"},
    {"meta load mark", [](auto& w) { add_meta_load(w, 10, 3); },
     "24 00 01 80  09 00 01 00 'meta' 00 00 00 00  14 00 02 80"
     "  08 00 02 00 00 00 00 03  08 00 01 00 00 00 00 0a"},
    {"meta store mark", [](auto& w) { add_meta_store(w, 10, 3); },
     "24 00 01 80  09 00 01 00 'meta' 00 00 00 00  14 00 02 80"
     "  08 00 02 00 00 00 00 03  08 00 03 00 00 00 00 0a"},
    {"ct load mark", [](auto& w) { add_ct_load(w, 10, 3); },
     "20 00 01 80  07 00 01 00 'ct' 00 00  14 00 02 80  08 00 02 00 00 00 00 03  08 00 01 00 00 00 00 0a"},
    {"ct store mark", [](auto& w) { add_ct_store(w, 10, 3); },
     "20 00 01 80  07 00 01 00 'ct' 00 00  14 00 02 80  08 00 02 00 00 00 00 03  08 00 04 00 00 00 00 0a"},
    // NFT_SOCKET_TRANSPARENT is key 0.
    {"socket load transparent", [](auto& w) { add_socket_load(w, 10, 0); },
     "24 00 01 80  0b 00 01 00 'socket' 00 00  14 00 02 80  08 00 01 00 00 00 00 00  08 00 02 00 00 00 00 0a"},
    {"bitwise mask ~0x10 xor 0x10 (host order)", [](auto& w) { add_bitwise(w, ~0x10u, 0x10u, 10, 10); },
     "44 00 01 80  0c 00 01 00 'bitwise' 00  34 00 02 80"
     "  08 00 01 00 00 00 00 0a  08 00 02 00 00 00 00 0a  08 00 03 00 00 00 00 04"
     "  0c 00 04 80 08 00 01 00 ef ff ff ff  0c 00 05 80 08 00 01 00 10 00 00 00"},
    {"cmp neq 5", [](auto& w) { add_cmp(w, 10, 5, cmp_op_t::neq); },
     "2c 00 01 80  08 00 01 00 'cmp' 00  20 00 02 80  08 00 01 00 00 00 00 0a  08 00 02 00 00 00 00 01"
     "  0c 00 03 80  08 00 01 00 05 00 00 00"},
    {"cmp of one byte: unpadded length 5", [](auto& w) { add_cmp_u8(w, 9, 0x02, cmp_op_t::gte); },
     "2c 00 01 80  08 00 01 00 'cmp' 00  20 00 02 80  08 00 01 00 00 00 00 09  08 00 02 00 00 00 00 05"
     "  0c 00 03 80  05 00 01 00 02 00 00 00"},
};

class builder_bytes : public testing::TestWithParam<bytes_case_t> {};

TEST_P(builder_bytes, match_exactly)
{
    nft_test::single_capture_t c;
    bytes_t got = c.attributes(GetParam().write);
    EXPECT_EQ(nft_test::dump(got), nft_test::dump(hex(GetParam().expected))) << GetParam().name;
    // nlmsghdr length: 20 plus every attribute's padded size.
    EXPECT_EQ(nft_test::u32_at(c.sent.back(), 0), 20 + got.size());
}

INSTANTIATE_TEST_SUITE_P(each, builder_bytes, testing::ValuesIn(builder_cases));

const bytes_case_t attribute_cases[] = {
    {"table name: length 19 in 20 bytes", [](auto& w) { w.put_string(1, "morva-firewall"); },
     "13 00 01 00 'morva-firewall' 00 00"},
    {"chain hook output, priority -150", [](auto& w) { put_chain_hook(w, hook_t::output, -150); },
     "14 00 04 80  08 00 01 00 00 00 00 03  08 00 02 00 ff ff ff 6a"},
    {"chain type route", [](auto& w) { put_chain_type(w, chain_type_t::route); }, "0a 00 07 00 'route' 00 00 00"},
    {"chain type nat", [](auto& w) { put_chain_type(w, chain_type_t::nat); }, "08 00 07 00 'nat' 00"},
    {"chain table and name", [](auto& w) { put_chain_name(put_chain_table(w, "t"), "c"); },
     "06 00 01 00 't' 00 00 00  06 00 03 00 'c' 00 00 00"},
    {"rule handle big-endian", [](auto& w) { put_rule_handle(w, 0x0102030405060708ull); },
     "0c 00 03 00 01 02 03 04 05 06 07 08"},
    {"own comment: TLV 0, 15, text and NUL", [](auto& w) { put_rule_comment(w, "morva-firewall"); },
     "15 00 07 00 00 0f 'morva-firewall' 00 00 00 00"},
    {"u8 attribute unpadded", [](auto& w) { w.put_u8(9, 0xab); }, "05 00 09 00 ab 00 00 00"},
    {"u16 attribute unpadded", [](auto& w) { w.put_be16(9, 0x1234); }, "06 00 09 00 12 34 00 00"},
    {"u64 bytes unchanged", [](auto& w) { w.put_u64(9, 0x0807060504030201ull); }, "0c 00 09 00 01 02 03 04 05 06 07 08"},
    {"empty nest", [](auto& w) { w.end_nest(w.begin_nest(5)); }, "04 00 05 80"},
};

class attribute_bytes : public testing::TestWithParam<bytes_case_t> {};

TEST_P(attribute_bytes, match_exactly)
{
    nft_test::single_capture_t c;
    EXPECT_EQ(nft_test::dump(c.attributes(GetParam().write)), nft_test::dump(hex(GetParam().expected)))
        << GetParam().name;
}

INSTANTIATE_TEST_SUITE_P(each, attribute_bytes, testing::ValuesIn(attribute_cases));

TEST(message_writer, header_of_a_new_rule_and_a_chain_query)
{
    nft_test::single_capture_t c;
    c.writer.begin_message(6, 2, 0x400).end_message();
    begin_get_chain(c.writer, 1, 0);
    put_chain_table(c.writer, "t");
    c.writer.end_message();
    ASSERT_EQ(c.sent.size(), 2u);
    EXPECT_EQ(nft_test::dump(c.sent[0]), nft_test::dump(hex("14 00 00 00 06 0a 05 04 a0 86 01 00 00 00 00 00 02 00 00 00")));
    EXPECT_EQ(nft_test::dump(c.sent[1]),
              nft_test::dump(hex("1c 00 00 00 04 0a 05 00 a1 86 01 00 00 00 00 00 01 00 00 00 06 00 01 00 't' 00 00 00")));
}

TEST(message_writer, rule_comment_is_cut_at_128_bytes)
{
    struct {
        std::size_t length;
        std::uint8_t tlv_len;
        bool keeps_nul;
    } cases[] = {{127, 128, true}, {128, 128, false}, {300, 128, false}, {0, 1, true}};
    for (auto& k : cases) {
        nft_test::single_capture_t c;
        std::string comment(k.length, 'x');
        bytes_t a = c.attributes([&](auto& w) { put_rule_comment(w, comment); });
        SCOPED_TRACE(k.length);
        EXPECT_EQ(nft_test::u16_at(a, 0), 4 + 2 + k.tlv_len); // unpadded
        EXPECT_EQ(a.size() % 4, 0u);
        EXPECT_EQ(a[4], 0);
        EXPECT_EQ(a[5], k.tlv_len);
        EXPECT_EQ(a[6 + k.tlv_len - 1] == 0, k.keeps_nul);
    }
}

// The compound builders are the documented sequences of the primitive ones.
struct compound_case_t {
    const char* name;
    std::function<void(message_writer_t&)> compound;
    std::function<void(message_writer_t&)> primitives;
};

const std::uint32_t tcp_protocol = 6;

const compound_case_t compound_cases[] = {
    {"meta mark & 0x30 == 0x10",
     [](auto& w) { match_meta_mark(w, 0x10, 0x30, 0, cmp_op_t::eq); },
     [](auto& w) {
         add_immediate(w, 10, 0);
         add_meta_load(w, 10, 3);
         add_bitwise(w, 0x30, 0, 10, 10);
         add_cmp(w, 10, 0x10, cmp_op_t::eq);
     }},
    {"ct mark & 0x30 != 0",
     [](auto& w) { match_ct_mark(w, 0, 0x30, 0, cmp_op_t::neq); },
     [](auto& w) {
         add_immediate(w, 10, 0);
         add_ct_load(w, 10, 3);
         add_bitwise(w, 0x30, 0, 10, 10);
         add_cmp(w, 10, 0, cmp_op_t::neq);
     }},
    {"meta mark set mark | 0x10",
     [](auto& w) { set_meta_mark(w, 0x10, 0x10); },
     [](auto& w) {
         add_immediate(w, 10, 0);
         add_meta_load(w, 10, 3);
         add_bitwise(w, ~0x10u, 0x10, 10, 10);
         add_meta_store(w, 10, 3);
     }},
    {"ct mark set 0x20",
     [](auto& w) { set_ct_mark(w, 0xffffffff, 0x20); },
     [](auto& w) {
         add_immediate(w, 10, 0);
         add_ct_load(w, 10, 3);
         add_bitwise(w, 0, 0x20, 10, 10);
         add_ct_store(w, 10, 3);
     }},
    {"oif 7",
     [](auto& w) { match_oif(w, 7); },
     [](auto& w) {
         add_immediate(w, 10, 0);
         add_meta_load(w, 10, 5);
         add_cmp(w, 10, 7, cmp_op_t::eq);
     }},
    {"iif 7",
     [](auto& w) { match_iif(w, 7); },
     [](auto& w) {
         add_immediate(w, 10, 0);
         add_meta_load(w, 10, 4);
         add_cmp(w, 10, 7, cmp_op_t::eq);
     }},
    {"l4proto tcp",
     [](auto& w) { match_l4proto(w, 6); },
     [](auto& w) {
         add_immediate(w, 10, 0);
         add_meta_load(w, 10, 16);
         add_cmp(w, 10, tcp_protocol, cmp_op_t::eq); // bytes 06 00 00 00 on this little-endian host
     }},
    {"nfproto ipv4",
     [](auto& w) { match_nfproto_ipv4(w); },
     [](auto& w) {
         add_immediate(w, 10, 0);
         add_meta_load(w, 10, 15);
         add_cmp(w, 10, 2, cmp_op_t::eq);
     }},
    // The kernel stores the flag as one byte.
    {"socket transparent 1",
     [](auto& w) { match_transparent_socket(w); },
     [](auto& w) {
         add_immediate(w, 10, 0);
         add_socket_load(w, 10, 0);
         add_cmp_u8(w, 10, 1, cmp_op_t::eq);
     }},
};

class compound_bytes : public testing::TestWithParam<compound_case_t> {};

TEST_P(compound_bytes, equal_their_primitive_sequence)
{
    nft_test::single_capture_t a, b;
    EXPECT_EQ(nft_test::dump(a.attributes(GetParam().compound)), nft_test::dump(b.attributes(GetParam().primitives)))
        << GetParam().name;
}

INSTANTIATE_TEST_SUITE_P(each, compound_bytes, testing::ValuesIn(compound_cases));

TEST(expression_builders, tcp_flags_load_byte_13_of_the_transport_header)
{
    nft_test::single_capture_t a, b;
    bytes_t got = a.attributes([](auto& w) { match_tcp_flags(w, 0x12, 0x02); });
    bytes_t immediate = b.attributes([](auto& w) { add_immediate(w, 9, 0); });
    bytes_t expected = immediate;
    bytes_t rest = hex("34 00 01 80  0c 00 01 00 'payload' 00  24 00 02 80"
                       "  08 00 02 00 00 00 00 02  08 00 03 00 00 00 00 0d  08 00 04 00 00 00 00 01"
                       "  08 00 01 00 00 00 00 09"
                       "44 00 01 80  0c 00 01 00 'bitwise' 00  34 00 02 80"
                       "  08 00 01 00 00 00 00 09  08 00 02 00 00 00 00 09  08 00 03 00 00 00 00 01"
                       "  0c 00 04 80 05 00 01 00 12 00 00 00  0c 00 05 80 05 00 01 00 00 00 00 00"
                       "2c 00 01 80  08 00 01 00 'cmp' 00  20 00 02 80  08 00 01 00 00 00 00 09"
                       "  08 00 02 00 00 00 00 00  0c 00 03 80  05 00 01 00 02 00 00 00");
    expected.insert(expected.end(), rest.begin(), rest.end());
    EXPECT_EQ(nft_test::dump(got), nft_test::dump(expected));
}

TEST(expression_builders, tproxy_loads_address_and_port_registers)
{
    nft_test::single_capture_t a, b;
    bytes_t got = a.attributes([](auto& w) { add_tproxy(w, 0x7f000001, 8080, 2); });
    bytes_t expected = b.attributes([](auto& w) {
        add_immediate(w, 10, 0);
        add_immediate(w, 11, 0);
    });
    bytes_t rest = hex("2c 00 01 80  " ELEM_IMMEDIATE "  18 00 02 80  08 00 01 00 00 00 00 0a"
                       "  0c 00 02 80  08 00 01 00 7f 00 00 01"
                       "2c 00 01 80  " ELEM_IMMEDIATE "  18 00 02 80  08 00 01 00 00 00 00 0b"
                       "  0c 00 02 80  06 00 01 00 1f 90 00 00"
                       "2c 00 01 80  0b 00 01 00 'tproxy' 00 00  1c 00 02 80"
                       "  08 00 02 00 00 00 00 0a  08 00 01 00 00 00 00 02  08 00 03 00 00 00 00 0b");
    expected.insert(expected.end(), rest.begin(), rest.end());
    EXPECT_EQ(nft_test::dump(got), nft_test::dump(expected));
}

TEST(message_writer, rule_expressions_nest_wraps_the_list)
{
    nft_test::single_capture_t c;
    bytes_t a = c.attributes([](auto& w) {
        nest_scope_t expressions(w);
        expressions.open(4);
        expressions.open(4); // already open: no second nest
        add_counter(w);
        expressions.close();
        expressions.close();
    });
    EXPECT_EQ(nft_test::dump(a), nft_test::dump(hex("18 00 04 80  14 00 01 80  0c 00 01 00 'counter' 00  04 00 02 80")));
}

TEST(message_writer, message_past_the_single_limit_fails_to_allocate)
{
    nft_test::single_capture_t c;
    ASSERT_LE(c.policy.limit(), 8192u);
    c.writer.begin_message(6, 2, 0);
    std::string big(c.policy.limit(), 'x');
    EXPECT_THROW(
        {
            try {
                c.writer.put_string(1, big);
            } catch (const std::runtime_error& e) {
                EXPECT_STREQ(e.what(), "can't alloc!");
                throw;
            }
        },
        std::runtime_error);
}

} // namespace

namespace {

TEST(expression_builders, registers_other_than_verdict_and_32_bit_ones_are_refused)
{
    for (std::uint32_t reg : {0u, 8u, 23u}) {
        nft_test::single_capture_t c;
        EXPECT_NO_THROW(c.attributes([&](auto& w) { add_meta_load(w, reg, 3); })) << reg;
    }
    for (std::uint32_t reg : {1u, 7u, 24u}) {
        nft_test::single_capture_t c;
        c.writer.begin_message(6, 2, 0);
        try {
            add_meta_load(c.writer, reg, 3);
            ADD_FAILURE() << reg << " accepted";
        } catch (const std::invalid_argument& e) {
            EXPECT_EQ(e.what(), "nf_tables register " + std::to_string(reg) + " is not 0 or 8 to 23");
        }
    }
}

} // namespace
