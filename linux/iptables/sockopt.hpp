#pragma once
// The iptables socket options of a raw IPv4 socket, behind a small interface so
// the table and revision code can be exercised against a fake kernel.
#include <sys/socket.h>

#include "common/scoped_fd.hpp"

namespace fw::linux::iptables {

class sockopt_t {
public:
    virtual ~sockopt_t() = default;
    // Both return 0 or the errno of the failed call, at level IPPROTO_IP.
    virtual int get(int option, void* data, socklen_t& length) = 0;
    virtual int set(int option, const void* data, socklen_t length) = 0;
};

// socket(AF_INET, SOCK_RAW, IPPROTO_RAW); throws system_error "Cannot create raw socket".
class raw_socket_t final : public sockopt_t {
public:
    raw_socket_t();
    int get(int option, void* data, socklen_t& length) override;
    int set(int option, const void* data, socklen_t length) override;

private:
    fw::util::scoped_fd_t fd_;
};

} // namespace fw::linux::iptables
