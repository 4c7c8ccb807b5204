#include "linux/netlink/routing_message.hpp"

#include <cstring>

namespace fw::linux::rtnetlink::routing {

message_t message_t::parse(const void* data, std::size_t size)
{
    if (size < header_size)
        throw parse_error_t("Truncated message");
    message_t message(0);
    std::memcpy(message.header_.data(), data, header_size);
    message.attributes_ =
        netlink::compound_attribute_t::parse(static_cast<const std::uint8_t*>(data) + header_size, size - header_size);
    return message;
}

std::vector<std::uint8_t> message_t::serialize() const
{
    std::vector<std::uint8_t> out(header_.begin(), header_.end());
    attributes_.serialize(out);
    return out;
}

} // namespace fw::linux::rtnetlink::routing
