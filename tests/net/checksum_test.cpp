// Resealing a TCP/IPv4 datagram whose payload was cut off: the lengths and
// both checksums must describe what is left, or the kernel discards it.
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "net/checksum.hpp"

namespace {

using bytes_t = std::vector<std::uint8_t>;

// Ones'-complement sum of big-endian words, folded.
std::uint16_t folded_sum(const std::uint8_t* p, std::size_t n, std::uint32_t sum = 0)
{
    for (std::size_t i = 0; i + 1 < n; i += 2)
        sum += (std::uint32_t{p[i]} << 8) | p[i + 1];
    if (n % 2)
        sum += std::uint32_t{p[n - 1]} << 8;
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<std::uint16_t>(sum);
}

// A SYN from 10.0.0.1:40000 to 10.0.0.2:80 with the given option bytes and
// payload, its length field and both checksums deliberately wrong.
bytes_t syn(const bytes_t& ip_options, const bytes_t& tcp_options, const std::string& payload)
{
    bytes_t d(20, 0);
    d[0] = static_cast<std::uint8_t>(0x40 | (20 + ip_options.size()) / 4);
    d[2] = 0x12, d[3] = 0x34;   // total length
    d[8] = 64, d[9] = 6;
    d[10] = 0xde, d[11] = 0xad; // header checksum
    const std::uint8_t addresses[] = {10, 0, 0, 1, 10, 0, 0, 2};
    std::copy(std::begin(addresses), std::end(addresses), d.begin() + 12);
    d.insert(d.end(), ip_options.begin(), ip_options.end());
    const bytes_t tcp = {0x9c, 0x40, 0, 80, 1, 2, 3, 4, 0, 0, 0, 0,
                         static_cast<std::uint8_t>((20 + tcp_options.size()) / 4 << 4), 0x02, 0xfa, 0xf0,
                         0xbe, 0xef, 0, 0};
    d.insert(d.end(), tcp.begin(), tcp.end());
    d.insert(d.end(), tcp_options.begin(), tcp_options.end());
    d.insert(d.end(), payload.begin(), payload.end());
    return d;
}

TEST(checksum, a_resealed_headers_only_syn_has_its_own_length_and_valid_checksums)
{
    const struct {
        const char* name;
        bytes_t ip_options;
        bytes_t tcp_options;
        std::string payload;
    } cases[] = {
        {"bare SYN", {}, {}, ""},
        {"SYN with data", {}, {}, "GET / HTTP/1.1\r\n\r\n"},
        // MSS and a TCP Fast Open option, a security option in the IPv4 header.
        {"options and data", {0x82, 0x03, 0xab, 0x00}, {2, 4, 0x05, 0xb4, 34, 2, 1, 1}, "odd length"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        bytes_t d = syn(c.ip_options, c.tcp_options, c.payload);
        const std::size_t ip_length = 20 + c.ip_options.size();
        const std::size_t length = ip_length + 20 + c.tcp_options.size();
        d.resize(length); // the copy the diverter keeps: headers only

        fw::net::reseal_tcp_datagram(d.data(), length);

        EXPECT_EQ((d[2] << 8) | d[3], static_cast<int>(length));
        EXPECT_EQ(folded_sum(d.data(), ip_length), 0xffff);
        std::uint32_t pseudo = folded_sum(d.data() + 12, 8);
        pseudo += 6 + (length - ip_length);
        EXPECT_EQ(folded_sum(d.data() + ip_length, length - ip_length, pseudo), 0xffff);
    }
}

} // namespace
