#pragma once
// The TCP header of a packet, read in place like the IPv4 header view.
#include "net/ipv4_header.hpp"

#include <cstddef>
#include <cstdint>
#include <string>

namespace boost::asio::ip {
class tcp;
template <typename InternetProtocol>
class basic_endpoint;
} // namespace boost::asio::ip

namespace fw::net {

class tcp_header_t {
public:
    static constexpr std::size_t min_size = 20;

    // Flag bits of flags(); NS is the lowest bit of byte 12.
    static constexpr std::uint16_t fin = 0x01, syn = 0x02, rst = 0x04, psh = 0x08, ack = 0x10, urg = 0x20,
                                   ece = 0x40, cwr = 0x80, ns = 0x100;

    static const tcp_header_t& at(const void* data) noexcept { return *static_cast<const tcp_header_t*>(data); }
    // The TCP header that follows `ip` (ip.header_length() bytes later).
    static const tcp_header_t& after(const ipv4_header_t& ip) noexcept { return at(ip.data() + ip.header_length()); }

    tcp_header_t() = delete;
    tcp_header_t(const tcp_header_t&) = delete;
    tcp_header_t& operator=(const tcp_header_t&) = delete;

    const std::uint8_t* data() const noexcept { return bytes_; }
    std::uint16_t source_port() const noexcept { return read16(0); }
    std::uint16_t destination_port() const noexcept { return read16(2); }
    std::uint32_t sequence_number() const noexcept;
    // Data offset × 4.
    unsigned header_length() const noexcept { return (bytes_[12] >> 4) * 4u; }
    // The flags byte, with NS as 0x100.
    std::uint16_t flags() const noexcept
    {
        return static_cast<std::uint16_t>(bytes_[13] | ((bytes_[12] & 0x01u) << 8));
    }

private:
    std::uint16_t read16(std::size_t offset) const noexcept
    {
        return static_cast<std::uint16_t>((bytes_[offset] << 8) | bytes_[offset + 1]);
    }

    std::uint8_t bytes_[min_size];
};

static_assert(sizeof(tcp_header_t) == tcp_header_t::min_size && alignof(tcp_header_t) == 1);

using tcp_endpoint_t = boost::asio::ip::basic_endpoint<boost::asio::ip::tcp>;

// For a client's SYN: the client endpoint and the server endpoint.
tcp_endpoint_t source_endpoint(const ipv4_header_t& ip, const tcp_header_t& tcp);
tcp_endpoint_t destination_endpoint(const ipv4_header_t& ip, const tcp_header_t& tcp);
// "10.0.0.1:40000 -> 10.0.0.2:80".
std::string describe_endpoints(const ipv4_header_t& ip, const tcp_header_t& tcp);

} // namespace fw::net
