// The pool's question to the kernel, in this program's own namespace: whether
// the listener still holds a handshake of exactly the pair, or its completed
// connection not yet accepted, with the SYN-ACKs of one listener dropped so
// that its handshakes stay pending; and the pool asking it at the open-file
// limit, where clients wait in the accept queue because accept finds no
// descriptor.
#include "fw/divert/pending_handshake.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <iterator>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>

#include "common/scoped_fd.hpp"
#include "fw/divert/server_socket_pool.hpp"
#include "rules.pb.h"
#include "tests/fw/descriptor_limit.hpp"
#include "tests/fw/handover_support.hpp"
#include "tests/support/netns.hpp"
#include "tests/support/wait.hpp"

namespace {

using boost::asio::ip::make_address;
using boost::asio::ip::tcp;
using fw::service::listener_handshake_probe_t;
using fw::service::server_socket_pool_t;
using fw::util::scoped_fd_t;
using namespace std::chrono_literals;

tcp::endpoint local_of(int fd)
{
    tcp::endpoint e;
    socklen_t size = static_cast<socklen_t>(e.capacity());
    if (::getsockname(fd, e.data(), &size) != 0)
        throw std::runtime_error("getsockname");
    e.resize(size);
    return e;
}

scoped_fd_t listening()
{
    scoped_fd_t fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const tcp::endpoint any_port(make_address("127.0.0.1"), 0);
    if (::bind(fd.get(), any_port.data(), static_cast<socklen_t>(any_port.size())) != 0 || ::listen(fd.get(), 8) != 0)
        throw std::runtime_error("cannot listen");
    return fd;
}

scoped_fd_t connecting_to(const tcp::endpoint& server)
{
    scoped_fd_t fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (::connect(fd.get(), server.data(), static_cast<socklen_t>(server.size())) != 0 && errno != EINPROGRESS)
        throw std::runtime_error("cannot connect");
    return fd;
}

// A client whose handshake has completed: the listener queues it.
scoped_fd_t connected_to(const tcp::endpoint& server)
{
    scoped_fd_t fd = connecting_to(server);
    pollfd p{fd.get(), POLLOUT, 0};
    int error = 0;
    socklen_t size = sizeof error;
    if (::poll(&p, 1, 10000) != 1 || ::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0)
        throw std::runtime_error("the handshake did not complete");
    return fd;
}

// A client that sent its request and its end of stream.
scoped_fd_t half_closed_to(const tcp::endpoint& server)
{
    scoped_fd_t fd = connected_to(server);
    if (::send(fd.get(), "GET", 3, 0) != 3 || ::shutdown(fd.get(), SHUT_WR) != 0)
        throw std::runtime_error("cannot half-close");
    return fd;
}

// What `ss` sees of this namespace's TCP sockets in a state, one line each.
std::string ss_lines(const std::string& state)
{
    return morva_test::sh("ss -Htn state " + state + " | wc -l");
}

// The SYN-ACKs of one listener are lost.
struct lost_syn_acks_t {
    explicit lost_syn_acks_t(const tcp::endpoint& server)
        : rule("OUTPUT -p tcp --sport " + std::to_string(server.port()) + " --tcp-flags SYN,ACK SYN,ACK -j DROP")
    {
        morva_test::sh("iptables-legacy -A " + rule);
    }
    ~lost_syn_acks_t() { lift(); }
    void lift()
    {
        if (!rule.empty())
            morva_test::sh_status("iptables-legacy -D " + rule);
        rule.clear();
    }
    std::string rule;
};

TEST(pending_handshake, only_what_the_listener_holds_for_the_pair_is_pending)
{
    listener_handshake_probe_t probe;
    scoped_fd_t slow_listener = listening(), listener = listening();
    const tcp::endpoint slow_server = local_of(slow_listener.get()), server = local_of(listener.get());
    lost_syn_acks_t lost(slow_server);

    scoped_fd_t in_handshake = connecting_to(slow_server);
    // Both handshakes with the other listener complete; one is taken.
    scoped_fd_t first = connected_to(server), second = connected_to(server);
    tcp::endpoint taken;
    socklen_t taken_size = static_cast<socklen_t>(taken.capacity());
    scoped_fd_t accepted(::accept4(listener.get(), taken.data(), &taken_size, SOCK_CLOEXEC));
    ASSERT_TRUE(accepted);
    taken.resize(taken_size);
    const tcp::endpoint waiting =
        local_of(first.get()) == taken ? local_of(second.get()) : local_of(first.get());
    const tcp::endpoint slow_client = local_of(in_handshake.get());
    ASSERT_EQ(ss_lines("syn-recv"), "1\n");

    // Queued behind the waiting one: a client that half-closed, which the
    // listener's side holds in CLOSE_WAIT, and one that reset, which the
    // kernel takes out of the lookup.
    scoped_fd_t half_closed = half_closed_to(server);
    ASSERT_TRUE(morva_test::wait_until([] { return ss_lines("close-wait") == "1\n"; }, 10s, 20ms)) << morva_test::sh("ss -tan");
    scoped_fd_t reset = connected_to(server);
    const tcp::endpoint reset_client = local_of(reset.get());
    const linger abort{1, 0};
    ASSERT_EQ(::setsockopt(reset.get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort), 0);
    reset.reset();

    struct {
        const char* name;
        tcp::endpoint client;
        tcp::endpoint server;
        bool pending;
    } const cases[] = {
        {"SYN-ACKs lost", slow_client, slow_server, true},
        {"the reverse pair", slow_server, slow_client, false},
        {"another client of that listener", {make_address("127.0.0.1"), 9}, slow_server, false},
        {"completed, in the accept queue", waiting, server, true},
        {"half-closed in the accept queue", local_of(half_closed.get()), server, true},
        {"reset in the accept queue", reset_client, server, false},
        {"completed and accepted", taken, server, false},
        {"nobody listens", slow_client, {make_address("127.0.0.1"), 9}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(probe.pending(c.client, c.server), c.pending);
    }

    // The client gives up: the listener's next SYN-ACK meets no socket and is
    // answered with a reset, which ends the pending request.
    in_handshake.reset();
    lost.lift();
    EXPECT_TRUE(morva_test::wait_until([&] { return !probe.pending(slow_client, slow_server); }, 10s, 20ms));
}

struct no_client_comes_t : server_socket_pool_t::delegate_t {
    void new_socket_pair(fw::service::connected_socket_t&&, fw::service::connected_socket_t&&,
                         const kv::RuleSet&) override
    {
        throw std::logic_error("a client socket arrived");
    }
};

TEST(pending_handshake, the_pool_keeps_the_server_sockets_of_queued_clients_at_the_open_file_limit)
{
    const auto result = morva_test::run_guarded_in_child([] {
        scoped_fd_t listener = listening();
        const tcp::endpoint server = local_of(listener.get());
        scoped_fd_t queued = connected_to(server), half_closed = half_closed_to(server);
        // Oldest first, as the pool asks: the client that never came frees a
        // descriptor only after the others have been asked.
        struct {
            const char* name;
            tcp::endpoint client;
            bool kept;
            int server_socket = -1;
        } cases[] = {
            {"completed, in the accept queue", local_of(queued.get()), true},
            {"half-closed in the accept queue", local_of(half_closed.get()), true},
            {"never came", {make_address("127.0.0.1"), 9}, false},
        };
        boost::asio::io_context io;
        no_client_comes_t delegate;
        server_socket_pool_t pool(io, delegate, 100, server_socket_pool_t::default_expiry, 100ms, 300ms);
        for (auto& c : cases) {
            scoped_fd_t fd(::eventfd(0, EFD_CLOEXEC));
            c.server_socket = fd.get();
            pool.new_server_socket(c.client, server, kv::RuleSet(), std::move(fd));
        }
        if (!morva_test::exhaust_descriptors())
            throw std::runtime_error("descriptors left");

        const auto closed = [](int fd) { return ::fcntl(fd, F_GETFD) == -1; };
        const int never_came = cases[std::size(cases) - 1].server_socket;
        if (!morva_test::run_until(io, [&] { return closed(never_came); }, 20s))
            throw std::runtime_error("the server socket of a client that never came stays");
        // Later wakes ask again.
        io.run_for(1s);
        for (const auto& c : cases)
            if (closed(c.server_socket) == c.kept)
                throw std::runtime_error(std::string(c.name) + ": server socket " + (c.kept ? "closed" : "kept"));
        ::_exit(0);
    });
    EXPECT_EQ(result.status, 0) << result.err;
}

} // namespace
