#pragma once
// Binding the daemon to one NFQUEUE queue: a NETLINK_NETFILTER socket on which
// the kernel then delivers the queue's packets.
#include "common/scoped_fd.hpp"

#include <cstdint>
#include <functional>
#include <vector>

namespace fw::linux::nfqueue {

// Bytes of each queued packet handed to us, from its IPv4 header on.
constexpr std::uint32_t copy_range = 120;

// Receive buffer of a queue socket: room for every packet the kernel queue
// holds (1024, a few hundred bytes of buffer each, counted with overhead).
constexpr int queue_receive_buffer = 2 << 20;

// Gives the socket `queue_receive_buffer` bytes: SO_RCVBUFFORCE (root may pass
// the system's limit), else SO_RCVBUF up to that limit. A failure is logged at
// Warning "Cannot set option SO_RCVBUF: " and the system's text.
void enlarge_receive_buffer(int fd, int size = queue_receive_buffer);

// Opens the queue asking for the owner's uid and gid with every packet; on a
// kernel without that feature (EOPNOTSUPP) once more without it.
// Throws boost::system::system_error ("NETLINK error received" when the kernel
// refuses, e.g. a queue bound by another process).
fw::util::scoped_fd_t open_queue(std::uint16_t queue, std::uint32_t max_length);

// The one attempt behind open_queue, on a fresh socket.
fw::util::scoped_fd_t configure_queue(std::uint16_t queue, std::uint32_t max_length, bool without_uid_gid);
// The exchange itself, on a socket the caller opened; the socket is closed
// when it fails. Packets that reach the socket before the binding is
// acknowledged get a drop verdict (their clients send them again).
fw::util::scoped_fd_t configure_queue(fw::util::scoped_fd_t socket, std::uint16_t queue, std::uint32_t max_length,
                                      bool without_uid_gid);

// open_queue over a replaceable attempt, so the fallback can be exercised on a
// kernel that has the feature.
using configure_queue_t = std::function<fw::util::scoped_fd_t(std::uint16_t, std::uint32_t, bool)>;
fw::util::scoped_fd_t open_queue(std::uint16_t queue, std::uint32_t max_length, const configure_queue_t& configure);

// Payloads of the NFQNL_MSG_CONFIG messages (after the netlink header).
std::vector<std::uint8_t> queue_command_payload(std::uint16_t queue, std::uint8_t command);
std::vector<std::uint8_t> queue_bind_payload(std::uint16_t queue, std::uint32_t max_length, bool without_uid_gid);

} // namespace fw::linux::nfqueue
