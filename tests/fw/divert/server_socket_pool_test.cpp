// The server socket pool with a recording delegate: pairing by endpoint pair,
// duplicates, the limit, the expiry and the abandon time (with a stand-in for
// the listener's pending handshakes), watched through the descriptors it
// holds, closes, resets and hands on.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/eventfd.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <gtest/gtest.h>

#include "common/log.hpp"
#include "common/scoped_fd.hpp"
#include "fw/divert/server_socket_pool.hpp"
#include "rules.pb.h"
#include "tests/common/recording_log.hpp"
#include "tests/fw/handover_support.hpp"

namespace {

using boost::asio::ip::tcp;
using fw::service::connected_socket_t;
using fw::service::server_socket_pool_t;
using fw::util::scoped_fd_t;
using namespace std::chrono_literals;

tcp::endpoint ep(const char* address, unsigned short port)
{
    return {boost::asio::ip::make_address_v4(address), port};
}

scoped_fd_t new_fd()
{
    return scoped_fd_t(::eventfd(0, EFD_CLOEXEC));
}

bool fd_open(int fd)
{
    return ::fcntl(fd, F_GETFD) != -1;
}

// Both ends of a TCP connection over loopback: `ours` as the daemon's server
// socket, `server` as the server's end, which shows how the connection ended.
struct tcp_connection_t {
    tcp_connection_t()
    {
        scoped_fd_t listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (!listener || ::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), size) != 0
            || ::listen(listener.get(), 1) != 0
            || ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &size) != 0)
            throw std::runtime_error("cannot listen on loopback");
        ours = scoped_fd_t(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (!ours || ::connect(ours.get(), reinterpret_cast<sockaddr*>(&address), size) != 0)
            throw std::runtime_error("cannot connect on loopback");
        server = scoped_fd_t(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!server)
            throw std::runtime_error("cannot accept on loopback");
    }

    // The errno of a read of the server's end: ECONNRESET after a reset, 0 at
    // an orderly end of stream, EAGAIN while the connection is open.
    int server_read_error() const
    {
        char byte;
        const ssize_t n = ::recv(server.get(), &byte, 1, MSG_DONTWAIT);
        return n == 0 ? 0 : n < 0 ? errno : -1;
    }

    scoped_fd_t ours;
    scoped_fd_t server;
};

kv::RuleSet rules_named(const std::string& user)
{
    kv::RuleSet rules;
    rules.add_variable()->set_user_name(user);
    return rules;
}

struct pair_t {
    connected_socket_t server;
    connected_socket_t client;
    kv::RuleSet rules;
};

struct recording_delegate_t : server_socket_pool_t::delegate_t {
    std::vector<pair_t> pairs;
    void new_socket_pair(connected_socket_t&& server, connected_socket_t&& client, const kv::RuleSet& rules) override
    {
        pairs.push_back({std::move(server), std::move(client), rules});
    }
};

class server_socket_pool_test : public testing::Test {
protected:
    void SetUp() override
    {
        log_ = morva_test::fresh_debug_log();
    }

    // Adds a server socket for the pair and returns the descriptor's number.
    int add(server_socket_pool_t& pool, const tcp::endpoint& client, const tcp::endpoint& server,
            const std::string& user = "u")
    {
        scoped_fd_t fd = new_fd();
        const int number = fd.get();
        pool.new_server_socket(client, server, rules_named(user), std::move(fd));
        return number;
    }

    std::vector<std::string> lines() { return log_->taken(); }

    std::shared_ptr<morva_test::recording_log_t> log_;
    boost::asio::io_context io;
    recording_delegate_t delegate;
    const tcp::endpoint client = ep("192.0.2.10", 40000);
    const tcp::endpoint server = ep("198.51.100.7", 443);
};

TEST_F(server_socket_pool_test, a_client_socket_is_joined_with_the_server_socket_of_its_pair)
{
    server_socket_pool_t pool(io, delegate, 100);
    const int server_fd = add(pool, client, server, "alice");
    EXPECT_TRUE(pool.has_server_socket(client, server));

    scoped_fd_t client_fd = new_fd();
    const int client_number = client_fd.get();
    pool.new_client_socket(client, server, std::move(client_fd));

    ASSERT_EQ(delegate.pairs.size(), 1u);
    const auto& pair = delegate.pairs[0];
    EXPECT_EQ(pair.server.endpoint, server);
    EXPECT_EQ(pair.server.descriptor.get(), server_fd);
    EXPECT_EQ(pair.client.endpoint, client);
    EXPECT_EQ(pair.client.descriptor.get(), client_number);
    ASSERT_EQ(pair.rules.variable_size(), 1);
    EXPECT_EQ(pair.rules.variable(0).user_name(), "alice");
    EXPECT_FALSE(client_fd);
    EXPECT_FALSE(pool.has_server_socket(client, server));
    EXPECT_EQ(lines(), (std::vector<std::string>{
                           "0 Server socket pool: new server socket 192.0.2.10:40000 -> 198.51.100.7:443",
                           "0 Server socket pool: new client socket 192.0.2.10:40000 -> 198.51.100.7:443",
                       }));
}

