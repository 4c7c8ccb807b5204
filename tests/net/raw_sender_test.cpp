#include "net/raw_sender.hpp"

#include <gtest/gtest.h>

#include "tests/net/ipv4_tcp_packet.hpp"

namespace {

using morva_test::ipv4_tcp_packet_t;

struct summary_case_t {
    const char* name;
    std::vector<std::uint8_t> bytes;
    std::string expected;
};

std::vector<std::uint8_t> with(ipv4_tcp_packet_t p) { return p.bytes(); }

std::vector<std::uint8_t> truncated(std::vector<std::uint8_t> bytes, std::size_t n)
{
    bytes.resize(n);
    return bytes;
}

// An IPv4 header whose IHL claims `ihl` words, followed by zeros up to `n` bytes.
std::vector<std::uint8_t> ip_only(unsigned ihl, std::size_t n)
{
    auto bytes = truncated(with({.source = "192.0.2.1", .destination = "198.51.100.7"}), n);
    bytes[0] = static_cast<std::uint8_t>(0x40 | ihl);
    return bytes;
}

TEST(PacketSummary, DescribesTcpIpAndInvalidDatagrams)
{
    ipv4_tcp_packet_t syn;
    ipv4_tcp_packet_t reset{.source = "10.0.0.2", .destination = "10.0.0.1", .source_port = 80,
                            .destination_port = 5000, .flags = 0x14};
    const summary_case_t cases[] = {
        {"syn", with(syn), "TCP SYN 10.0.0.1:5000 -> 10.0.0.2:80"},
        {"reset", with(reset), "TCP RST,ACK 10.0.0.2:80 -> 10.0.0.1:5000"},
        {"all named flags", with({.flags = 0x1f}), "TCP FIN,SYN,RST,PSH,ACK 10.0.0.1:5000 -> 10.0.0.2:80"},
        {"only unnamed flags", with({.flags = 0x1e0}), "TCP 10.0.0.1:5000 -> 10.0.0.2:80"},
        {"syn with ece, cwr and ns", with({.flags = 0x1c2}), "TCP SYN 10.0.0.1:5000 -> 10.0.0.2:80"},
        {"ip options before tcp", with({.ip_options = {0x82, 0x03, 0xab}, .tcp_option_bytes = 20}),
         "TCP SYN 10.0.0.1:5000 -> 10.0.0.2:80"},
        // The TCP ports are read only when 20 bytes follow the IPv4 header.
        {"tcp header one byte short", truncated(with(syn), 39), "IP 10.0.0.1 -> 10.0.0.2, 19 bytes payload"},
        {"ip header and 10 bytes", ip_only(5, 30), "IP 192.0.2.1 -> 198.51.100.7, 10 bytes payload"},
        {"ip header alone", ip_only(5, 20), "IP 192.0.2.1 -> 198.51.100.7, 0 bytes payload"},
        {"ihl beyond the datagram", ip_only(15, 40), "IP 192.0.2.1 -> 198.51.100.7, 0 bytes payload"},
        {"ihl equal to the datagram", ip_only(10, 40), "IP 192.0.2.1 -> 198.51.100.7, 0 bytes payload"},
        {"12 bytes", truncated(with(syn), 12), "invalid packet, 12 bytes"},
        {"19 bytes", truncated(with(syn), 19), "invalid packet, 19 bytes"},
        {"empty", {}, "invalid packet, 0 bytes"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // A copy of exactly the datagram's length, so the sanitizer sees any read past it.
        auto exact = std::make_unique<std::uint8_t[]>(c.bytes.size());
        std::copy(c.bytes.begin(), c.bytes.end(), exact.get());
        EXPECT_EQ(fw::net::packet_summary(exact.get(), c.bytes.size()), c.expected);
    }
}

} // namespace
