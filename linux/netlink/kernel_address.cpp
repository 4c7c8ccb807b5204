#include "linux/netlink/kernel_address.hpp"

#include <sys/socket.h>

namespace fw::linux::netlink {

const sockaddr_nl& kernel_address() noexcept
{
    static const sockaddr_nl address = [] {
        sockaddr_nl a{};
        a.nl_family = AF_NETLINK;
        return a;
    }();
    return address;
}

} // namespace fw::linux::netlink
