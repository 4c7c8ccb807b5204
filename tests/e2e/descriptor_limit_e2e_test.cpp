// A pellad that stops reading, under a low descriptor limit, end to end: the
// daemon holds a bounded number of connections for pellad, runs into the limit
// with the connects it has in progress and the clients it accepts, and gives
// up single connections there instead of ending; its stop at the limit still
// takes every rule and route away.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/types.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include <boost/filesystem/operations.hpp>

#include "tests/e2e/namespace_thread.hpp"
#include "tests/e2e/stack.hpp"

namespace {

using fw::util::scoped_fd_t;
using morva_test::topology_t;
using namespace std::chrono_literals;

constexpr rlim_t descriptor_limit = 64;

// The limit of this program while it starts the daemon, which inherits it.
class inherited_limit_t {
public:
    explicit inherited_limit_t(rlim_t limit)
    {
        ::getrlimit(RLIMIT_NOFILE, &saved_);
        // The soft limit only: without CAP_SYS_RESOURCE a lowered hard one stays low.
        const rlimit low{limit, saved_.rlim_max};
        if (::setrlimit(RLIMIT_NOFILE, &low) != 0)
            throw std::runtime_error("setrlimit");
    }
    ~inherited_limit_t() { ::setrlimit(RLIMIT_NOFILE, &saved_); }

private:
    rlimit saved_{};
};

// How many of the descriptor numbers below the limit the process has open: at
// the limit, all of them (descriptors it inherited above the limit aside).
std::size_t open_below_limit(pid_t pid)
{
    std::size_t count = 0;
    boost::system::error_code ec;
    for (boost::filesystem::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", ec), end; !ec && it != end;
         it.increment(ec))
        if (std::stoul(it->path().filename().string()) < descriptor_limit)
            ++count;
    return count;
}

TEST(descriptor_limit_e2e, a_pellad_that_stops_reading_ends_neither_the_daemon_nor_its_stop_at_the_limit)
{
    morva_test::stack_t stack;
    // The daemon's connects to this port stay in progress: the server drops their SYNs.
    topology_t::sh_in(stack.hosts.server, "iptables-legacy -A INPUT -p tcp --dport 8090 -j DROP");
    {
        inherited_limit_t low(descriptor_limit);
        stack.start(stack.config());
    }
    const pid_t daemon = stack.daemon_pid();
    stack.pellad().signal(SIGSTOP);

    // Checked connections in waves, until the link to pellad holds no more and
    // the daemon has begun to reset the pairs beyond its bound.
    std::vector<scoped_fd_t> clients;
    const auto open_connections = [&](unsigned short port, int count) {
        morva_test::in_namespace(stack.hosts.client, [&] {
            for (int i = 0; i < count; ++i)
                clients.push_back(morva_test::start_tcp_connect(topology_t::server_address, port));
        });
    };
    for (int wave = 0, after_full = 0; wave < 30 && after_full < 3; ++wave) {
        const std::size_t first = clients.size();
        open_connections(8080, 50);
        for (std::size_t i = first; i < clients.size(); ++i)
            morva_test::connect_result(clients[i].get());
        if (stack.daemon_output().find("Pellad tie: sending would block") != std::string::npos)
            ++after_full;
    }
    ASSERT_NE(stack.daemon_output().find("Pellad tie: sending would block"), std::string::npos)
        << "the link to pellad never filled";
    // Connects to a server that does not answer stay in progress, each with its socket.
    open_connections(8090, 60);

    // Witness: the daemon holds every descriptor it may open.
    std::size_t most = 0;
    for (const auto end = std::chrono::steady_clock::now() + 120s;
         most < descriptor_limit && std::chrono::steady_clock::now() < end
         && !stack.marend().wait(std::chrono::milliseconds(0));
         std::this_thread::sleep_for(20ms))
        most = std::max(most, open_below_limit(daemon));
    ASSERT_FALSE(stack.marend().wait(std::chrono::milliseconds(0))) << stack.daemon_output();
    ASSERT_EQ(most, descriptor_limit) << stack.daemon_output();

    EXPECT_EQ(stack.stop(), 0) << stack.daemon_output();
    stack.expect_nothing_left();
    if (HasFailure()) {
        // What the daemon said while it stopped.
        const std::string out = stack.daemon_output();
        const auto at = out.find("Termination signal received");
        std::cerr << out.substr(at == std::string::npos ? 0 : at) << std::endl;
    }
}

} // namespace
