#include "net/checksum.hpp"

#include "net/ipv4_header.hpp"

namespace fw::net {

namespace {

constexpr std::uint8_t protocol_tcp = 6;

void put16(std::uint8_t* p, std::uint16_t value)
{
    p[0] = static_cast<std::uint8_t>(value >> 8);
    p[1] = static_cast<std::uint8_t>(value);
}

// Ones'-complement sum of big-endian 16-bit words, carries not yet folded.
std::uint32_t sum_words(const std::uint8_t* p, std::size_t n, std::uint32_t sum)
{
    for (std::size_t i = 0; i + 1 < n; i += 2)
        sum += (std::uint32_t{p[i]} << 8) | p[i + 1];
    if (n % 2)
        sum += std::uint32_t{p[n - 1]} << 8;
    return sum;
}

std::uint16_t fold(std::uint32_t sum)
{
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum);
}

} // namespace

std::uint16_t tcp_checksum(const std::uint8_t* addresses, const std::uint8_t* segment, std::size_t length)
{
    std::uint32_t sum = sum_words(addresses, 8, 0);
    sum += protocol_tcp;
    sum += static_cast<std::uint32_t>(length);
    return fold(sum_words(segment, length, sum));
}

void reseal_tcp_datagram(std::uint8_t* datagram, std::size_t length)
{
    const std::size_t ip_length = ipv4_header_t::at(datagram).header_length();
    put16(datagram + 2, static_cast<std::uint16_t>(length));
    put16(datagram + 10, 0);
    put16(datagram + 10, fold(sum_words(datagram, ip_length, 0)));
    std::uint8_t* const tcp = datagram + ip_length;
    put16(tcp + 16, 0);
    put16(tcp + 16, tcp_checksum(datagram + 12, tcp, length - ip_length));
}

} // namespace fw::net
