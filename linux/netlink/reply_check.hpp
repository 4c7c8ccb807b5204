#pragma once
// Trust a reply only when it answers the request just sent: the kernel
// addresses it to our port id and copies the request's sequence number.
// A reply of an earlier, abandoned exchange is caught here instead of being
// taken for the answer to the current one.
#include <linux/netlink.h>

#include <cstddef>
#include <cstdint>

namespace fw::linux::netlink {

class reply_check_t {
public:
    // Nothing is checked until the first request is known.
    void expect(std::uint32_t port_id, std::uint32_t first_seq, std::uint32_t last_seq) noexcept;
    // Takes the sequence numbers of every message in a datagram the caller built.
    void expect_datagram(std::uint32_t port_id, const std::uint8_t* data, std::size_t size) noexcept;

    // Throws unexpected_reply_t saying what was expected.
    void check(const nlmsghdr& reply) const;

private:
    bool armed_ = false;
    std::uint32_t port_id_ = 0;
    std::uint32_t first_seq_ = 0;
    std::uint32_t last_seq_ = 0;
};

} // namespace fw::linux::netlink
