#pragma once
// Drops CAP_NET_ADMIN and CAP_NET_RAW from the effective set of the calling
// thread, so that socket options such as SO_MARK and netlink changes fail
// with EPERM.
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>
#include <stdexcept>

namespace morva_test {

// Adds or removes capabilities of the first 32 in the calling thread's effective set.
inline void set_effective_capabilities(std::uint32_t bits, bool on)
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    if (::syscall(SYS_capget, &header, data) != 0)
        throw std::runtime_error("capget");
    data[0].effective = on ? data[0].effective | bits : data[0].effective & ~bits;
    if (::syscall(SYS_capset, &header, data) != 0)
        throw std::runtime_error("capset");
}

inline void drop_net_capabilities()
{
    set_effective_capabilities((1u << CAP_NET_ADMIN) | (1u << CAP_NET_RAW), false);
}

// Netlink changes refused (EPERM) while it lives; they stay in the permitted
// set, so the calling thread takes them back at the end.
class net_admin_dropped_t {
public:
    net_admin_dropped_t() { set_effective_capabilities(1u << CAP_NET_ADMIN, false); }
    net_admin_dropped_t(const net_admin_dropped_t&) = delete;
    net_admin_dropped_t& operator=(const net_admin_dropped_t&) = delete;
    // A failure shows in every later change of the test.
    ~net_admin_dropped_t()
    {
        try {
            restore();
        } catch (const std::exception&) {
        }
    }
    void restore()
    {
        if (!dropped_)
            return;
        dropped_ = false;
        set_effective_capabilities(1u << CAP_NET_ADMIN, true);
    }

private:
    bool dropped_ = true;
};

} // namespace morva_test
