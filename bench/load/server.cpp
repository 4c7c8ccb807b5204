#include "bench/load/server.hpp"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>
#include <unordered_map>

#include "bench/net.hpp"

namespace bench {
namespace {

int listen_on(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::runtime_error(errno_text("socket"));
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
    const auto a = ipv4(server_address, port);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 4096) != 0)
        throw std::runtime_error(errno_text("listen on " + std::to_string(port)));
    return fd;
}

} // namespace

server_t::server_t(int threads, const std::vector<int>& echo_ports, const std::vector<int>& hold_ports)
{
    // Braces, not make_unique: clang before 16 has no parenthesized aggregate initialization.
    for (const int p : echo_ports)
        ports_.push_back(std::unique_ptr<port_t>(new port_t{p, false}));
    for (const int p : hold_ports)
        ports_.push_back(std::unique_ptr<port_t>(new port_t{p, true}));
    for (int t = 0; t < threads; ++t) {
        wake_fds_.push_back(::eventfd(0, EFD_CLOEXEC));
        threads_.emplace_back([this, fd = wake_fds_.back()] { serve(fd); });
    }
}

server_t::~server_t()
{
    for (const int fd : wake_fds_) {
        const std::uint64_t one = 1;
        (void)!::write(fd, &one, sizeof one);
    }
    for (auto& t : threads_)
        t.join();
    for (const int fd : wake_fds_)
        ::close(fd);
}

std::string server_t::counts() const
{
    std::string text;
    for (const auto& p : ports_)
        text += (text.empty() ? "" : " ") + std::to_string(p->port) + ":" + std::to_string(p->client) + ":"
                + std::to_string(p->firewall) + ":" + std::to_string(p->other) + ":" + std::to_string(p->failed);
    return text;
}

void server_t::serve(int wake_fd)
{
    struct conn_t {
        port_t* port;
        std::size_t got = 0;
        bool answered = false;
        char buffer[request_size];
    };
    const int epoll = ::epoll_create1(EPOLL_CLOEXEC);
    std::vector<int> listeners;
    std::unordered_map<int, port_t*> listener_port;
    std::unordered_map<int, conn_t> conns;
    auto add = [&](int fd, std::uint32_t events) {
        epoll_event ev{};
        ev.events = events;
        ev.data.fd = fd;
        ::epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &ev);
    };
    for (const auto& p : ports_) {
        listeners.push_back(listen_on(p->port));
        listener_port[listeners.back()] = p.get();
        add(listeners.back(), EPOLLIN);
    }
    add(wake_fd, EPOLLIN);
    const auto client = ipv4(client_address, 0).sin_addr.s_addr;
    const auto firewall = ipv4(firewall_server_side, 0).sin_addr.s_addr;
    auto close_conn = [&](int fd) {
        ::close(fd);
        conns.erase(fd);
    };
    std::vector<epoll_event> events(256);
    for (;;) {
        const int n = ::epoll_wait(epoll, events.data(), static_cast<int>(events.size()), -1);
        for (int e = 0; e < n; ++e) {
            const int fd = events[static_cast<std::size_t>(e)].data.fd;
            if (fd == wake_fd) {
                for (const auto& [c, _] : conns)
                    ::close(c);
                for (const int l : listeners)
                    ::close(l);
                ::close(epoll);
                return;
            }
            if (const auto l = listener_port.find(fd); l != listener_port.end()) {
                for (;;) {
                    sockaddr_in peer{};
                    socklen_t len = sizeof peer;
                    const int c = ::accept4(fd, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
                    if (c < 0)
                        break;
                    port_t& p = *l->second;
                    ++(peer.sin_addr.s_addr == client ? p.client : peer.sin_addr.s_addr == firewall ? p.firewall : p.other);
                    conns[c].port = &p;
                    add(c, EPOLLIN);
                }
                continue;
            }
            auto it = conns.find(fd);
            if (it == conns.end())
                continue;
            conn_t& c = it->second;
            char scratch[request_size];
            char* into = c.got < request_size ? c.buffer + c.got : scratch;
            const std::size_t room = c.got < request_size ? request_size - c.got : sizeof scratch;
            const ssize_t got = ::recv(fd, into, room, 0);
            if (got < 0 && (errno == EAGAIN || errno == EINTR))
                continue;
            if (got <= 0) {
                if (!c.answered)
                    ++c.port->failed;
                close_conn(fd);
                continue;
            }
            c.got += static_cast<std::size_t>(got);
            if (c.got == request_size && !c.answered) {
                c.answered = true;
                if (::send(fd, c.buffer, request_size, MSG_NOSIGNAL) != static_cast<ssize_t>(request_size)) {
                    ++c.port->failed;
                    close_conn(fd);
                } else if (!c.port->hold) {
                    close_conn(fd);
                }
            }
        }
    }
}

} // namespace bench