TEST_F(server_socket_pool_test, pairs_match_exactly_on_both_endpoints)
{
    server_socket_pool_t pool(io, delegate, 100);
    add(pool, client, server);
    struct {
        tcp::endpoint client;
        tcp::endpoint server;
    } const others[] = {
        {server, client},
        {ep("192.0.2.10", 40001), server},
        {ep("192.0.2.11", 40000), server},
        {client, ep("198.51.100.7", 444)},
        {client, ep("198.51.100.8", 443)},
    };
    for (const auto& other : others) {
        SCOPED_TRACE(other.client.address().to_string() + " " + std::to_string(other.client.port()) + " " +
                     other.server.address().to_string() + " " + std::to_string(other.server.port()));
        EXPECT_FALSE(pool.has_server_socket(other.client, other.server));
        tcp_connection_t unmatched;
        pool.new_client_socket(other.client, other.server, std::move(unmatched.ours));
        EXPECT_EQ(unmatched.server_read_error(), ECONNRESET);
    }
    EXPECT_TRUE(delegate.pairs.empty());
    EXPECT_TRUE(pool.has_server_socket(client, server));
}

TEST_F(server_socket_pool_test, a_client_socket_without_server_socket_is_reset)
{
    server_socket_pool_t pool(io, delegate, 100);
    // Here `server` plays the client's end: it must not read a plain end of
    // stream, which a server closing without a word would give.
    tcp_connection_t accepted;
    pool.new_client_socket(client, server, std::move(accepted.ours));
    EXPECT_FALSE(accepted.ours);
    EXPECT_EQ(accepted.server_read_error(), ECONNRESET);
    EXPECT_TRUE(delegate.pairs.empty());
    EXPECT_EQ(lines(), (std::vector<std::string>{
                           "0 Server socket pool: new client socket 192.0.2.10:40000 -> 198.51.100.7:443",
                           "0 Server socket pool: no server socket is open for 192.0.2.10:40000 -> "
                           "198.51.100.7:443; closing client socket",
                       }));
}

TEST_F(server_socket_pool_test, a_second_server_socket_for_a_held_pair_is_closed)
{
    server_socket_pool_t pool(io, delegate, 100);
    const int first = add(pool, client, server, "first");
    const int second = add(pool, client, server, "second");
    EXPECT_TRUE(fd_open(first));
    EXPECT_FALSE(fd_open(second));

    pool.new_client_socket(client, server, new_fd());
    ASSERT_EQ(delegate.pairs.size(), 1u);
    EXPECT_EQ(delegate.pairs[0].server.descriptor.get(), first);
    EXPECT_EQ(delegate.pairs[0].rules.variable(0).user_name(), "first");
}

TEST_F(server_socket_pool_test, the_limit_pushes_out_the_oldest_server_socket)
{
    server_socket_pool_t pool(io, delegate, 3);
    const tcp::endpoint clients[] = {ep("192.0.2.1", 1), ep("192.0.2.2", 2), ep("192.0.2.3", 3)};
    const int first = add(pool, clients[0], server);
    const int second = add(pool, clients[1], server);
    lines();
    const int third = add(pool, clients[2], server);

    EXPECT_FALSE(fd_open(first));
    EXPECT_FALSE(pool.has_server_socket(clients[0], server));
    EXPECT_TRUE(fd_open(second));
    EXPECT_TRUE(fd_open(third));
    EXPECT_TRUE(pool.has_server_socket(clients[1], server));
    EXPECT_TRUE(pool.has_server_socket(clients[2], server));
    EXPECT_EQ(lines(), (std::vector<std::string>{
                           "0 Server socket pool: new server socket 192.0.2.3:3 -> 198.51.100.7:443",
                           "1 Server socket pool: exceeded the limit of 3 open files; pushing out the oldest "
                           "server socket",
                       }));
}

