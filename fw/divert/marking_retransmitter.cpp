#include "fw/divert/marking_retransmitter.hpp"

#include <utility>

#include "fw/service/marks.hpp"

namespace fw::service {

marking_retransmitter_t::marking_retransmitter_t(boost::asio::io_context& io, const marks_t& marks)
    : raw_sender_t(io), marks_(marks)
{
}

void marking_retransmitter_t::configure()
{
    const std::uint32_t mark = marks_.local_delivery_mark() | marks_.client_packets_mark();
    if (mark == mark_)
        return;
    set_socket_mark(mark, "Marking retransmitter: cannot mark raw socket");
    mark_ = mark;
}

void marking_retransmitter_t::retransmit(std::uint32_t destination, std::unique_ptr<std::uint8_t[]> datagram,
                                         std::size_t length)
{
    send(destination, std::move(datagram), length);
}

} // namespace fw::service
