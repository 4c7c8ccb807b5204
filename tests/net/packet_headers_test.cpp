// The header views read fields in place from network-order bytes.
#include "net/ipv4_header.hpp"
#include "net/tcp_header.hpp"

#include <boost/asio/ip/tcp.hpp>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace {

using fw::net::ipv4_header_t;
using fw::net::tcp_header_t;
using bytes_t = std::vector<std::uint8_t>;

// An IPv4 header of `ihl` words (options 01 ... ) and a TCP header of `doff`
// words (options 01 ...), 10.1.2.3:40000 -> 192.168.7.9:443, sequence 0x81020304.
bytes_t packet(unsigned ihl, unsigned doff, std::uint8_t flags, bool ns = false)
{
    bytes_t ip(ihl * 4, 1);
    const std::uint8_t fixed[20] = {static_cast<std::uint8_t>(0x40 | ihl), 0, 0, 60, 0x12, 0x34, 0x40, 0, 64, 6,
                                    0xab, 0xcd, 10, 1, 2, 3, 192, 168, 7, 9};
    std::copy(std::begin(fixed), std::end(fixed), ip.begin());
    bytes_t tcp(doff * 4, 1);
    const std::uint8_t tcp_fixed[20] = {0x9c, 0x40, 0x01, 0xbb, 0x81, 0x02, 0x03, 0x04, 0, 0, 0, 0,
                                        static_cast<std::uint8_t>(doff << 4 | (ns ? 1 : 0)), flags,
                                        0xff, 0xff, 0, 0, 0, 0};
    std::copy(std::begin(tcp_fixed), std::end(tcp_fixed), tcp.begin());
    ip.insert(ip.end(), tcp.begin(), tcp.end());
    return ip;
}

TEST(PacketHeaders, FieldsInHostOrder)
{
    const bytes_t bytes = packet(5, 5, tcp_header_t::syn);
    const auto& ip = ipv4_header_t::at(bytes.data());
    const auto& tcp = tcp_header_t::after(ip);
    EXPECT_EQ(ip.header_length(), 20u);
    EXPECT_EQ(ip.source_address().to_string(), "10.1.2.3");
    EXPECT_EQ(ip.destination_address().to_string(), "192.168.7.9");
    const std::uint8_t raw_destination[4] = {192, 168, 7, 9};
    const std::uint32_t raw = ip.destination_address_raw();
    EXPECT_EQ(std::memcmp(&raw, raw_destination, 4), 0);
    EXPECT_EQ(tcp.data(), bytes.data() + 20);
    EXPECT_EQ(tcp.source_port(), 40000);
    EXPECT_EQ(tcp.destination_port(), 443);
    EXPECT_EQ(tcp.sequence_number(), 0x81020304u);
    EXPECT_EQ(tcp.header_length(), 20u);
    EXPECT_EQ(fw::net::source_endpoint(ip, tcp),
              boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address_v4("10.1.2.3"), 40000));
    EXPECT_EQ(fw::net::destination_endpoint(ip, tcp),
              boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address_v4("192.168.7.9"), 443));
    EXPECT_EQ(fw::net::describe_endpoints(ip, tcp), "10.1.2.3:40000 -> 192.168.7.9:443");
}

TEST(PacketHeaders, HeadersWithOptions)
{
    // IHL 6, data offset 10: the TCP header starts 24 bytes in and is 40 long.
    const bytes_t bytes = packet(6, 10, tcp_header_t::syn);
    ASSERT_EQ(bytes.size(), 64u);
    const auto& ip = ipv4_header_t::at(bytes.data());
    const auto& tcp = tcp_header_t::after(ip);
    EXPECT_EQ(ip.header_length(), 24u);
    EXPECT_EQ(tcp.data(), bytes.data() + 24);
    EXPECT_EQ(tcp.header_length(), 40u);
    EXPECT_EQ(ip.header_length() + tcp.header_length(), 64u);
    EXPECT_EQ(tcp.destination_port(), 443);
}

TEST(PacketHeaders, FlagsAgainstTheSynAckMask)
{
    constexpr std::uint16_t mask = tcp_header_t::syn | tcp_header_t::ack;
    static_assert(mask == 0x12);
    struct case_t {
        std::uint8_t byte13;
        bool ns;
        std::uint16_t flags;
        std::uint16_t masked;
    };
    const case_t cases[] = {
        {0x02, false, 0x002, 0x02},  // SYN
        {0x12, false, 0x012, 0x12},  // SYN-ACK
        {0x02, true, 0x102, 0x02},   // SYN with NS still a connection request
        {0xc2, false, 0x0c2, 0x02},  // SYN with ECE and CWR
        {0x14, false, 0x014, 0x10},  // RST-ACK
        {0xff, true, 0x1ff, 0x12},   // everything
        {0x00, true, 0x100, 0x00},   // NS alone
    };
    for (const auto& c : cases) {
        const bytes_t bytes = packet(5, 5, c.byte13, c.ns);
        const auto& tcp = tcp_header_t::after(ipv4_header_t::at(bytes.data()));
        EXPECT_EQ(tcp.flags(), c.flags) << int(c.byte13) << " ns " << c.ns;
        EXPECT_EQ(tcp.flags() & mask, c.masked) << int(c.byte13) << " ns " << c.ns;
        // The NS bit must not leak into the header length.
        EXPECT_EQ(tcp.header_length(), 20u);
    }
}

TEST(PacketHeaders, ReadsOnlyTheirOwnBytes)
{
    // Views over exactly-sized heap copies: any read past the fixed part is an
    // address-sanitizer report.
    const bytes_t bytes = packet(5, 5, tcp_header_t::syn);
    auto ip_copy = std::make_unique<std::uint8_t[]>(20);
    auto tcp_copy = std::make_unique<std::uint8_t[]>(20);
    std::copy_n(bytes.data(), 20, ip_copy.get());
    std::copy_n(bytes.data() + 20, 20, tcp_copy.get());
    const auto& ip = ipv4_header_t::at(ip_copy.get());
    const auto& tcp = tcp_header_t::at(tcp_copy.get());
    EXPECT_EQ(ip.source_address().to_string() + " " + ip.destination_address().to_string(), "10.1.2.3 192.168.7.9");
    EXPECT_EQ(tcp.flags() + tcp.source_port() + tcp.destination_port() + tcp.sequence_number() + tcp.header_length(),
              0x002u + 40000u + 443u + 0x81020304u + 20u);
}

} // namespace
