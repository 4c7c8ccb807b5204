// The TIME_WAIT reaper's set of own sockets in a private namespace: a socket
// that goes by another way than TIME_WAIT (a reset) leaves the set, so it
// holds no more than the daemon's open connections; thousands of open ones
// cost a pass only the sockets that ended; recording lingers after it is
// turned off; sockets are ended with no descriptor left to open.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <gtest/gtest.h>

#include "common/scoped_fd.hpp"
#include "fw/divert/time_wait_reaper.hpp"
#include "tests/fw/descriptor_limit.hpp"
#include "tests/support/netns.hpp"
#include "tests/support/wait.hpp"

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
std::vector<scoped_fd_t> accepted_connections(std::size_t n, std::vector<scoped_fd_t>& clients,
                                             std::uint32_t mark = ::mark)
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
    unsigned passes;      // after recording is set (turned off, it reaps once itself)
    std::size_t expected; // in the set after them
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
    for (unsigned i = 0; i < c.passes; ++i)
        reaper.reap();
    EXPECT_EQ(reaper.owned(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    cases, time_wait_reaper_netns,
    testing::Values(
        // Below the pruning size the periods look only for what they end.
        prune_case_t{"small_set_while_recording_is_kept", 3, 5, true, 1, 3 + 5 + 1},
        prune_case_t{"doubled_set_while_recording_is_pruned", 3, time_wait_reaper_t::min_prune_at, true, 1, 3},
        prune_case_t{"small_set_while_recording_is_pruned_every_prune_passes", 3, 5, true,
                     time_wait_reaper_t::prune_passes, 3},
        prune_case_t{"after_recording_kept_between_prunes", 3, 5, false, time_wait_reaper_t::prune_passes - 2,
                     3 + 5 + 1},
        prune_case_t{"after_recording_pruned_every_prune_passes", 3, 5, false, time_wait_reaper_t::prune_passes - 1,
                     3},
        prune_case_t{"all_gone_after_recording", 0, 5, false, time_wait_reaper_t::prune_passes - 1, 0}),
    [](const auto& info) { return std::string(info.param.name); });

// Thousands of long-lived own sockets: a pass that dumped all of them would
// cost milliseconds of the event loop, four times a second, for hours.
struct cost_case_t {
    const char* name;
    std::uint32_t mark; // one per case: the closed sockets of another case stay out of its dumps
    bool recording;
    unsigned passes;    // after recording is set (turned off, it reaps once itself)
    unsigned full_dumps;
};

class time_wait_reaper_cost : public testing::TestWithParam<cost_case_t> {};

TEST_P(time_wait_reaper_cost, open_sockets_are_dumped_only_by_the_passes_that_prune)
{
    ASSERT_TRUE(morva_test::in_private_netns());
    const auto& c = GetParam();
    constexpr std::size_t open = 2000;
    boost::asio::io_context io;
    time_wait_reaper_t reaper(io, 1h);
    reaper.record(true);
    std::vector<scoped_fd_t> clients;
    const auto accepted = accepted_connections(open, clients, c.mark);
    for (const auto& fd : accepted)
        reaper.own(cookie_of(fd.get()), c.mark);
    reaper.record(c.recording);
    for (unsigned i = 0; i < c.passes; ++i)
        reaper.reap();
    EXPECT_EQ(reaper.dumped(), c.full_dumps * open);
    EXPECT_EQ(reaper.owned(), open);
}

INSTANTIATE_TEST_SUITE_P(
    cases, time_wait_reaper_cost,
    testing::Values(
        // The first pass prunes: the set has doubled from nothing.
        cost_case_t{"while_recording", 0x100, true, time_wait_reaper_t::prune_passes, 1},
        cost_case_t{"after_recording", 0x200, false, time_wait_reaper_t::prune_passes - 1, 1},
        cost_case_t{"after_recording_every_prune_passes", 0x300, false, 2 * time_wait_reaper_t::prune_passes - 1, 2}),
    [](const auto& info) { return std::string(info.param.name); });

// After recording: sockets that went by other ways than TIME_WAIT are found
// by the pruning passes, and the passes stop once the last is gone.
TEST(time_wait_reaper_drain, sockets_gone_by_other_ways_are_forgotten_and_the_passes_stop)
{
    ASSERT_TRUE(morva_test::in_private_netns());
    boost::asio::io_context io;
    time_wait_reaper_t reaper(io, 1ms);
    reaper.record(true);
    std::vector<scoped_fd_t> clients;
    auto accepted = accepted_connections(5, clients);
    for (auto& fd : accepted) {
        reaper.own(cookie_of(fd.get()), mark);
        reset(fd);
    }
    reaper.record(false);
    // Returns as soon as nothing is left to do.
    io.run_for(60s);
    EXPECT_TRUE(io.stopped());
    EXPECT_EQ(reaper.owned(), 0u);
}

// Sockets linger most when accepting has run into the open-file limit: the
// reaper ends them with no descriptor left, on a pass and when recording is
// turned off (as the acceptor's stop does).
struct limit_case_t {
    const char* name;
    const char* state; // as ss names it: time-wait, or fin-wait-2 when the client stays open
    bool turned_off;   // the reaping by recording turned off, else a pass
};

class time_wait_reaper_limit : public testing::TestWithParam<limit_case_t> {};

TEST_P(time_wait_reaper_limit, ends_its_sockets_with_no_descriptor_left)
{
    ASSERT_TRUE(morva_test::in_private_netns());
    const auto& c = GetParam();
    const auto result = morva_test::run_guarded_in_child([&] {
        boost::asio::io_context io;
        time_wait_reaper_t reaper(io, 1h);
        reaper.record(true);
        std::vector<scoped_fd_t> clients;
        auto accepted = accepted_connections(1, clients);
        sockaddr_in local{};
        socklen_t size = sizeof local;
        if (::getsockname(accepted[0].get(), reinterpret_cast<sockaddr*>(&local), &size) != 0)
            throw std::runtime_error("getsockname");
        reaper.own(cookie_of(accepted[0].get()), mark);
        // The accepted side closes first; the client closes too, or stays open.
        accepted[0].reset();
        char byte;
        if (::read(clients[0].get(), &byte, 1) != 0)
            throw std::runtime_error("no end of stream");
        if (std::string(c.state) == "time-wait")
            clients[0].reset();
        const std::string left = "ss -Htn state " + std::string(c.state) + " '( sport = :"
                                 + std::to_string(ntohs(local.sin_port)) + " )' | wc -l";
        if (!morva_test::wait_until([&] { return morva_test::sh(left) == "1\n"; }, 10s, 20ms))
            throw std::runtime_error("not left in " + std::string(c.state));

        rlimit saved{};
        if (::getrlimit(RLIMIT_NOFILE, &saved) != 0 || !morva_test::exhaust_descriptors())
            throw std::runtime_error("cannot exhaust the descriptors");
        if (c.turned_off)
            reaper.record(false);
        else
            reaper.reap();
        ::setrlimit(RLIMIT_NOFILE, &saved);
        const std::string text = "owned " + std::to_string(reaper.owned()) + ", left " + morva_test::sh(left);
        ::write(2, text.data(), text.size());
        ::_exit(0);
    });
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "owned 0, left 0\n");
}

