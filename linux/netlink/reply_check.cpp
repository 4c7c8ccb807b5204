#include "linux/netlink/reply_check.hpp"

#include "linux/netlink/message.hpp"
#include "linux/netlink/reply.hpp"

#include <string>

namespace fw::linux::netlink {

void reply_check_t::expect(std::uint32_t port_id, std::uint32_t first_seq, std::uint32_t last_seq) noexcept
{
    armed_ = true;
    port_id_ = port_id;
    first_seq_ = first_seq;
    last_seq_ = last_seq;
}

void reply_check_t::expect_datagram(std::uint32_t port_id, const std::uint8_t* data, std::size_t size) noexcept
{
    if (size < NLMSG_HDRLEN) {
        armed_ = false;
        return;
    }
    // Batches number their messages consecutively; the span covers every one.
    std::uint32_t first = read_header(data).nlmsg_seq;
    std::uint32_t last = first;
    for (std::size_t pos = 0; size - pos >= NLMSG_HDRLEN;) {
        nlmsghdr h = read_header(data + pos);
        if (h.nlmsg_len < NLMSG_HDRLEN || h.nlmsg_len > size - pos)
            break;
        if (h.nlmsg_seq - first > last - first)
            last = h.nlmsg_seq;
        pos += align4(h.nlmsg_len);
        if (pos >= size)
            break;
    }
    expect(port_id, first, last);
}

void reply_check_t::check(const nlmsghdr& reply) const
{
    if (!armed_)
        return;
    if (reply.nlmsg_pid != port_id_)
        throw unexpected_reply_t("port id " + std::to_string(reply.nlmsg_pid) + ", expected "
                                 + std::to_string(port_id_));
    // Unsigned distance, so a span across the wrap of the counter still works.
    if (reply.nlmsg_seq - first_seq_ > last_seq_ - first_seq_) {
        std::string expected = std::to_string(first_seq_);
        if (last_seq_ != first_seq_)
            expected += " to " + std::to_string(last_seq_);
        throw unexpected_reply_t("sequence number " + std::to_string(reply.nlmsg_seq) + ", expected " + expected);
    }
}

} // namespace fw::linux::netlink
