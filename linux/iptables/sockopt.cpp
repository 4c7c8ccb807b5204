#include "linux/iptables/sockopt.hpp"

#include <cerrno>
#include <netinet/in.h>

#include <boost/system/system_error.hpp>

namespace fw::linux::iptables {

raw_socket_t::raw_socket_t() : fd_(::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW))
{
    if (!fd_)
        throw boost::system::system_error(errno, boost::system::system_category(),
                                          "Cannot create raw socket");
}

int raw_socket_t::get(int option, void* data, socklen_t& length)
{
    return ::getsockopt(fd_.get(), IPPROTO_IP, option, data, &length) == 0 ? 0 : errno;
}

int raw_socket_t::set(int option, const void* data, socklen_t length)
{
    return ::setsockopt(fd_.get(), IPPROTO_IP, option, data, length) == 0 ? 0 : errno;
}

} // namespace fw::linux::iptables
