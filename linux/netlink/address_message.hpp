#pragma once
// Payload of the NETLINK_ROUTE address messages (RTM_NEWADDR, RTM_DELADDR,
// RTM_GETADDR): an 8-byte struct ifaddrmsg, then attributes.
#include "linux/netlink/attribute.hpp"
#include "linux/netlink/parse_error.hpp"

#include <linux/if_addr.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace fw::linux::rtnetlink::address {

static_assert(sizeof(ifaddrmsg) == 8);
static_assert(offsetof(ifaddrmsg, ifa_prefixlen) == 1 && offsetof(ifaddrmsg, ifa_index) == 4);

class message_t {
public:
    using parse_error_t = netlink::message_parse_error_t<"Cannot parse rtnetlink address message: ">;

    static constexpr std::size_t header_size = sizeof(ifaddrmsg);

    explicit message_t(std::uint8_t family) noexcept { header_.ifa_family = family; }

    // The bytes after the 16-byte netlink header.
    static message_t parse(const void* data, std::size_t size);
    std::vector<std::uint8_t> serialize() const;

    std::uint8_t family() const noexcept { return header_.ifa_family; }
    std::uint8_t prefix_length() const noexcept { return header_.ifa_prefixlen; }
    std::uint8_t scope() const noexcept { return header_.ifa_scope; }
    std::uint32_t index() const noexcept { return header_.ifa_index; }
    void set_prefix_length(std::uint8_t v) noexcept { header_.ifa_prefixlen = v; }
    void set_index(std::uint32_t v) noexcept { header_.ifa_index = v; }

    // The interface's own IPv4 address, host order: IFA_LOCAL, which differs
    // from IFA_ADDRESS only on point-to-point links. Throws
    // compound_attribute_t::invalid_attribute_t for a short value.
    std::optional<std::uint32_t> local_v4() const;

    netlink::compound_attribute_t& attributes() noexcept { return attributes_; }
    const netlink::compound_attribute_t& attributes() const noexcept { return attributes_; }

private:
    ifaddrmsg header_{};
    netlink::compound_attribute_t attributes_;
};

} // namespace fw::linux::rtnetlink::address
