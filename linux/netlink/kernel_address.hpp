#pragma once
// The address of every request: the kernel (port id 0, no groups).
#include <linux/netlink.h>

namespace fw::linux::netlink {

const sockaddr_nl& kernel_address() noexcept;

} // namespace fw::linux::netlink
