#pragma once
// Sends a held SYN again, unchanged, through a raw socket marked with the
// local-delivery and client-packets marks, so that it reaches the daemon's
// transparent listener.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "fw/service/service.hpp"
#include "net/raw_sender.hpp"

namespace fw::service {

class marks_t;

class marking_retransmitter_t : public util::service_t, public net::raw_sender_t {
public:
    marking_retransmitter_t(boost::asio::io_context& io, const marks_t& marks);

    // Marks the socket with LocalDeliveryMark | ClientPacketsMark when that value changed.
    void configure() override;

    // `destination` in network byte order.
    void retransmit(std::uint32_t destination, std::unique_ptr<std::uint8_t[]> datagram, std::size_t length);

private:
    const marks_t& marks_;
    std::uint32_t mark_ = 0;
};

} // namespace fw::service
