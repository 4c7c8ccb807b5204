#pragma once
// Netlink datagram sockets and the buffer one datagram is received into.
#include "common/scoped_fd.hpp"
#include "linux/netlink/byte_array.hpp"

namespace fw::linux::netlink {

// socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, protocol), blocking and unbound.
// Throws boost::system::system_error "Cannot open socket (protocol N)".
fw::util::scoped_fd_t open_netlink_socket(int protocol);

// A zeroed buffer of the socket's SO_RCVBUF size, so a datagram always fits whole.
// Throws boost::system::system_error "getsockopt(SO_RCVBUF)".
byte_array_t make_receive_buffer(int fd);

} // namespace fw::linux::netlink
