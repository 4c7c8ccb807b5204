#pragma once
// Small socket helpers shared by the load process's parts.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

namespace bench {

// The hosts of the benchmark (the end-to-end topology).
constexpr const char* client_address = "10.200.1.2";
constexpr const char* firewall_client_side = "10.200.1.1";
constexpr const char* firewall_server_side = "10.200.2.1";
constexpr const char* server_address = "10.200.2.2";

constexpr std::size_t request_size = 64;

inline std::string errno_text(const std::string& what) { return what + ": " + std::strerror(errno); }

inline sockaddr_in ipv4(const char* address, int port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (::inet_pton(AF_INET, address, &a.sin_addr) != 1)
        throw std::runtime_error(std::string("bad address ") + address);
    return a;
}

// The soft limit of descriptors raised to the hard one (raising that needs
// CAP_SYS_RESOURCE, which a container may not grant); the limit now.
inline rlim_t raise_nofile()
{
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
    return limit.rlim_cur;
}

// Descriptors one process may hold for the benchmark, leaving room for its own.
inline long holdable_descriptors() { return static_cast<long>(raise_nofile()) - 256; }

} // namespace bench
