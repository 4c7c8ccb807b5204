// The pool's question to the kernel, in this program's own namespace: whether
// the listener still holds a handshake of exactly the pair, or its completed
// connection not yet accepted, with the SYN-ACKs of one listener dropped so
// that its handshakes stay pending.
#include "fw/divert/pending_handshake.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "common/scoped_fd.hpp"
#include "tests/support/netns.hpp"

namespace {

using boost::asio::ip::make_address;
using boost::asio::ip::tcp;
using fw::service::listener_handshake_pending;
using fw::util::scoped_fd_t;
using namespace std::chrono_literals;

tcp::endpoint local_of(int fd)
{
    tcp::endpoint e;
    socklen_t size = static_cast<socklen_t>(e.capacity());
    EXPECT_EQ(::getsockname(fd, e.data(), &size), 0);
    e.resize(size);
    return e;
}

scoped_fd_t listening()
{
    scoped_fd_t fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const tcp::endpoint any_port(make_address("127.0.0.1"), 0);
    EXPECT_EQ(::bind(fd.get(), any_port.data(), static_cast<socklen_t>(any_port.size())), 0);
    EXPECT_EQ(::listen(fd.get(), 8), 0);
    return fd;
}

scoped_fd_t connecting_to(const tcp::endpoint& server)
{
    scoped_fd_t fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    const int result = ::connect(fd.get(), server.data(), static_cast<socklen_t>(server.size()));
    EXPECT_TRUE(result == 0 || errno == EINPROGRESS);
    return fd;
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
    scoped_fd_t slow_listener = listening(), listener = listening();
    const tcp::endpoint slow_server = local_of(slow_listener.get()), server = local_of(listener.get());
    lost_syn_acks_t lost(slow_server);

    scoped_fd_t in_handshake = connecting_to(slow_server);
    scoped_fd_t first = connecting_to(server), second = connecting_to(server);
    // Both handshakes with the other listener complete; one is taken.
    for (int fd : {first.get(), second.get()}) {
        pollfd p{fd, POLLOUT, 0};
        ASSERT_EQ(::poll(&p, 1, 2000), 1);
    }
    tcp::endpoint taken;
    socklen_t taken_size = static_cast<socklen_t>(taken.capacity());
    scoped_fd_t accepted(::accept4(listener.get(), taken.data(), &taken_size, SOCK_CLOEXEC));
    ASSERT_TRUE(accepted);
    taken.resize(taken_size);
    const tcp::endpoint waiting =
        local_of(first.get()) == taken ? local_of(second.get()) : local_of(first.get());
    const tcp::endpoint slow_client = local_of(in_handshake.get());
    ASSERT_EQ(morva_test::sh("ss -Htn state syn-recv | wc -l"), "1\n");

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
        {"completed and accepted", taken, server, false},
        {"nobody listens", slow_client, {make_address("127.0.0.1"), 9}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(listener_handshake_pending(c.client, c.server), c.pending);
    }

    // The client gives up: the listener's next SYN-ACK meets no socket and is
    // answered with a reset, which ends the pending request.
    in_handshake.reset();
    lost.lift();
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (listener_handshake_pending(slow_client, slow_server) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(listener_handshake_pending(slow_client, slow_server));
}

} // namespace
