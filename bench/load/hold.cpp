#include "bench/load/hold.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

#include "bench/net.hpp"

namespace bench {

void held_t::close_all()
{
    for (const int fd : fds_)
        ::close(fd);
    fds_.clear();
}

void held_t::adopt(const std::vector<int>& fds) { fds_.insert(fds_.end(), fds.begin(), fds.end()); }

void held_t::descriptors(long count)
{
    close_all();
    if (count > holdable_descriptors())
        throw std::runtime_error("cannot hold " + std::to_string(count) + " descriptors");
    for (long i = 0; i < count; ++i) {
        const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            throw std::runtime_error(errno_text("open /dev/null"));
        fds_.push_back(fd);
    }
}

void held_t::sockets(long count, int port)
{
    close_all();
    if (count > holdable_descriptors())
        throw std::runtime_error("cannot hold " + std::to_string(count) + " sockets");
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    const auto a = ipv4("127.0.0.1", port);
    if (listener < 0 || ::bind(listener, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0
        || ::listen(listener, 64) != 0)
        throw std::runtime_error(errno_text("listen on 127.0.0.1:" + std::to_string(port)));
    for (long i = 0; i + 1 < count; i += 2) {
        const int c = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (c < 0 || ::connect(c, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0)
            throw std::runtime_error(errno_text("connect on the loopback, connection " + std::to_string(i / 2)));
        fds_.push_back(c);
        const int s = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (s < 0)
            throw std::runtime_error(errno_text("accept on the loopback"));
        fds_.push_back(s);
    }
    ::close(listener);
}

} // namespace bench
