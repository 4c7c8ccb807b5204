#include "fw/divert/connection_rejector.hpp"

#include <cstring>

#include "fw/service/marks.hpp"
#include "net/checksum.hpp"
#include "net/ip_options.hpp"
#include "net/ipv4_header.hpp"
#include "net/tcp_header.hpp"

namespace fw::service {

namespace {

constexpr std::size_t tcp_length = 20;
constexpr std::uint8_t ttl = 40;
constexpr std::uint8_t protocol_tcp = 6;

void put16(std::uint8_t* p, std::uint16_t value)
{
    p[0] = static_cast<std::uint8_t>(value >> 8);
    p[1] = static_cast<std::uint8_t>(value);
}

void put32(std::uint8_t* p, std::uint32_t value)
{
    put16(p, static_cast<std::uint16_t>(value >> 16));
    put16(p + 2, static_cast<std::uint16_t>(value));
}

} // namespace

reset_datagram_t make_reset(const net::ipv4_header_t& ip, const std::uint8_t* security_option,
                            const net::tcp_header_t& tcp)
{
    const std::size_t option_length = net::ip_option_length(security_option);
    const std::size_t ip_length = (option_length + 23) / 4 * 4;
    reset_datagram_t reset{std::make_unique<std::uint8_t[]>(ip_length + tcp_length), ip_length + tcp_length};
    std::uint8_t* const p = reset.data.get(); // zero-filled: length, id and checksum are the kernel's

    p[0] = static_cast<std::uint8_t>(0x40 + ip_length / 4);
    p[8] = ttl;
    p[9] = protocol_tcp;
    std::memcpy(p + 12, ip.data() + 16, 4); // from the server the client asked for
    std::memcpy(p + 16, ip.data() + 12, 4); // to the client
    if (option_length)
        std::memcpy(p + 20, security_option, option_length);

    std::uint8_t* const t = p + ip_length;
    put16(t, tcp.destination_port());
    put16(t + 2, tcp.source_port());
    put32(t + 8, tcp.sequence_number() + 1);
    t[12] = 0x50;
    t[13] = net::tcp_header_t::rst | net::tcp_header_t::ack;
    put16(t + 16, net::tcp_checksum(p + 12, t, tcp_length));
    return reset;
}

connection_rejector_t::connection_rejector_t(boost::asio::io_context& io, const marks_t& marks)
    : raw_sender_t(io), marks_(marks)
{
}

void connection_rejector_t::configure()
{
    set_socket_mark(marks_.client_packets_mark() | marks_.server_packets_mark(), "cannot set socket mark");
}

void connection_rejector_t::reject(const net::ipv4_header_t& ip, const std::uint8_t* const& security_option,
                                   const net::tcp_header_t& tcp)
{
    reset_datagram_t reset = make_reset(ip, security_option, tcp);
    send(ip.source_address_raw(), std::move(reset.data), reset.size);
}

} // namespace fw::service
