#pragma once
// Answers a client's SYN with a TCP reset sent through a raw socket that
// carries the client- and server-packets marks, so the daemon's own rules let
// the reset pass.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "fw/service/service.hpp"
#include "net/raw_sender.hpp"

namespace fw::net {
class ipv4_header_t;
class tcp_header_t;
} // namespace fw::net

namespace fw::service {

class marks_t;

// The RST|ACK datagram answering a SYN, IPv4 header (with the copied
// security option, if any) followed by a 20-byte TCP header.
struct reset_datagram_t {
    std::unique_ptr<std::uint8_t[]> data;
    std::size_t size = 0;
};

reset_datagram_t make_reset(const net::ipv4_header_t& ip, const std::uint8_t* security_option,
                            const net::tcp_header_t& tcp);

class connection_rejector_t : public util::service_t, public net::raw_sender_t {
public:
    connection_rejector_t(boost::asio::io_context& io, const marks_t& marks);

    // Marks the socket with ClientPacketsMark | ServerPacketsMark, on every call.
    void configure() override;

    // Sends the reset for this SYN to its source; `security_option` may be null.
    void reject(const net::ipv4_header_t& ip, const std::uint8_t* const& security_option,
                const net::tcp_header_t& tcp);

private:
    const marks_t& marks_;
};

} // namespace fw::service
