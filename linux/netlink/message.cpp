#include "linux/netlink/message.hpp"

#include <limits>
#include <stdexcept>

namespace fw::linux::netlink {

const std::uint8_t* payload_data(const netlink_payload_t& payload) noexcept
{
    if (auto* bytes = std::get_if<byte_array_t>(&payload))
        return bytes->data.get();
    return std::get<std::vector<std::uint8_t>>(payload).data();
}

std::size_t payload_size(const netlink_payload_t& payload) noexcept
{
    if (auto* bytes = std::get_if<byte_array_t>(&payload))
        return bytes->size;
    return std::get<std::vector<std::uint8_t>>(payload).size();
}

nlmsghdr message_header(std::uint16_t type, std::size_t payload_size, std::uint32_t seq, std::uint16_t flags)
{
    if (payload_size > std::numeric_limits<std::uint32_t>::max() - NLMSG_HDRLEN)
        throw std::length_error("NETLINK: message too large");
    nlmsghdr header{};
    header.nlmsg_len = static_cast<std::uint32_t>(NLMSG_HDRLEN + payload_size);
    header.nlmsg_type = type;
    header.nlmsg_flags = flags;
    header.nlmsg_seq = seq;
    header.nlmsg_pid = 0;
    return header;
}

netlink_message_t::netlink_message_t(std::uint16_t type, netlink_payload_t payload, std::uint32_t seq,
                                     std::uint16_t flags)
    : header_(message_header(type, netlink::payload_size(payload), seq, flags)), payload_(std::move(payload))
{
}

netlink_message_t::netlink_message_t(std::uint16_t type, std::unique_ptr<std::uint8_t[]> data, std::size_t size,
                                     std::uint32_t seq, std::uint16_t flags)
    : netlink_message_t(type, byte_array_t(std::move(data), size), seq, flags)
{
}

netlink_message_t::netlink_message_t(const nlmsghdr& header)
    : header_(header), payload_(byte_array_t(header.nlmsg_len > NLMSG_HDRLEN ? header.nlmsg_len - NLMSG_HDRLEN : 0))
{
}

} // namespace fw::linux::netlink
