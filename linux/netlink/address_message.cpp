#include "linux/netlink/address_message.hpp"

#include <arpa/inet.h>

#include <cstring>

namespace fw::linux::rtnetlink::address {

message_t message_t::parse(const void* data, std::size_t size)
{
    if (size < header_size)
        throw parse_error_t("Truncated message");
    message_t message(0);
    std::memcpy(&message.header_, data, header_size);
    message.attributes_ =
        netlink::compound_attribute_t::parse(static_cast<const std::uint8_t*>(data) + header_size, size - header_size);
    return message;
}

std::vector<std::uint8_t> message_t::serialize() const
{
    std::vector<std::uint8_t> out(header_size);
    std::memcpy(out.data(), &header_, header_size);
    attributes_.serialize(out);
    return out;
}

std::optional<std::uint32_t> message_t::local_v4() const
{
    const auto* value = attributes_.find_as<std::uint32_t>(IFA_LOCAL);
    if (!value)
        value = attributes_.find_as<std::uint32_t>(IFA_ADDRESS);
    if (!value)
        return std::nullopt;
    std::uint32_t network;
    std::memcpy(&network, value, sizeof network);
    return ntohl(network);
}

} // namespace fw::linux::rtnetlink::address
