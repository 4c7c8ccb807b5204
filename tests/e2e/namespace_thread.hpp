#pragma once
// Sockets opened by the test program itself inside one of the hosts'
// namespaces: a thread enters the namespace (setns changes the calling thread
// only) and the sockets it opens stay there, usable from any thread.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>

#include "common/scoped_fd.hpp"

namespace morva_test {

inline void in_namespace(const std::string& ns, const std::function<void()>& body)
{
    std::exception_ptr failure;
    std::thread([&] {
        try {
            fw::util::scoped_fd_t fd(::open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC));
            if (!fd || ::setns(fd.get(), CLONE_NEWNET) != 0)
                throw std::runtime_error("cannot enter namespace " + ns);
            body();
        } catch (...) {
            failure = std::current_exception();
        }
    }).join();
    if (failure)
        std::rethrow_exception(failure);
}

// A non-blocking TCP connect under way.
inline fw::util::scoped_fd_t start_tcp_connect(const std::string& address, unsigned short port)
{
    fw::util::scoped_fd_t fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    ::inet_pton(AF_INET, address.c_str(), &to.sin_addr);
    if (!fd || (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0 && errno != EINPROGRESS))
        throw std::runtime_error("cannot start a connect to " + address + ": " + std::strerror(errno));
    return fd;
}

// The outcome of a connect started by start_tcp_connect: 0 once connected, the
// connect's errno when it failed, -1 while it is still under way after `wait`.
inline int connect_result(int fd, std::chrono::milliseconds wait = std::chrono::seconds(20))
{
    pollfd p{fd, POLLOUT, 0};
    if (::poll(&p, 1, static_cast<int>(wait.count())) != 1)
        return -1;
    int error = 0;
    socklen_t size = sizeof error;
    ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size);
    return error;
}

} // namespace morva_test
