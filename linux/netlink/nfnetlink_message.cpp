#include "linux/netlink/nfnetlink_message.hpp"

#include <arpa/inet.h>

#include <cstring>

namespace fw::linux::nfnetlink {

message_t::message_t(std::uint8_t family, std::uint16_t res_id) noexcept
{
    header_.nfgen_family = family;
    header_.version = NFNETLINK_V0;
    header_.res_id = htons(res_id);
}

std::uint16_t message_t::res_id() const noexcept
{
    return ntohs(header_.res_id);
}

namespace {

void check_size(std::size_t size)
{
    if (size < sizeof(nfgenmsg))
        throw message_t::parse_error_t("Truncated message");
}

} // namespace

message_t message_t::parse(const void* data, std::size_t size)
{
    check_size(size);
    message_t message;
    std::memcpy(&message.header_, data, sizeof(nfgenmsg));
    message.attributes_ = netlink::compound_attribute_t::parse(static_cast<const std::uint8_t*>(data) + sizeof(nfgenmsg),
                                                               size - sizeof(nfgenmsg));
    return message;
}

netlink::attribute_table_t message_t::parse_attributes(const void* data, std::size_t size)
{
    check_size(size);
    return netlink::attribute_table_t::parse(static_cast<const std::uint8_t*>(data) + sizeof(nfgenmsg),
                                             size - sizeof(nfgenmsg));
}

std::vector<std::uint8_t> message_t::serialize() const
{
    std::vector<std::uint8_t> out(sizeof(nfgenmsg));
    std::memcpy(out.data(), &header_, sizeof(nfgenmsg));
    attributes_.serialize(out);
    return out;
}

} // namespace fw::linux::nfnetlink
