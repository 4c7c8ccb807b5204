#pragma once
// Builds what the kernel would send, byte for byte, for tests that feed a link
// through a socket pair.
#include "linux/netlink/message.hpp"

#include <linux/netlink.h>
#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace netlink_test {

using bytes_t = std::vector<std::uint8_t>;

inline bytes_t message(std::uint16_t type, std::uint16_t flags, const std::string& payload = {}, std::uint32_t seq = 0)
{
    nlmsghdr h{};
    h.nlmsg_len = static_cast<std::uint32_t>(NLMSG_HDRLEN + payload.size());
    h.nlmsg_type = type;
    h.nlmsg_flags = flags;
    h.nlmsg_seq = seq;
    bytes_t out(reinterpret_cast<std::uint8_t*>(&h), reinterpret_cast<std::uint8_t*>(&h) + NLMSG_HDRLEN);
    out.insert(out.end(), payload.begin(), payload.end());
    out.resize(fw::linux::netlink::align4(out.size()), 0);
    return out;
}

inline bytes_t message(std::uint16_t type, std::uint16_t flags, const bytes_t& payload, std::uint32_t seq = 0)
{
    return message(type, flags, std::string(payload.begin(), payload.end()), seq);
}

// NLMSG_ERROR answering a request of `request_type` with sequence number `seq`.
inline bytes_t error_message(std::int32_t error, std::uint32_t seq, std::uint16_t request_type = 0)
{
    nlmsgerr e{};
    e.error = error;
    e.msg.nlmsg_len = NLMSG_HDRLEN;
    e.msg.nlmsg_type = request_type;
    e.msg.nlmsg_flags = NLM_F_REQUEST;
    e.msg.nlmsg_seq = seq;
    return message(NLMSG_ERROR, 0, std::string(reinterpret_cast<char*>(&e), sizeof e), seq);
}

inline bytes_t concat(std::initializer_list<bytes_t> parts)
{
    bytes_t out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// A socket pair standing in for the kernel: sequenced packets keep datagram
// boundaries and ignore the kernel address a link sends to. [0] is the link's
// end, [1] the test's; both have room for a few hundred messages in flight.
// {-1, -1} when the pair cannot be made.
inline std::array<int, 2> kernel_pair()
{
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0)
        return {-1, -1};
    const int size = 4 << 20;
    for (int fd : fds)
        for (int option : {SO_SNDBUF, SO_RCVBUF})
            ::setsockopt(fd, SOL_SOCKET, option, &size, sizeof size);
    return {fds[0], fds[1]};
}

} // namespace netlink_test
