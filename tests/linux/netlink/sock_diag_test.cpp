#include "linux/netlink/sock_diag.hpp"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using namespace fw::linux::sock_diag;
using boost::asio::ip::make_address;
using boost::asio::ip::tcp;
using bytes_t = std::vector<std::uint8_t>;

tcp::endpoint ep(const char* address, unsigned short port)
{
    return {make_address(address), port};
}

// An operation as the kernel reads it: code, yes, no (host order).
bytes_t op(std::uint8_t code, std::uint8_t yes, std::uint16_t no)
{
    return {code, yes, static_cast<std::uint8_t>(no & 0xff), static_cast<std::uint8_t>(no >> 8)};
}

bytes_t cond(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d, std::uint16_t port)
{
    return {2, 32, 0, 0, static_cast<std::uint8_t>(port & 0xff), static_cast<std::uint8_t>(port >> 8), 0, 0, a, b, c, d};
}

bytes_t join(std::initializer_list<bytes_t> parts)
{
    bytes_t out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

bytes_t program_of(const request_message_t& r)
{
    bytes_t all = r.serialize();
    return bytes_t(all.begin() + 56, all.end());
}

TEST(SockDiagRequest, HeaderLayout)
{
    request_message_t r(2, {}, 6);
    bytes_t all = r.serialize();
    ASSERT_EQ(all.size(), 60u);
    EXPECT_EQ(bytes_t(all.begin(), all.begin() + 8), (bytes_t{0x02, 0x06, 0x00, 0x00, 0x06, 0x00, 0x00, 0x00}));
    EXPECT_EQ(bytes_t(all.begin() + 8, all.begin() + 56), bytes_t(48, 0)); // no socket id
    EXPECT_EQ(bytes_t(all.begin() + 56, all.end()), (bytes_t{0x04, 0x00, 0x01, 0x00})); // empty bytecode
}

TEST(SockDiagRequest, FilterProgramForSeveralPairs)
{
    const auto a = ep("10.0.0.1", 40000), b = ep("10.0.0.2", 80), c = ep("127.0.0.1", 1), d = ep("192.168.1.255", 65535);
    struct case_t {
        const char* name;
        std::vector<endpoint_pair_t> pairs;
        bytes_t expected;
    };
    const case_t cases[] = {
        {"one pair",
         {{a, b}},
         join({{0x28, 0x00, 0x01, 0x00}, // nla_len 40
               op(7, 16, 40), cond(10, 0, 0, 1, 40000), op(8, 16, 24), cond(10, 0, 0, 2, 80), op(1, 4, 4)})},
        {"two pairs",
         {{a, b}, {c, d}},
         join({{0x4C, 0x00, 0x01, 0x00}, // nla_len 76
               op(7, 16, 36), cond(10, 0, 0, 1, 40000), op(8, 16, 20), cond(10, 0, 0, 2, 80), op(1, 4, 40),
               op(7, 16, 40), cond(127, 0, 0, 1, 1), op(8, 16, 24), cond(192, 168, 1, 255, 65535), op(1, 4, 4)})},
        {"three pairs, unspecified endpoints included",
         {{a, b}, {ep("0.0.0.0", 0), ep("0.0.0.0", 0)}, {b, a}},
         join({{0x70, 0x00, 0x01, 0x00}, // nla_len 112
               op(7, 16, 36), cond(10, 0, 0, 1, 40000), op(8, 16, 20), cond(10, 0, 0, 2, 80), op(1, 4, 76),
               op(7, 16, 36), cond(0, 0, 0, 0, 0), op(8, 16, 20), cond(0, 0, 0, 0, 0), op(1, 4, 40),
               op(7, 16, 40), cond(10, 0, 0, 2, 80), op(8, 16, 24), cond(10, 0, 0, 1, 40000), op(1, 4, 4)})},
    };
    for (const auto& cs : cases)
        EXPECT_EQ(program_of(request_message_t(2, cs.pairs, 6)), cs.expected) << cs.name;
}

TEST(SockDiagRequest, RejectsNonIpv4Endpoints)
{
    EXPECT_THROW(request_message_t(2, {{ep("::1", 1), ep("10.0.0.1", 2)}}, 6), boost::asio::ip::bad_address_cast);
    EXPECT_THROW(request_message_t(2, {{ep("10.0.0.1", 1), ep("::1", 2)}}, 6), boost::asio::ip::bad_address_cast);
}

TEST(SockDiagExactRequest, NamesTheOneSocket)
{
    const exact_request_message_t r(2, {ep("10.0.0.1", 40000), ep("10.0.0.2", 80)});
    bytes_t all(sizeof(inet_diag_req_v2));
    std::memcpy(all.data(), &r.header(), all.size());
    const bytes_t expected = join({
        {0x02, 0x06, 0x00, 0x00, 0xff, 0xff, 0xff, 0xff}, // family, TCP, no extensions, every state
        {0x9C, 0x40, 0x00, 0x50},                         // ports, big-endian
        {10, 0, 0, 1}, bytes_t(12, 0),                    // source
        {10, 0, 0, 2}, bytes_t(12, 0),                    // destination
        bytes_t(4, 0),                                    // any interface
        bytes_t(8, 0xff),                                 // no cookie
    });
    EXPECT_EQ(all, expected);
    EXPECT_THROW(exact_request_message_t(2, {ep("::1", 1), ep("10.0.0.1", 2)}), boost::asio::ip::bad_address_cast);
}

bytes_t diag_msg(std::size_t size)
{
    bytes_t m(72, 0);
    m[0] = 2;    // family
    m[1] = 1;    // ESTABLISHED
    m[2] = 3;    // timer
    m[3] = 4;    // retrans
    m[4] = 0x9C; // sport 40000, big-endian
    m[5] = 0x40;
    m[6] = 0x00; // dport 80
    m[7] = 0x50;
    const std::uint8_t src[] = {10, 0, 0, 1}, dst[] = {10, 0, 0, 2};
    std::memcpy(&m[8], src, 4);
    std::memcpy(&m[24], dst, 4);
    const std::uint32_t tail[] = {11, 12, 13, 1000, 987654}; // expires, rqueue, wqueue, uid, inode
    std::memcpy(&m[52], tail, sizeof tail);
    m.resize(size);
    return m;
}

TEST(SockDiagResponse, ReadsTheSocket)
{
    bytes_t in = diag_msg(72);
    // INET_DIAG_SHUTDOWN (8), one byte
    in.insert(in.end(), {0x05, 0x00, 0x08, 0x00, 0x03, 0x00, 0x00, 0x00});
    response_message_t r(in.data(), in.size());
    EXPECT_EQ(r.family(), 2);
    EXPECT_EQ(r.state(), 1);
    EXPECT_EQ(r.timer(), 3);
    EXPECT_EQ(r.retrans(), 4);
    EXPECT_EQ(r.source(), ep("10.0.0.1", 40000));
    EXPECT_EQ(r.destination(), ep("10.0.0.2", 80));
    EXPECT_EQ(r.expires(), 11u);
    EXPECT_EQ(r.rqueue(), 12u);
    EXPECT_EQ(r.wqueue(), 13u);
    EXPECT_EQ(r.uid(), 1000u);
    EXPECT_EQ(r.inode(), 987654u);
    EXPECT_EQ(r.attributes().get_bytes(8).size, 1u);

    bytes_t bare = diag_msg(72);
    EXPECT_TRUE(response_message_t(bare.data(), bare.size()).attributes().empty());
}

TEST(SockDiagRequest, MarkedSocketsFilter)
{
    const request_message_t r = request_message_t::marked(2, 1u << 6, 0x6, 0xffffffff);
    bytes_t all = r.serialize();
    ASSERT_EQ(all.size(), 56u + 16u);
    EXPECT_EQ(bytes_t(all.begin(), all.begin() + 8), (bytes_t{0x02, 0x06, 0x00, 0x00, 0x40, 0x00, 0x00, 0x00}));
    // MARK_COND (10): passed, to the end; failed, 4 bytes past it. Then mark and mask.
    EXPECT_EQ(program_of(r), join({{0x10, 0x00, 0x01, 0x00}, op(10, 12, 16), {6, 0, 0, 0}, bytes_t(4, 0xff)}));
}

TEST(SockDiagExactRequest, NamesAReportedSocketByItsWholeId)
{
    bytes_t in = diag_msg(72);
    in[1] = 6; // TIME_WAIT
    const std::uint8_t id_tail[] = {7, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8}; // interface, cookie
    std::memcpy(&in[40], id_tail, sizeof id_tail);
    const exact_request_message_t r{response_message_t(in.data(), in.size())};
    bytes_t all(sizeof(inet_diag_req_v2));
    std::memcpy(all.data(), &r.header(), all.size());
    EXPECT_EQ(all, join({{0x02, 0x06, 0x00, 0x00, 0xff, 0xff, 0xff, 0xff}, bytes_t(in.begin() + 4, in.begin() + 52)}));
    // The kernel writes the low word first, each in host order: SO_COOKIE's value.
    EXPECT_EQ(response_message_t(in.data(), in.size()).cookie(), 0x0807060504030201u);
}

TEST(SockDiagResponse, RejectsMalformedReplies)
{
    bytes_t short_msg = diag_msg(71);
    try {
        response_message_t(short_msg.data(), short_msg.size());
        ADD_FAILURE() << "no exception";
    } catch (const response_message_t::parse_error_t& e) {
        EXPECT_STREQ(e.what(), "Cannot parse response_message_t: Truncated message");
    }
    bytes_t bad = diag_msg(72);
    bad.insert(bad.end(), {0x0C, 0x00, 0x08, 0x00, 0x03, 0x00, 0x00, 0x00});
    EXPECT_THROW(response_message_t(bad.data(), bad.size()), fw::linux::netlink::compound_attribute_t::parse_error_t);
}

} // namespace
