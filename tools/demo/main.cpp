// Client and server ends of the demo's TCP connections, used by tools/run and
// the end-to-end tests (the machines they run on have neither nc nor socat).
//
//   demo serve ADDRESS PORT... [--transparent]
//                                      listen; answer each connection, once the
//                                      client has half-closed or sent a line
//                                      break, with
//                                      `peer <client endpoint> sent "<bytes>"`
//                                      (the line break left out), then close;
//                                      --transparent: as a TPROXY proxy's
//                                      listener (IP_TRANSPARENT)
//   demo connect ADDRESS PORT TEXT [SECONDS] [OPTION...]
//                                      connect (SECONDS, default 3), send TEXT,
//                                      half-close, print the answer
//     --from PORT                      from this local port (address reuse on)
//     --fastopen                       send TEXT with the SYN (TCP Fast Open;
//                                      the kernel must allow it, e.g.
//                                      net.ipv4.tcp_fastopen=5)
//     --server-closes                  end TEXT with a line break instead of
//                                      half-closing: the server closes first
//   demo abandon ADDRESS PORT FROM_PORT
//                                      start a connect from FROM_PORT and close
//                                      the socket at once
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

// Everything until the peer's end of stream, or up to the first line break
// when `to_line` is set (the line break left out).
std::string read_to_end(int fd, std::chrono::steady_clock::time_point deadline, bool to_line = false)
{
    std::string text;
    char buf[4096];
    for (;;) {
        const auto line_end = text.find('\n');
        if (to_line && line_end != std::string::npos)
            return text.substr(0, line_end);
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

void write_all(int fd, const std::string& text, std::chrono::steady_clock::time_point deadline)
{
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN) {
                if (!wait_ready(fd, POLLOUT, deadline))
                    fail("timed out writing", exit_timed_out);
                continue;
            }
            fail_errno("write");
        }
        done += static_cast<std::size_t>(n);
    }
}

struct connect_options_t {
    int from_port = 0;
    bool fastopen = false;
    bool server_closes = false;
};

int client_socket(int from_port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        fail_errno("socket");
    if (from_port != 0) {
        const int on = 1;
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = htons(static_cast<std::uint16_t>(from_port));
        if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0
            || ::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0)
            fail_errno("bind to port " + std::to_string(from_port));
    }
    return fd;
}

// Starts the connect; with `fastopen` also sends `text` in the SYN. Returns
// the bytes of `text` already sent.
std::size_t start_connect(int fd, const sockaddr_in& remote, const std::string& text, bool fastopen)
{
    const auto* address = reinterpret_cast<const sockaddr*>(&remote);
    ssize_t sent = 0;
    const int result = fastopen ? static_cast<int>(sent = ::sendto(fd, text.data(), text.size(),
                                                                   MSG_FASTOPEN | MSG_NOSIGNAL, address,
                                                                   sizeof remote))
                                : ::connect(fd, address, sizeof remote);
    if (result >= 0)
        return fastopen ? static_cast<std::size_t>(sent) : 0;
    if (errno == ECONNREFUSED)
        fail("connect to " + text_of(remote) + ": refused", exit_refused);
    if (errno != EINPROGRESS)
        fail_errno("connect");
    return 0;
}

int connect_command(const std::string& address, const std::string& port, std::string text, double seconds,
                    const connect_options_t& options)
{
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(static_cast<long>(seconds * 1000));
    const sockaddr_in remote = parse_endpoint(address, port);
    if (options.server_closes)
        text += "\n";
    const int fd = client_socket(options.from_port);
    const std::size_t sent = start_connect(fd, remote, text, options.fastopen);
    if (!wait_ready(fd, POLLOUT, deadline))
        fail("connect to " + text_of(remote) + ": timed out", exit_timed_out);
    int error = 0;
    socklen_t size = sizeof error;
    ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size);
    if (error == ECONNREFUSED)
        fail("connect to " + text_of(remote) + ": refused", exit_refused);
    if (error != 0)
        fail("connect to " + text_of(remote) + ": " + std::strerror(error));
    std::cout << "connected " << endpoint_of(fd, false) << " -> " << endpoint_of(fd, true) << std::endl;
    write_all(fd, text.substr(sent), deadline);
    if (!options.server_closes)
        ::shutdown(fd, SHUT_WR);
    std::cout << "reply: " << read_to_end(fd, deadline) << std::endl;
    ::close(fd);
    return 0;
}

int abandon_command(const std::string& address, const std::string& port, const std::string& from_port)
{
    const int fd = client_socket(std::stoi(from_port));
    start_connect(fd, parse_endpoint(address, port), "", false);
    ::close(fd);
    std::cout << "abandoned" << std::endl;
    return 0;
}

void answer(int fd, std::string server)
{
    try {
        const std::string peer = endpoint_of(fd, true);
        std::cout << "server " + server + ": accepted " + peer + "\n" << std::flush;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        const std::string text = read_to_end(fd, deadline, true);
        write_all(fd, "peer " + peer + " sent \"" + text + "\"", deadline);
    } catch (const failure_t& f) {
        std::cout << "server " + server + ": " + f.text + "\n" << std::flush;
    }
    ::close(fd);
}

int serve_command(const std::string& address, std::vector<std::string> ports)
{
    const bool transparent = !ports.empty() && ports.back() == "--transparent";
    if (transparent)
        ports.pop_back();
    std::vector<pollfd> listeners;
    std::vector<std::string> names;
    for (const auto& port : ports) {
        const sockaddr_in local = parse_endpoint(address, port);
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        if (fd < 0 || ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0
            || (transparent && ::setsockopt(fd, IPPROTO_IP, IP_TRANSPARENT, &on, sizeof on) != 0)
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
    std::cerr << "usage: demo serve ADDRESS PORT... [--transparent]\n"
                 "       demo connect ADDRESS PORT TEXT [SECONDS] [--from PORT] [--fastopen] [--server-closes]\n"
                 "       demo abandon ADDRESS PORT FROM_PORT\n";
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string> args(argv + 1, argv + argc);
    try {
        if (args.size() >= 3 && args[0] == "serve")
            return serve_command(args[1], {args.begin() + 2, args.end()});
        if (args.size() >= 4 && args[0] == "connect") {
            double seconds = 3.0;
            connect_options_t options;
            for (std::size_t i = 4; i < args.size(); ++i) {
                if (args[i] == "--from" && i + 1 < args.size())
                    options.from_port = std::stoi(args[++i]);
                else if (args[i] == "--fastopen")
                    options.fastopen = true;
                else if (args[i] == "--server-closes")
                    options.server_closes = true;
                else if (i == 4 && args[i].rfind("--", 0) != 0)
                    seconds = std::stod(args[i]);
                else
                    return usage();
            }
            return connect_command(args[1], args[2], args[3], seconds, options);
        }
        if (args.size() == 4 && args[0] == "abandon")
            return abandon_command(args[1], args[2], args[3]);
        return usage();
    } catch (const failure_t& f) {
        std::cout << f.text << std::endl;
        return f.status;
    } catch (const std::exception& e) {
        std::cout << e.what() << std::endl;
        return 1;
    }
}
