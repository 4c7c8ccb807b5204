#pragma once
// Tells whether a queued packet is one the daemon's rules should have queued:
// unmarked by the daemon, with the expected flags, and not addressed to the
// transparent listener itself.
#include <cstdint>
#include <stdexcept>

#include <boost/asio/ip/tcp.hpp>

#include "fw/service/service.hpp"

namespace fw::net {
class ipv4_header_t;
class tcp_header_t;
} // namespace fw::net

namespace fw::service {

class marks_t;
class transparent_acceptor_t;

class packet_validator_t : public util::service_t {
public:
    class invalid_packet_t : public std::runtime_error {
    public:
        using std::runtime_error::runtime_error;
    };

    packet_validator_t(const marks_t& marks, const transparent_acceptor_t& acceptor);

    // Takes the marks and the listening endpoint of the current configuration.
    void configure() override;

    // Throw invalid_packet_t with the reason.
    void validate_syn(const net::ipv4_header_t& ip, const net::tcp_header_t& tcp, std::uint32_t mark) const;
    void validate_syn_ack(const net::ipv4_header_t& ip, const net::tcp_header_t& tcp, std::uint32_t mark) const;

private:
    void validate_mark(std::uint32_t mark) const;

    const marks_t& marks_;
    const transparent_acceptor_t& acceptor_;
    std::uint32_t expected_ = 0;
    std::uint32_t mask_ = 0;
    boost::asio::ip::tcp::endpoint listening_{boost::asio::ip::address_v4::any(), 0};
};

} // namespace fw::service
