#include "net/ipv4_header.hpp"

#include <cstring>

namespace fw::net {

namespace {

std::uint32_t read_raw(const std::uint8_t* p) noexcept
{
    std::uint32_t value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

boost::asio::ip::address_v4 address_at(const std::uint8_t* p) noexcept
{
    return boost::asio::ip::address_v4(boost::asio::ip::address_v4::bytes_type{p[0], p[1], p[2], p[3]});
}

} // namespace

boost::asio::ip::address_v4 ipv4_header_t::source_address() const noexcept { return address_at(bytes_ + 12); }

boost::asio::ip::address_v4 ipv4_header_t::destination_address() const noexcept { return address_at(bytes_ + 16); }

std::uint32_t ipv4_header_t::source_address_raw() const noexcept { return read_raw(bytes_ + 12); }

std::uint32_t ipv4_header_t::destination_address_raw() const noexcept { return read_raw(bytes_ + 16); }

} // namespace fw::net
