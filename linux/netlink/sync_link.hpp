#pragma once
// Blocking request/reply exchanges over one netlink socket: one request, then
// its acknowledgement, its single reply or its whole dump. No time-outs.
#include "common/scoped_fd.hpp"
#include "linux/netlink/byte_array.hpp"
#include "linux/netlink/message.hpp"
#include "linux/netlink/reply_check.hpp"

#include <cstdint>
#include <list>
#include <span>

namespace fw::linux::netlink {

// One collected reply: its nlmsg_type and a copy of the bytes after its header.
struct netlink_reply_t {
    std::uint16_t type = 0;
    byte_array_t payload;
};

class sync_link_t {
public:
    // Takes the descriptor only once the receive buffer exists; if that
    // fails, `fd` still owns the socket.
    explicit sync_link_t(fw::util::scoped_fd_t&& fd);
    sync_link_t(const sync_link_t&) = delete;
    sync_link_t& operator=(const sync_link_t&) = delete;

    // Sends one message with sequence number 0 and flags | NLM_F_REQUEST.
    void send(std::uint16_t type, netlink_payload_t payload, std::uint16_t flags);
    // Sends a datagram the caller built whole (headers included).
    void send_raw(const void* data, std::size_t size);

    // The first message of the next datagram must be NLMSG_ERROR; returns the
    // acknowledged request's sequence number.
    std::uint32_t wait_ack();
    // The first message of the next datagram; the rest of it is ignored.
    netlink_reply_t receive_one();
    // The replies of a dump, in arrival order, up to NLMSG_DONE (not included).
    std::list<netlink_reply_t> receive_all();
    // The next datagram, its first message whole; none of its messages is
    // checked against the requests sent, so a late reply to an earlier one
    // does not throw. Valid until the next receive.
    std::span<const std::uint8_t> receive_datagram();
    // Reads away, without waiting, whatever a failed exchange left unread,
    // the rest of a dump included: the kernel queues each reply before the
    // send of its request returns, and the next part of a dump before the
    // receive of the previous part returns. Afterwards the next datagram
    // answers the next request.
    void discard_unread() noexcept;

    // Hands the socket back; the link must not be used for exchanges afterwards.
    fw::util::scoped_fd_t release() noexcept { return std::move(fd_); }
    int fd() const noexcept { return fd_.get(); }

private:
    void send_message(const void* header, std::size_t header_size, const void* payload, std::size_t payload_size);
    void expect_replies(const void* datagram, std::size_t size);

    byte_array_t buffer_;
    fw::util::scoped_fd_t fd_;
    std::uint32_t port_id_ = 0;
    reply_check_t reply_check_;
};

} // namespace fw::linux::netlink