TEST_F(server_socket_pool_test, server_sockets_expire_on_their_own)
{
    // The claim time is out of the way: only the expiry is watched here.
    server_socket_pool_t pool(io, delegate, 100, 400ms, 1h);
    const tcp::endpoint old_client = ep("192.0.2.1", 1);
    const tcp::endpoint young_client = ep("192.0.2.2", 2);
    const int old_fd = add(pool, old_client, server);
    std::this_thread::sleep_for(250ms);
    const int young_fd = add(pool, young_client, server);
    lines();

    // Nothing is added after the young one: the timer alone closes both (one
    // wake each, or one for both when the loop ran late).
    ASSERT_TRUE(morva_test::run_until(io, [&] { return !fd_open(old_fd) && !fd_open(young_fd); }, 5s));
    EXPECT_FALSE(pool.has_server_socket(old_client, server));
    EXPECT_FALSE(pool.has_server_socket(young_client, server));
    const auto erased = lines();
    EXPECT_TRUE(erased == std::vector<std::string>(2, "1 Server socket pool: erasing 1 expired server sockets")
                || erased == std::vector<std::string>{"1 Server socket pool: erasing 2 expired server sockets"})
        << testing::PrintToString(erased);
    EXPECT_TRUE(delegate.pairs.empty());
}

TEST_F(server_socket_pool_test, an_expired_server_socket_is_also_erased_when_another_is_added)
{
    server_socket_pool_t pool(io, delegate, 100, 300ms, 1h);
    const int old_fd = add(pool, ep("192.0.2.1", 1), server);
    std::this_thread::sleep_for(350ms);
    lines();
    // The event loop has not run: the walk of the add finds it.
    add(pool, ep("192.0.2.3", 3), server);
    EXPECT_FALSE(fd_open(old_fd));
    EXPECT_EQ(lines(), (std::vector<std::string>{
                           "0 Server socket pool: new server socket 192.0.2.3:3 -> 198.51.100.7:443",
                           "1 Server socket pool: erasing 1 expired server sockets",
                       }));
}

