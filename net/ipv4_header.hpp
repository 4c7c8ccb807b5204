#pragma once
// The IPv4 header of a packet, read in place: a view over bytes in network
// byte order, never built or copied as an object. A reference to it is a
// pointer to the header's first byte inside some buffer.
#include <boost/asio/ip/address_v4.hpp>

#include <cstddef>
#include <cstdint>

namespace fw::net {

class ipv4_header_t {
public:
    // The fixed part; options follow up to header_length().
    static constexpr std::size_t min_size = 20;

    // `data` must hold at least min_size bytes (and header_length() bytes for
    // anything that reads the options).
    static const ipv4_header_t& at(const void* data) noexcept
    {
        return *static_cast<const ipv4_header_t*>(data);
    }

    ipv4_header_t() = delete;
    ipv4_header_t(const ipv4_header_t&) = delete;
    ipv4_header_t& operator=(const ipv4_header_t&) = delete;

    const std::uint8_t* data() const noexcept { return bytes_; }
    // IHL × 4.
    unsigned header_length() const noexcept { return (bytes_[0] & 0x0fu) * 4u; }
    boost::asio::ip::address_v4 source_address() const noexcept;
    boost::asio::ip::address_v4 destination_address() const noexcept;
    // The destination as it stands in the header, network byte order.
    std::uint32_t destination_address_raw() const noexcept;
    std::uint32_t source_address_raw() const noexcept;
    // The option list: header_length() - 20 bytes from here (none below IHL 5).
    const std::uint8_t* options() const noexcept { return bytes_ + min_size; }

private:
    std::uint8_t bytes_[min_size];
};

static_assert(sizeof(ipv4_header_t) == ipv4_header_t::min_size && alignof(ipv4_header_t) == 1);

} // namespace fw::net
