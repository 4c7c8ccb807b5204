// The reset datagram a rejected SYN is answered with, byte by byte.
#include "fw/divert/connection_rejector.hpp"

#include <gtest/gtest.h>

#include <cstring>

#include "net/ipv4_header.hpp"
#include "net/tcp_header.hpp"
#include "tests/net/ipv4_tcp_packet.hpp"

namespace {

using morva_test::ipv4_tcp_packet_t;

std::uint32_t be(const std::uint8_t* p, int n)
{
    std::uint32_t v = 0;
    for (int i = 0; i < n; ++i)
        v = v << 8 | p[i];
    return v;
}

// Internet checksum summed over native 16-bit words (the other byte order
// from the code under test, which RFC 1071 allows); 0 when `bytes` is intact.
std::uint16_t verify_tcp_checksum(const std::uint8_t* ip, const std::uint8_t* tcp, std::size_t tcp_length)
{
    std::vector<std::uint8_t> block(12 + tcp_length);
    std::memcpy(block.data(), ip + 12, 8);
    block[9] = 6;
    block[10] = static_cast<std::uint8_t>(tcp_length >> 8);
    block[11] = static_cast<std::uint8_t>(tcp_length);
    std::memcpy(block.data() + 12, tcp, tcp_length);
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < block.size(); i += 2) {
        std::uint16_t word;
        std::memcpy(&word, &block[i], 2);
        sum += word;
    }
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum);
}

struct reset_case_t {
    const char* name;
    ipv4_tcp_packet_t syn;
    bool pass_option;               // hand the SYN's first IPv4 option to the rejector
    std::vector<std::uint8_t> ip_options; // expected options area of the reset
    std::uint32_t ack;
    int checksum; // precomputed independently; -1 where only the verification applies
};

TEST(ConnectionRejector, BuildsResetFromSyn)
{
    const reset_case_t cases[] = {
        {"plain syn", {}, false, {}, 1001, 0x840d},
        {"highest sequence number", {.sequence = 0xffffffff}, false, {}, 0, 0x87f6},
        {"other addresses and ports",
         {.source = "172.16.0.9", .destination = "192.168.1.1", .source_port = 65535, .destination_port = 443,
          .sequence = 0x12345678},
         false, {}, 0x12345679, 0xd7a5},
        // The SYN's own TCP options and flag extras are not copied.
        {"syn with tcp options, ns, ece, cwr", {.flags = 0x1c2, .tcp_option_bytes = 20}, false, {}, 1001, 0x840d},
        {"security option", {.ip_options = {0x82, 0x03, 0xab}}, true, {0x82, 0x03, 0xab, 0x00}, 1001, -1},
        {"two-byte security option", {.ip_options = {0x82, 0x02}}, true, {0x82, 0x02, 0x00, 0x00}, 1001, -1},
        {"four-byte security option", {.ip_options = {0x82, 0x04, 0xab, 0xcd}}, true, {0x82, 0x04, 0xab, 0xcd},
         1001, -1},
        {"five-byte security option", {.ip_options = {0x82, 0x05, 1, 2, 3}}, true,
         {0x82, 0x05, 1, 2, 3, 0, 0, 0}, 1001, -1},
        // Options of the SYN that are not handed over stay out of the reset.
        {"syn options not passed", {.ip_options = {0x82, 0x03, 0xab}}, false, {}, 1001, 0x840d},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto syn = c.syn.bytes();
        const auto& ip = fw::net::ipv4_header_t::at(syn.data());
        const auto& tcp = fw::net::tcp_header_t::after(ip);
        const std::uint8_t* option = c.pass_option ? syn.data() + 20 : nullptr;

        const auto reset = fw::service::make_reset(ip, option, tcp);
        const std::size_t l = 20 + c.ip_options.size();
        ASSERT_EQ(reset.size, l + 20);
        const std::uint8_t* p = reset.data.get();

        EXPECT_EQ(p[0], 0x40 + l / 4);
        EXPECT_EQ(p[1], 0);
        EXPECT_EQ(be(p + 2, 2), 0u) << "total length is left to the kernel";
        EXPECT_EQ(be(p + 4, 2), 0u) << "identification is left to the kernel";
        EXPECT_EQ(be(p + 6, 2), 0u);
        EXPECT_EQ(p[8], 40);
        EXPECT_EQ(p[9], 6);
        EXPECT_EQ(be(p + 10, 2), 0u) << "header checksum is left to the kernel";
        EXPECT_EQ(std::memcmp(p + 12, syn.data() + 16, 4), 0) << "source is the SYN's destination";
        EXPECT_EQ(std::memcmp(p + 16, syn.data() + 12, 4), 0) << "destination is the SYN's source";
        EXPECT_EQ(std::vector<std::uint8_t>(p + 20, p + l), c.ip_options);

        const std::uint8_t* t = p + l;
        EXPECT_EQ(be(t, 2), c.syn.destination_port);
        EXPECT_EQ(be(t + 2, 2), c.syn.source_port);
        EXPECT_EQ(be(t + 4, 4), 0u);
        EXPECT_EQ(be(t + 8, 4), c.ack);
        EXPECT_EQ(t[12], 0x50);
        EXPECT_EQ(t[13], 0x14);
        EXPECT_EQ(be(t + 14, 2), 0u);
        EXPECT_EQ(be(t + 18, 2), 0u);
        EXPECT_EQ(verify_tcp_checksum(p, t, 20), 0) << "checksum " << be(t + 16, 2);
        if (c.checksum >= 0) {
            EXPECT_EQ(be(t + 16, 2), static_cast<std::uint32_t>(c.checksum));
        }
    }
}

} // namespace
