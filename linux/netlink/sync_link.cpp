#include "linux/netlink/sync_link.hpp"

#include "common/errno_error.hpp"
#include "linux/netlink/kernel_address.hpp"
#include "linux/netlink/reply.hpp"
#include "linux/netlink/socket.hpp"

#include <boost/system/system_error.hpp>

#include <cerrno>
#include <sys/socket.h>
#include <sys/uio.h>

namespace fw::linux::netlink {

using fw::util::throw_errno;

sync_link_t::sync_link_t(fw::util::scoped_fd_t&& fd) : buffer_(make_receive_buffer(fd.get())), fd_(std::move(fd)) {}

void sync_link_t::send(std::uint16_t type, netlink_payload_t payload, std::uint16_t flags)
{
    netlink_message_t message(type, std::move(payload), 0, static_cast<std::uint16_t>(flags | NLM_F_REQUEST));
    send_message(&message.header(), sizeof(nlmsghdr), message.payload(), message.payload_size());
}

void sync_link_t::send_raw(const void* data, std::size_t size)
{
    send_message(data, size, nullptr, 0);
}

void sync_link_t::send_message(const void* header, std::size_t header_size, const void* payload,
                               std::size_t payload_size)
{
    iovec parts[2] = {{const_cast<void*>(header), header_size}, {const_cast<void*>(payload), payload_size}};
    msghdr msg{};
    msg.msg_name = const_cast<sockaddr_nl*>(&kernel_address());
    msg.msg_namelen = sizeof(sockaddr_nl);
    msg.msg_iov = parts;
    msg.msg_iovlen = payload_size ? 2 : 1;
    ssize_t sent;
    do
        sent = ::sendmsg(fd_.get(), &msg, 0);
    while (sent < 0 && errno == EINTR);
    if (sent < 0)
        throw_errno("NETLINK sendmsg");
    if (static_cast<std::size_t>(sent) != header_size + payload_size)
        throw incomplete_send_t();
    expect_replies(header, header_size);
}

void sync_link_t::expect_replies(const void* datagram, std::size_t size)
{
    // The kernel picks our port id at the first send.
    if (port_id_ == 0) {
        sockaddr_nl self{};
        socklen_t len = sizeof self;
        if (::getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&self), &len) != 0)
            throw_errno("NETLINK getsockname");
        port_id_ = self.nl_pid;
    }
    reply_check_.expect_datagram(port_id_, static_cast<const std::uint8_t*>(datagram), size);
}

std::span<const std::uint8_t> sync_link_t::receive_datagram()
{
    ssize_t n;
    do
        n = ::recv(fd_.get(), buffer_.data.get(), buffer_.size, 0);
    while (n < 0 && errno == EINTR);
    if (n < 0)
        throw_errno("NETLINK recv");
    auto size = static_cast<std::size_t>(n);
    if (size < NLMSG_HDRLEN || read_header(buffer_.data.get()).nlmsg_len > size)
        throw truncated_reply_t();
    return {buffer_.data.get(), size};
}

void sync_link_t::discard_unread() noexcept
{
    // An overrun (ENOBUFS) is reported once; the queue behind it is still read.
    char byte;
    while (::recv(fd_.get(), &byte, sizeof byte, MSG_DONTWAIT | MSG_TRUNC) >= 0 || errno == EINTR
           || errno == ENOBUFS) {
    }
}

std::uint32_t sync_link_t::wait_ack()
{
    std::size_t size = receive_datagram().size();
    nlmsghdr header = read_header(buffer_.data.get());
    reply_check_.check(header);
    if (header.nlmsg_type != NLMSG_ERROR)
        throw unexpected_reply_t();
    check_error(buffer_.data.get(), size);
    return header.nlmsg_seq;
}

netlink_reply_t sync_link_t::receive_one()
{
    std::size_t size = receive_datagram().size();
    nlmsghdr header = read_header(buffer_.data.get());
    reply_check_.check(header);
    check_error(buffer_.data.get(), size);
    // A first message shorter than its own header carries no payload.
    std::size_t len = header.nlmsg_len < NLMSG_HDRLEN ? NLMSG_HDRLEN : header.nlmsg_len;
    return {header.nlmsg_type, byte_array_t(buffer_.data.get() + NLMSG_HDRLEN, len - NLMSG_HDRLEN)};
}

std::list<netlink_reply_t> sync_link_t::receive_all()
{
    std::list<netlink_reply_t> replies;
    for (;;) {
        std::size_t size = receive_datagram().size();
        const std::uint8_t* p = buffer_.data.get();
        for (std::size_t remaining = size; remaining >= NLMSG_HDRLEN;) {
            nlmsghdr header = read_header(p);
            if (header.nlmsg_len < NLMSG_HDRLEN || header.nlmsg_len > remaining)
                break;
            reply_check_.check(header);
            if (header.nlmsg_type == NLMSG_DONE)
                return replies;
            if (header.nlmsg_type != NLMSG_ERROR && !(header.nlmsg_flags & NLM_F_MULTI))
                throw unexpected_reply_t();
            check_error(p, remaining);
            replies.push_back({header.nlmsg_type, byte_array_t(p + NLMSG_HDRLEN, header.nlmsg_len - NLMSG_HDRLEN)});
            std::size_t step = align4(header.nlmsg_len);
            if (step >= remaining)
                break;
            p += step;
            remaining -= step;
        }
    }
}

} // namespace fw::linux::netlink
