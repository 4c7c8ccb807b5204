#pragma once
// Drops CAP_NET_ADMIN and CAP_NET_RAW from the effective set of the calling
// process, so that socket options such as SO_MARK fail with EPERM. Meant for a
// forked child: a root test process cannot get them back.
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <stdexcept>

namespace morva_test {

inline void drop_net_capabilities()
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    if (::syscall(SYS_capget, &header, data) != 0)
        throw std::runtime_error("capget");
    data[0].effective &= ~((1u << CAP_NET_ADMIN) | (1u << CAP_NET_RAW));
    if (::syscall(SYS_capset, &header, data) != 0)
        throw std::runtime_error("capset");
}

} // namespace morva_test
