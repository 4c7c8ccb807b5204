#pragma once
// Payload of the NETLINK_ROUTE route and rule messages: a 12-byte header
// (struct rtmsg for routes, struct fib_rule_hdr for rules; same byte
// positions), then attributes. Types and flags are the caller's business.
#include "linux/netlink/attribute.hpp"
#include "linux/netlink/parse_error.hpp"

#include <linux/fib_rules.h>
#include <linux/rtnetlink.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace fw::linux::rtnetlink::routing {

static_assert(sizeof(rtmsg) == 12 && sizeof(fib_rule_hdr) == 12);
static_assert(offsetof(rtmsg, rtm_table) == 4 && offsetof(fib_rule_hdr, table) == 4);
static_assert(offsetof(rtmsg, rtm_protocol) == 5 && offsetof(fib_rule_hdr, res1) == 5);
static_assert(offsetof(rtmsg, rtm_scope) == 6 && offsetof(fib_rule_hdr, res2) == 6);
static_assert(offsetof(rtmsg, rtm_type) == 7 && offsetof(fib_rule_hdr, action) == 7);

class message_t {
public:
    using parse_error_t = netlink::message_parse_error_t<"Cannot parse rtnetlink message: ">;

    static constexpr std::size_t header_size = sizeof(rtmsg);

    explicit message_t(std::uint8_t family) noexcept { header_[0] = family; }

    // The bytes after the 16-byte netlink header.
    static message_t parse(const void* data, std::size_t size);
    std::vector<std::uint8_t> serialize() const;

    std::uint8_t family() const noexcept { return header_[0]; }
    std::uint8_t table() const noexcept { return header_[4]; }
    std::uint8_t protocol() const noexcept { return header_[5]; }
    std::uint8_t scope() const noexcept { return header_[6]; }
    std::uint8_t type() const noexcept { return header_[7]; }
    void set_table(std::uint8_t v) noexcept { header_[4] = v; }
    void set_protocol(std::uint8_t v) noexcept { header_[5] = v; }
    void set_scope(std::uint8_t v) noexcept { header_[6] = v; }
    void set_type(std::uint8_t v) noexcept { header_[7] = v; }

    netlink::compound_attribute_t& attributes() noexcept { return attributes_; }
    const netlink::compound_attribute_t& attributes() const noexcept { return attributes_; }

private:
    std::array<std::uint8_t, header_size> header_{};
    netlink::compound_attribute_t attributes_;
};

} // namespace fw::linux::rtnetlink::routing
