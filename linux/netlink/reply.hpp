#pragma once
// Reading what the kernel sends back: the message headers of a received
// datagram, error replies, and the exceptions for replies we cannot trust.
#include <linux/netlink.h>

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace fw::linux::netlink {

// A complete NLMSG_ERROR: header, error, header of the answered request.
constexpr std::size_t error_message_size = NLMSG_HDRLEN + sizeof(nlmsgerr);
static_assert(error_message_size == 36);

// Malformed or unexpected data received from the kernel.
class reply_error_t : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class truncated_reply_t : public reply_error_t {
public:
    truncated_reply_t() : reply_error_t("NETLINK: Truncated message received") {}
};

class unexpected_reply_t : public reply_error_t {
public:
    unexpected_reply_t() : reply_error_t("NETLINK: Unexpected message") {}
    // Says what was expected instead, e.g. "sequence number 3, expected 7".
    explicit unexpected_reply_t(const std::string& detail) : reply_error_t("NETLINK: Unexpected message: " + detail) {}
};

class incomplete_send_t : public std::runtime_error {
public:
    incomplete_send_t() : std::runtime_error("NETLINK: incomplete datagram sent") {}
};

// Copies the header at `p`; received messages need not be aligned for nlmsghdr.
nlmsghdr read_header(const std::uint8_t* p) noexcept;

// The positive errno of an NLMSG_ERROR whose error field is `error` (0 for an
// acknowledgement). A value the kernel never sends (positive, INT_MIN) is EPROTO.
int errno_of(std::int32_t error) noexcept;

// For an NLMSG_ERROR message at `p` with `available` bytes behind it: throws
// truncated_reply_t when it is shorter than 36 bytes, and
// boost::system::system_error "NETLINK error received" for a non-zero error.
// Other messages pass unchecked.
void check_error(const std::uint8_t* p, std::size_t available);

// The error field of a complete NLMSG_ERROR.
std::int32_t error_field(const std::uint8_t* p) noexcept;

} // namespace fw::linux::netlink