INSTANTIATE_TEST_SUITE_P(cases, time_wait_reaper_limit,
                         testing::Values(limit_case_t{"time_wait_by_a_pass", "time-wait", false},
                                         limit_case_t{"orphaned_fin_wait2_by_a_pass", "fin-wait-2", false},
                                         limit_case_t{"time_wait_when_turned_off", "time-wait", true}),
                         [](const auto& info) { return std::string(info.param.name); });

// Recording goes on for the linger after it is turned off, unless it is
// turned on again meanwhile.
struct linger_case_t {
    const char* name;
    std::vector<bool> records;
    bool recording; // once the linger has passed
};

class time_wait_reaper_linger : public testing::TestWithParam<linger_case_t> {};

TEST_P(time_wait_reaper_linger, recording_stops_a_linger_after_it_is_turned_off)
{
    const auto& c = GetParam();
    constexpr auto linger = 50ms;
    boost::asio::io_context io;
    time_wait_reaper_t reaper(io, 1h, linger);
    for (const bool on : c.records)
        reaper.record(on);
    EXPECT_TRUE(reaper.recording()) << "within the linger";
    // Timers fire in the order of their deadlines: once this one has, so has the linger's.
    boost::asio::steady_timer past(io, 2 * linger);
    bool passed = false;
    past.async_wait([&](const auto&) { passed = true; });
    while (!passed)
        io.run_one();
    io.poll();
    EXPECT_EQ(reaper.recording(), c.recording);
}

INSTANTIATE_TEST_SUITE_P(cases, time_wait_reaper_linger,
                         testing::Values(linger_case_t{"turned_off", {true, false}, false},
                                         linger_case_t{"turned_off_twice", {true, false, false}, false},
                                         linger_case_t{"turned_on_again", {true, false, true}, true},
                                         linger_case_t{"turned_on_again_and_off", {true, false, true, false}, false}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
