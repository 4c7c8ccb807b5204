// Client and server ends of the demo's TCP connections, used by tools/run and
// the end-to-end tests (the machines they run on have neither nc nor socat).
//
//   demo serve ADDRESS PORT...         listen; answer each connection, once the
//                                      client has half-closed, with
//                                      `peer <client endpoint> sent "<bytes>"`
//   demo connect ADDRESS PORT TEXT [SECONDS]
//                                      connect (SECONDS, default 3), send TEXT,
//                                      half-close, print the answer
//
// connect prints "connected <local> -> <remote>" and "reply: <answer>" and
// exits 0; a refused connect exits 3, a connect that times out 4, anything
// else 1. serve prints one line per accepted connection and runs until killed.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int exit_refused = 3;
constexpr int exit_timed_out = 4;

struct failure_t {
    std::string text;
    int status = 1;
};

[[noreturn]] void fail(const std::string& what, int status = 1) { throw failure_t{what, status}; }

[[noreturn]] void fail_errno(const std::string& what) { fail(what + ": " + std::strerror(errno)); }

sockaddr_in parse_endpoint(const std::string& address, const std::string& port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    if (::inet_pton(AF_INET, address.c_str(), &a.sin_addr) != 1)
        fail("not an IPv4 address: " + address);
    a.sin_port = htons(static_cast<std::uint16_t>(std::stoul(port)));
    return a;
}

std::string text_of(const sockaddr_in& a)
{
    char buf[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &a.sin_addr, buf, sizeof buf);
    return std::string(buf) + ":" + std::to_string(ntohs(a.sin_port));
}

std::string endpoint_of(int fd, bool peer)
{
    sockaddr_in a{};
    socklen_t size = sizeof a;
    if ((peer ? ::getpeername(fd, reinterpret_cast<sockaddr*>(&a), &size)
              : ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size)) != 0)
        fail_errno(peer ? "getpeername" : "getsockname");
    return text_of(a);
}

// Waits until fd is ready for `events`; false when the deadline passes first.
bool wait_ready(int fd, short events, std::chrono::steady_clock::time_point deadline)
{
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        pollfd p{fd, events, 0};
        const int n = ::poll(&p, 1, static_cast<int>(left.count()));
        if (n > 0)
            return true;
        if (n < 0 && errno != EINTR)
            fail_errno("poll");
    }
}

// Everything until the peer's end of stream.
std::string read_to_end(int fd, std::chrono::steady_clock::time_point deadline)
{
    std::string text;
    char buf[4096];
    for (;;) {
        if (!wait_ready(fd, POLLIN, deadline))
            fail("timed out waiting for the end of stream", exit_timed_out);
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n == 0)
            return text;
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            fail_errno("read");
        }
        text.append(buf, static_cast<std::size_t>(n));
    }
}

void write_all(int fd, const std::string& text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            fail_errno("write");
        }
        done += static_cast<std::size_t>(n);
    }
}

int connect_command(const std::string& address, const std::string& port, const std::string& text, double seconds)
{
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(static_cast<long>(seconds * 1000));
    const sockaddr_in remote = parse_endpoint(address, port);
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        fail_errno("socket");
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&remote), sizeof remote) != 0) {
        if (errno == ECONNREFUSED)
            fail("connect to " + text_of(remote) + ": refused", exit_refused);
        if (errno != EINPROGRESS)
            fail_errno("connect");
        if (!wait_ready(fd, POLLOUT, deadline))
            fail("connect to " + text_of(remote) + ": timed out", exit_timed_out);
        int error = 0;
        socklen_t size = sizeof error;
        ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size);
        if (error == ECONNREFUSED)
            fail("connect to " + text_of(remote) + ": refused", exit_refused);
        if (error != 0)
            fail("connect to " + text_of(remote) + ": " + std::strerror(error));
    }
    std::cout << "connected " << endpoint_of(fd, false) << " -> " << endpoint_of(fd, true) << std::endl;
    write_all(fd, text);
    ::shutdown(fd, SHUT_WR);
    std::cout << "reply: " << read_to_end(fd, deadline) << std::endl;
    ::close(fd);
    return 0;
}

void answer(int fd, std::string server)
{
    try {
        const std::string peer = endpoint_of(fd, true);
        std::cout << "server " + server + ": accepted " + peer + "\n" << std::flush;
        const std::string text = read_to_end(fd, std::chrono::steady_clock::now() + std::chrono::seconds(10));
        write_all(fd, "peer " + peer + " sent \"" + text + "\"");
    } catch (const failure_t& f) {
        std::cout << "server " + server + ": " + f.text + "\n" << std::flush;
    }
    ::close(fd);
}

int serve_command(const std::string& address, const std::vector<std::string>& ports)
{
    std::vector<pollfd> listeners;
    std::vector<std::string> names;
    for (const auto& port : ports) {
        const sockaddr_in local = parse_endpoint(address, port);
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        if (fd < 0 || ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0
            || ::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 || ::listen(fd, 64) != 0)
            fail_errno("listen on " + text_of(local));
        listeners.push_back({fd, POLLIN, 0});
        names.push_back(text_of(local));
    }
    std::cout << "listening" << std::endl;
    for (;;) {
        if (::poll(listeners.data(), listeners.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            fail_errno("poll");
        }
        for (std::size_t i = 0; i < listeners.size(); ++i) {
            if (!(listeners[i].revents & POLLIN))
                continue;
            const int fd = ::accept4(listeners[i].fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0)
                std::thread(answer, fd, names[i]).detach();
        }
    }
}

int usage()
{
    std::cerr << "usage: demo serve ADDRESS PORT...\n"
                 "       demo connect ADDRESS PORT TEXT [SECONDS]\n";
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string> args(argv + 1, argv + argc);
    try {
        if (args.size() >= 3 && args[0] == "serve")
            return serve_command(args[1], {args.begin() + 2, args.end()});
        if ((args.size() == 4 || args.size() == 5) && args[0] == "connect")
            return connect_command(args[1], args[2], args[3], args.size() == 5 ? std::stod(args[4]) : 3.0);
        return usage();
    } catch (const failure_t& f) {
        std::cout << f.text << std::endl;
        return f.status;
    } catch (const std::exception& e) {
        std::cout << e.what() << std::endl;
        return 1;
    }
}
