#include "linux/netlink/socket.hpp"

#include <boost/system/system_error.hpp>

#include <cerrno>
#include <string>
#include <sys/socket.h>

namespace fw::linux::netlink {

fw::util::scoped_fd_t open_netlink_socket(int protocol)
{
    // Close-on-exec: children such as modprobe must not inherit kernel sockets.
    int fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, protocol);
    if (fd < 0)
        throw boost::system::system_error(errno, boost::system::system_category(),
                                          "Cannot open socket (protocol " + std::to_string(protocol) + ")");
    return fw::util::scoped_fd_t(fd);
}

byte_array_t make_receive_buffer(int fd)
{
    int size = 0;
    socklen_t len = sizeof size;
    if (::getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, &len) != 0)
        throw boost::system::system_error(errno, boost::system::system_category(), "getsockopt(SO_RCVBUF)");
    return byte_array_t(static_cast<std::size_t>(size > 0 ? size : 0));
}

} // namespace fw::linux::netlink
