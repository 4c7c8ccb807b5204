#include "fw/divert/packet_validator.hpp"

#include <string>

#include "fw/service/marks.hpp"
#include "fw/divert/transparent_acceptor.hpp"
#include "net/ipv4_header.hpp"
#include "net/tcp_header.hpp"

namespace fw::service {

namespace {

constexpr std::uint16_t syn_ack_mask = net::tcp_header_t::syn | net::tcp_header_t::ack;

void validate_flags(const net::tcp_header_t& tcp, std::uint16_t expected)
{
    if ((tcp.flags() & syn_ack_mask) != expected)
        throw packet_validator_t::invalid_packet_t("tcp flags " + std::to_string(tcp.flags()) + " do not match "
                                                   + std::to_string(expected) + "/" + std::to_string(syn_ack_mask));
}

} // namespace

packet_validator_t::packet_validator_t(const marks_t& marks, const transparent_acceptor_t& acceptor)
    : marks_(marks), acceptor_(acceptor)
{
}

void packet_validator_t::configure()
{
    expected_ = 0;
    mask_ = marks_.client_packets_mark() | marks_.server_packets_mark();
    listening_ = acceptor_.endpoint();
}

void packet_validator_t::validate_mark(std::uint32_t mark) const
{
    if ((mark & mask_) != expected_)
        throw invalid_packet_t("packet mark " + std::to_string(mark) + " does not match " + std::to_string(expected_)
                               + "/" + std::to_string(mask_));
}

void packet_validator_t::validate_syn(const net::ipv4_header_t& ip, const net::tcp_header_t& tcp,
                                      std::uint32_t mark) const
{
    validate_mark(mark);
    validate_flags(tcp, net::tcp_header_t::syn);
    // A SYN to the transparent listener itself would be accepted as its own server.
    const auto destination = net::destination_endpoint(ip, tcp);
    if (destination == listening_)
        throw invalid_packet_t("direct connection to " + endpoint_text(destination) + " is not allowed");
}

void packet_validator_t::validate_syn_ack(const net::ipv4_header_t&, const net::tcp_header_t& tcp,
                                          std::uint32_t mark) const
{
    validate_mark(mark);
    validate_flags(tcp, syn_ack_mask);
}

} // namespace fw::service