TEST_F(server_socket_pool_test, a_server_socket_unclaimed_for_the_claim_time_gives_way_to_a_new_attempt)
{
    // A SYN of a waiting pair is a retransmission while the listener may still
    // claim the socket, and a new connection attempt afterwards.
    struct {
        const char* name;
        std::chrono::milliseconds wait;
        bool waiting;
    } const cases[] = {
        {"within the claim time", 0ms, true},
        {"after the claim time", 400ms, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        server_socket_pool_t pool(io, delegate, 100, server_socket_pool_t::default_expiry, 300ms);
        const int first = add(pool, client, server, "first");
        std::this_thread::sleep_for(c.wait);
        lines();
        EXPECT_EQ(pool.has_server_socket(client, server), c.waiting);
        EXPECT_EQ(fd_open(first), c.waiting);
        if (c.waiting) {
            EXPECT_TRUE(lines().empty());
            continue;
        }
        EXPECT_EQ(lines(), std::vector<std::string>{"0 Server socket pool: closing unclaimed server socket "
                                                    "192.0.2.10:40000 -> 198.51.100.7:443"});
        // The new attempt's server socket takes the pair's place.
        const int second = add(pool, client, server, "second");
        EXPECT_TRUE(pool.has_server_socket(client, server));
        pool.new_client_socket(client, server, new_fd());
        ASSERT_EQ(delegate.pairs.size(), 1u);
        EXPECT_EQ(delegate.pairs[0].server.descriptor.get(), second);
        EXPECT_EQ(delegate.pairs[0].rules.variable(0).user_name(), "second");
    }
}

TEST_F(server_socket_pool_test, a_server_socket_nobody_claims_is_reset_after_the_abandon_time)
{
    // The claim time below the abandon time, as by default.
    server_socket_pool_t pool(io, delegate, 100, server_socket_pool_t::default_expiry, 100ms, 1s);
    const tcp::endpoint abandoned_client = ep("192.0.2.1", 1);
    const tcp::endpoint claimed_client = ep("192.0.2.2", 2);
    tcp_connection_t abandoned, claimed;
    pool.new_server_socket(abandoned_client, server, rules_named("u"), std::move(abandoned.ours));
    pool.new_server_socket(claimed_client, server, rules_named("u"), std::move(claimed.ours));
    pool.new_client_socket(claimed_client, server, new_fd());
    ASSERT_EQ(delegate.pairs.size(), 1u);
    lines();

    // Past the claim time the socket still waits: only a SYN of its pair
    // would close it now.
    io.run_for(150ms);
    io.restart();
    EXPECT_EQ(abandoned.server_read_error(), EAGAIN);

    // The timer alone ends it, and the server sees a reset.
    int error = EAGAIN;
    ASSERT_TRUE(morva_test::run_until(io, [&] { return (error = abandoned.server_read_error()) != EAGAIN; }, 5s));
    EXPECT_EQ(error, ECONNRESET);
    EXPECT_FALSE(pool.has_server_socket(abandoned_client, server));
    EXPECT_EQ(lines(), std::vector<std::string>{"1 Server socket pool: closing 1 abandoned server sockets"});
    // The claimed one went on with its client, untouched.
    EXPECT_EQ(claimed.server_read_error(), EAGAIN);
    EXPECT_TRUE(fd_open(delegate.pairs[0].server.descriptor.get()));
}

TEST_F(server_socket_pool_test, a_server_socket_waits_past_the_abandon_time_while_its_client_is_in_its_handshake)
{
    // Which clients the listener still holds a handshake of, as the pool asks.
    std::set<tcp::endpoint> in_handshake;
    std::size_t asked = 0;
    bool probe_fails = false;
    auto probe = [&](const tcp::endpoint& c, const tcp::endpoint& s) {
        ++asked;
        EXPECT_EQ(s, server);
        if (probe_fails)
            throw std::runtime_error("no answer");
        return in_handshake.count(c) > 0;
    };
    server_socket_pool_t pool(io, delegate, 100, server_socket_pool_t::default_expiry, 100ms, 300ms, probe);
    const tcp::endpoint slow = ep("192.0.2.1", 1);     // its SYN-ACKs are lost, then it completes
    const tcp::endpoint gives_up = ep("192.0.2.2", 2); // in its handshake, then reset
    const tcp::endpoint gone = ep("192.0.2.3", 3);     // never in a handshake
    tcp_connection_t slow_server, gives_up_server, gone_server;
    in_handshake = {slow, gives_up};
    pool.new_server_socket(slow, server, rules_named("slow"), std::move(slow_server.ours));
    pool.new_server_socket(gives_up, server, rules_named("u"), std::move(gives_up_server.ours));
    pool.new_server_socket(gone, server, rules_named("u"), std::move(gone_server.ours));
    lines();

    int error = EAGAIN;
    ASSERT_TRUE(morva_test::run_until(io, [&] { return (error = gone_server.server_read_error()) != EAGAIN; }, 5s));
    EXPECT_EQ(error, ECONNRESET);
    // Several abandon times later the two in their handshake still wait,
    // asked again at each wake.
    io.restart();
    io.run_for(1s);
    io.restart();
    EXPECT_EQ(slow_server.server_read_error(), EAGAIN);
    EXPECT_EQ(gives_up_server.server_read_error(), EAGAIN);
    EXPECT_GE(asked, 6u);

    // The slow client completes: its pair goes on as any other.
    in_handshake.erase(slow);
    pool.new_client_socket(slow, server, new_fd());
    ASSERT_EQ(delegate.pairs.size(), 1u);
    EXPECT_EQ(delegate.pairs[0].rules.variable(0).user_name(), "slow");

    // The other resets its handshake: its server socket goes within a share of the bound.
    in_handshake.erase(gives_up);
    ASSERT_TRUE(
        morva_test::run_until(io, [&] { return (error = gives_up_server.server_read_error()) != EAGAIN; }, 5s));
    EXPECT_EQ(error, ECONNRESET);
    EXPECT_EQ(lines(), (std::vector<std::string>{
                           "1 Server socket pool: closing 1 abandoned server sockets",
                           "0 Server socket pool: new client socket 192.0.2.1:1 -> 198.51.100.7:443",
                           "1 Server socket pool: closing 1 abandoned server sockets",
                       }));
    EXPECT_EQ(slow_server.server_read_error(), EAGAIN);

    // While the listener cannot be asked, the socket waits, with one Warning,
    // until an answer says its client is gone.
    tcp_connection_t unknown;
    probe_fails = true;
    pool.new_server_socket(ep("192.0.2.4", 4), server, rules_named("u"), std::move(unknown.ours));
    lines();
    asked = 0;
    ASSERT_TRUE(morva_test::run_until(io, [&] { return asked >= 4; }, 5s));
    EXPECT_EQ(unknown.server_read_error(), EAGAIN);
    probe_fails = false;
    ASSERT_TRUE(morva_test::run_until(io, [&] { return (error = unknown.server_read_error()) != EAGAIN; }, 5s));
    EXPECT_EQ(error, ECONNRESET);
    EXPECT_EQ(lines(), (std::vector<std::string>{
                           "3 Server socket pool: cannot ask the listener for the handshake of 192.0.2.4:4 -> "
                           "198.51.100.7:443: no answer",
                           "1 Server socket pool: closing 1 abandoned server sockets",
                       }));
}

TEST_F(server_socket_pool_test, destruction_closes_every_waiting_server_socket_unannounced)
{
    std::vector<int> fds;
    {
        server_socket_pool_t pool(io, delegate, 100);
        for (unsigned short port = 1; port <= 3; ++port)
            fds.push_back(add(pool, ep("192.0.2.1", port), server));
    }
    for (int fd : fds)
        EXPECT_FALSE(fd_open(fd));
    EXPECT_TRUE(delegate.pairs.empty());
}

} // namespace
