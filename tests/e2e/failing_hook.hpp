#pragma once
// Hooks that fail on one port in ways their budget and memory limit do not
// see: each such session fails alone (CHECK); the daemon decides the next
// connection, serves a stop (107) and leaves nothing behind.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "tests/e2e/hook_config.hpp"
#include "tests/e2e/stack.hpp"
#include "tests/support/wait.hpp"

namespace morva_test {

// 9101 runs the failing case, 9102 passes.
inline const std::vector<std::string> failing_hook_ports{"9101", "9102"};

// The hook: `body` for port 9101 (what it returns decides), PASS for the rest.
inline std::string hook_with(const std::string& body)
{
    return "local morva = require('morva')\n"
           "function intercept_hook(ctx)\n"
           "  if math.tointeger(ctx.dst.port) == 9101 then\n"
           + body
           + "\n  end\n"
             "  return 'pass'\n"
             "end\n";
}

inline void start_with_hook(stack_t& stack, const std::string& hook)
{
    stack.start(config_with_hook(stack, write_hook(stack, hook)));
}

// A connection the hook fails on reaches the server through the daemon
// (CHECK), not as itself.
inline void expect_checked(const connection_t& c, stack_t& stack)
{
    ASSERT_EQ(c.status, 0) << c.output << stack.daemon_output();
    EXPECT_NE(c.reply.find("sent"), std::string::npos) << c.output;
    EXPECT_NE(c.reply.find("peer " + c.local + " "), 0u) << c.output;
}

// The daemon still decides (9102 passes), then stops with 107 within the
// time a run's budget allows, and nothing of it is left.
inline void expect_decides_and_stops(stack_t& stack)
{
    const auto c = stack.connect(stack.hosts.client, topology_t::server_address, "9102", "after", "20");
    ASSERT_EQ(c.status, 0) << c.output << stack.daemon_output();
    EXPECT_EQ(c.reply.find("peer " + c.local + " "), 0u) << c.output;

    stack.expect_stop_within(std::chrono::seconds(60));
}

// Whether the daemon logged `line` (a regular expression) for a session
// after the first `seen` bytes of its output.
inline bool logged(stack_t& stack, const std::string& line, std::size_t seen = 0)
{
    const std::regex pattern("Session \\S+: .*" + line);
    return wait_until([&] { return std::regex_search(stack.daemon_output().substr(seen), pattern); },
                      std::chrono::seconds(30), std::chrono::milliseconds(100));
}

// A daemon of the stack started with a hook whose port-9101 `body` fails:
// each of `connections` local clients (their process lookups complete
// outside every protected call) is checked, the daemon logs the failure
// `line` (a regular expression), then decides the next connection and stops
// cleanly.
inline void expect_failing_hook_spares_the_daemon(stack_t& stack, const std::string& body, int connections,
                                                  const std::string& line)
{
    start_with_hook(stack, hook_with(body));
    for (int done = 0; done < connections;) {
        std::vector<std::unique_ptr<ns_process_t>> clients;
        for (int k = 0; k < 8 && done + k < connections; ++k)
            clients.push_back(stack.start_connect(stack.hosts.firewall, topology_t::server_address, "9101",
                                                  "failed " + std::to_string(done + k), "20"));
        for (auto& client : clients)
            expect_checked(stack_t::finish_connect(*client), stack);
        done += static_cast<int>(clients.size());
        if (testing::Test::HasFailure())
            break;
    }
    EXPECT_TRUE(logged(stack, "cannot get verdict for intercepted connection: .*" + line + "; falling back to CHECK"))
        << stack.daemon_output();
    expect_decides_and_stops(stack);
}

} // namespace morva_test
