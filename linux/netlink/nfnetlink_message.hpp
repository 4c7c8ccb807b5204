#pragma once
// Payload of an nfnetlink message: the 4-byte nfgenmsg, then attributes. The
// netlink type (subsystem and message) is the sender's business.
#include "linux/netlink/attribute.hpp"
#include "linux/netlink/parse_error.hpp"

#include <linux/netfilter/nfnetlink.h>

#include <cstdint>
#include <vector>

namespace fw::linux::nfnetlink {

static_assert(sizeof(nfgenmsg) == 4);

class message_t {
public:
    using parse_error_t = netlink::message_parse_error_t<"Cannot parse nfnetlink message: ">;

    message_t(std::uint8_t family, std::uint16_t res_id) noexcept;

    // The bytes after the 16-byte netlink header.
    static message_t parse(const void* data, std::size_t size);
    // The attributes of those bytes read in place, with parse's checks and errors.
    static netlink::attribute_table_t parse_attributes(const void* data, std::size_t size);
    std::vector<std::uint8_t> serialize() const;

    std::uint8_t family() const noexcept { return header_.nfgen_family; }
    std::uint16_t res_id() const noexcept;
    netlink::compound_attribute_t& attributes() noexcept { return attributes_; }
    const netlink::compound_attribute_t& attributes() const noexcept { return attributes_; }

private:
    message_t() = default;

    nfgenmsg header_{}; // as on the wire: res_id big-endian
    netlink::compound_attribute_t attributes_;
};

} // namespace fw::linux::nfnetlink
