#include "net/tcp_header.hpp"
#include "common/endpoint_text.hpp"

#include <boost/asio/ip/tcp.hpp>

namespace fw::net {

std::uint32_t tcp_header_t::sequence_number() const noexcept
{
    return (std::uint32_t{bytes_[4]} << 24) | (std::uint32_t{bytes_[5]} << 16) | (std::uint32_t{bytes_[6]} << 8)
           | bytes_[7];
}

tcp_endpoint_t source_endpoint(const ipv4_header_t& ip, const tcp_header_t& tcp)
{
    return {ip.source_address(), tcp.source_port()};
}

tcp_endpoint_t destination_endpoint(const ipv4_header_t& ip, const tcp_header_t& tcp)
{
    return {ip.destination_address(), tcp.destination_port()};
}

std::string describe_endpoints(const ipv4_header_t& ip, const tcp_header_t& tcp)
{
    return util::endpoint_pair_text(source_endpoint(ip, tcp), destination_endpoint(ip, tcp));
}

} // namespace fw::net
