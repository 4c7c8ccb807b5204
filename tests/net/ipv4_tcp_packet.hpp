#pragma once
// Builds the bytes of an IPv4 packet with a TCP header for tests: addresses,
// ports, sequence and acknowledgement numbers, flags, IPv4 options and TCP
// option space.
#include <arpa/inet.h>

#include <cstdint>
#include <string>
#include <vector>

namespace morva_test {

struct ipv4_tcp_packet_t {
    std::string source = "10.0.0.1";
    std::string destination = "10.0.0.2";
    std::uint16_t source_port = 5000;
    std::uint16_t destination_port = 80;
    std::uint32_t sequence = 1000;
    std::uint32_t acknowledgement = 0;
    std::uint16_t flags = 0x02; // 9 bits: NS is 0x100
    std::vector<std::uint8_t> ip_options = {}; // padded with zeros to a multiple of 4
    unsigned tcp_option_bytes = 0;        // multiple of 4, filled with no-operation bytes
    std::uint8_t protocol = 6;

    std::vector<std::uint8_t> bytes() const
    {
        std::vector<std::uint8_t> options = ip_options;
        options.resize((options.size() + 3) / 4 * 4, 0);
        const std::size_t ip_length = 20 + options.size();
        const std::size_t tcp_length = 20 + tcp_option_bytes;
        std::vector<std::uint8_t> p(ip_length + tcp_length, 0);
        p[0] = static_cast<std::uint8_t>(0x40 | (ip_length / 4));
        p[2] = static_cast<std::uint8_t>(p.size() >> 8);
        p[3] = static_cast<std::uint8_t>(p.size());
        p[8] = 64;
        p[9] = protocol;
        ::inet_pton(AF_INET, source.c_str(), &p[12]);
        ::inet_pton(AF_INET, destination.c_str(), &p[16]);
        std::copy(options.begin(), options.end(), p.begin() + 20);
        std::uint8_t* t = &p[ip_length];
        t[0] = static_cast<std::uint8_t>(source_port >> 8);
        t[1] = static_cast<std::uint8_t>(source_port);
        t[2] = static_cast<std::uint8_t>(destination_port >> 8);
        t[3] = static_cast<std::uint8_t>(destination_port);
        for (int i = 0; i < 4; ++i)
            t[4 + i] = static_cast<std::uint8_t>(sequence >> (24 - 8 * i));
        for (int i = 0; i < 4; ++i)
            t[8 + i] = static_cast<std::uint8_t>(acknowledgement >> (24 - 8 * i));
        t[12] = static_cast<std::uint8_t>(((tcp_length / 4) << 4) | (flags >> 8 & 1));
        t[13] = static_cast<std::uint8_t>(flags);
        t[14] = 0xff; // window
        t[15] = 0xff;
        for (unsigned i = 0; i < tcp_option_bytes; ++i)
            t[20 + i] = 1;
        return p;
    }
};

} // namespace morva_test
