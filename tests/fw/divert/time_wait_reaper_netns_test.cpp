// The TIME_WAIT reaper's set of own sockets in a private namespace: a socket
// that goes by another way than TIME_WAIT (a reset) leaves the set, so it
// holds no more than the daemon's open connections.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <gtest/gtest.h>

#include "common/scoped_fd.hpp"
#include "fw/divert/time_wait_reaper.hpp"
#include "tests/support/netns.hpp"

namespace {

using fw::service::time_wait_reaper_t;
using fw::util::scoped_fd_t;
using namespace std::chrono_literals;

constexpr std::uint32_t mark = 2 | 4;

std::uint64_t cookie_of(int fd)
{
    std::uint64_t cookie = 0;
    socklen_t size = sizeof cookie;
    EXPECT_EQ(::getsockopt(fd, SOL_SOCKET, SO_COOKIE, &cookie, &size), 0);
    return cookie;
}

// `n` connections to a listener marked as the daemon's; the accepted sockets.
std::vector<scoped_fd_t> accepted_connections(std::size_t n, std::vector<scoped_fd_t>& clients)
{
    scoped_fd_t listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    EXPECT_EQ(::setsockopt(listener.get(), SOL_SOCKET, SO_MARK, &mark, sizeof mark), 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(::listen(listener.get(), static_cast<int>(n)), 0);
    socklen_t size = sizeof address;
    EXPECT_EQ(::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &size), 0);
    std::vector<scoped_fd_t> accepted;
    for (std::size_t i = 0; i < n; ++i) {
        clients.emplace_back(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        EXPECT_EQ(::connect(clients.back().get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        accepted.emplace_back(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    }
    return accepted;
}

// Closes with a reset: the socket is gone at once, with no TIME_WAIT.
void reset(scoped_fd_t& fd)
{
    const linger abort{1, 0};
    EXPECT_EQ(::setsockopt(fd.get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort), 0);
    fd.reset();
}

struct prune_case_t {
    const char* name;
    std::size_t open;     // connections left open
    std::size_t reset;    // connections reset
    bool recording;
    std::size_t expected; // in the set after one reap
};

class time_wait_reaper_netns : public testing::TestWithParam<prune_case_t> {};

TEST_P(time_wait_reaper_netns, forgets_the_sockets_that_are_gone)
{
    ASSERT_TRUE(morva_test::in_private_netns());
    const auto& c = GetParam();
    boost::asio::io_context io;
    time_wait_reaper_t reaper(io, 1h);
    reaper.record(true);
    std::vector<scoped_fd_t> clients;
    auto accepted = accepted_connections(c.open + c.reset, clients);
    for (const auto& fd : accepted)
        reaper.own(cookie_of(fd.get()), mark);
    // A cookie no socket has, as if its socket went before the first dump.
    reaper.own(cookie_of(clients.front().get()) + 1000000, mark);
    for (std::size_t i = 0; i < c.reset; ++i)
        reset(accepted[c.open + i]);
    reaper.record(c.recording);
    reaper.reap();
    EXPECT_EQ(reaper.owned(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    cases, time_wait_reaper_netns,
    testing::Values(
        // Below the pruning size the periods look only for what they end.
        prune_case_t{"small_set_while_recording_is_kept", 3, 5, true, 3 + 5 + 1},
        prune_case_t{"doubled_set_while_recording_is_pruned", 3, time_wait_reaper_t::min_prune_at, true, 3},
        prune_case_t{"every_reap_after_recording_is_pruned", 3, 5, false, 3},
        prune_case_t{"all_gone_after_recording", 0, 5, false, 0}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
