// The server socket pool with a recording delegate: pairing by endpoint pair,
// duplicates, the limit and the expiry, watched through the descriptors it
// holds, closes and hands on.
#include <fcntl.h>
#include <sys/eventfd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <gtest/gtest.h>

#include "common/log.hpp"
#include "common/scoped_fd.hpp"
#include "fw/service/server_socket_pool.hpp"
#include "rules.pb.h"
#include "tests/common/recording_log.hpp"
#include "tests/fw/service/handover_support.hpp"

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
    recording_delegate_t delegate;
    const tcp::endpoint client = ep("192.0.2.10", 40000);
    const tcp::endpoint server = ep("198.51.100.7", 443);
};

TEST_F(server_socket_pool_test, a_client_socket_is_joined_with_the_server_socket_of_its_pair)
{
    server_socket_pool_t pool(delegate, 100);
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
    server_socket_pool_t pool(delegate, 100);
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
        scoped_fd_t fd = new_fd();
        pool.new_client_socket(other.client, other.server, std::move(fd));
        // Not taken: the caller closes it.
        EXPECT_TRUE(fd);
    }
    EXPECT_TRUE(delegate.pairs.empty());
    EXPECT_TRUE(pool.has_server_socket(client, server));
}

TEST_F(server_socket_pool_test, a_client_socket_without_server_socket_stays_with_the_caller)
{
    server_socket_pool_t pool(delegate, 100);
    scoped_fd_t fd = new_fd();
    pool.new_client_socket(client, server, std::move(fd));
    EXPECT_TRUE(fd);
    EXPECT_TRUE(delegate.pairs.empty());
    EXPECT_EQ(lines(), (std::vector<std::string>{
                           "0 Server socket pool: new client socket 192.0.2.10:40000 -> 198.51.100.7:443",
                           "0 Server socket pool: no server socket is open for 192.0.2.10:40000 -> "
                           "198.51.100.7:443; closing client socket",
                       }));
}

TEST_F(server_socket_pool_test, a_second_server_socket_for_a_held_pair_is_closed)
{
    server_socket_pool_t pool(delegate, 100);
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
    server_socket_pool_t pool(delegate, 3);
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

TEST_F(server_socket_pool_test, server_sockets_expire_only_when_another_is_added)
{
    server_socket_pool_t pool(delegate, 100, 400ms);
    const tcp::endpoint old_client = ep("192.0.2.1", 1);
    const tcp::endpoint young_client = ep("192.0.2.2", 2);
    const int old_fd = add(pool, old_client, server);
    std::this_thread::sleep_for(250ms);
    const int young_fd = add(pool, young_client, server);
    std::this_thread::sleep_for(250ms);

    // Past its age, but nothing has been added since.
    EXPECT_TRUE(pool.has_server_socket(old_client, server));
    EXPECT_TRUE(fd_open(old_fd));
    lines();

    add(pool, ep("192.0.2.3", 3), server);
    EXPECT_FALSE(pool.has_server_socket(old_client, server));
    EXPECT_FALSE(fd_open(old_fd));
    EXPECT_TRUE(pool.has_server_socket(young_client, server));
    EXPECT_TRUE(fd_open(young_fd));
    EXPECT_EQ(lines(), (std::vector<std::string>{
                           "0 Server socket pool: new server socket 192.0.2.3:3 -> 198.51.100.7:443",
                           "1 Server socket pool: erasing 1 expired server sockets",
                       }));
}

TEST_F(server_socket_pool_test, destruction_closes_every_waiting_server_socket_unannounced)
{
    std::vector<int> fds;
    {
        server_socket_pool_t pool(delegate, 100);
        for (unsigned short port = 1; port <= 3; ++port)
            fds.push_back(add(pool, ep("192.0.2.1", port), server));
    }
    for (int fd : fds)
        EXPECT_FALSE(fd_open(fd));
    EXPECT_TRUE(delegate.pairs.empty());
}

} // namespace
