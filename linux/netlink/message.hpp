#pragma once
// One netlink message to send: the kernel's 16-byte header and a payload.
#include "linux/netlink/byte_array.hpp"

#include <linux/netlink.h>

#include <cstdint>
#include <variant>
#include <vector>

namespace fw::linux::netlink {

static_assert(sizeof(nlmsghdr) == 16);
static_assert(NLMSG_HDRLEN == 16);

// The serializers of the message classes produce a vector; raw payloads come as bytes.
using netlink_payload_t = std::variant<byte_array_t, std::vector<std::uint8_t>>;

const std::uint8_t* payload_data(const netlink_payload_t& payload) noexcept;
std::size_t payload_size(const netlink_payload_t& payload) noexcept;

// The header of a message with `payload_size` bytes after it; port id 0.
// Throws std::length_error "NETLINK: message too large".
nlmsghdr message_header(std::uint16_t type, std::size_t payload_size, std::uint32_t seq, std::uint16_t flags);

class netlink_message_t {
public:
    netlink_message_t(std::uint16_t type, netlink_payload_t payload, std::uint32_t seq, std::uint16_t flags);
    netlink_message_t(std::uint16_t type, std::unique_ptr<std::uint8_t[]> data, std::size_t size,
                      std::uint32_t seq, std::uint16_t flags);
    // A received header; the payload is zero bytes for the caller to fill.
    explicit netlink_message_t(const nlmsghdr& header);

    const nlmsghdr& header() const noexcept { return header_; }
    const std::uint8_t* payload() const noexcept { return payload_data(payload_); }
    std::uint8_t* payload() noexcept { return const_cast<std::uint8_t*>(payload_data(payload_)); }
    std::size_t payload_size() const noexcept { return netlink::payload_size(payload_); }
    // Hands the payload over, e.g. to a send queue; the header stays.
    netlink_payload_t take_payload() noexcept { return std::move(payload_); }

private:
    nlmsghdr header_{};
    netlink_payload_t payload_;
};

// Messages in a datagram follow each other at lengths rounded up to 4.
constexpr std::size_t align4(std::size_t n) noexcept { return (n + 3) & ~std::size_t{3}; }

} // namespace fw::linux::netlink
