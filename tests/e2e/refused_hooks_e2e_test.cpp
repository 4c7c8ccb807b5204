// Revisions whose chunk gives no hook: the daemon refuses the revision, ends
// with 102 and leaves nothing of what the revision before installed.
#include <csignal>
#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "tests/e2e/hook_config.hpp"
#include "tests/e2e/stack.hpp"

namespace {

using morva_test::stack_t;
using morva_test::topology_t;
using morva_test::write_hook;

TEST(refused_hooks_e2e, a_revision_whose_chunk_gives_no_hook_ends_the_daemon_and_nothing_is_left)
{
    const struct {
        const char* name;
        const char* chunk;
        const char* error;
    } cases[] = {
        // The old function stays defined as a global of the state.
        {"misspelt hook", "function intercep_hook(ctx) return 'pass' end",
         "Cannot load intercept hook: Cannot find function intercept_hook"},
        {"error that cannot be described", "error(setmetatable({}, { __tostring = function() error({}) end }))",
         "Cannot load intercept hook: Cannot execute chunk: Unexpected error"},
        {"looping chunk", "while true do end",
         "Cannot load intercept hook: Cannot execute chunk: .*instruction budget of 20000000 exceeded without a wait"},
    };
    // One set of hosts and peers; a daemon of its own for each case.
    stack_t stack("", {"9102"});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string file = write_hook(stack, "function intercept_hook(ctx) return 'drop' end");
        stack.start(morva_test::config_with_hook(stack, file));
        ASSERT_EQ(stack.connect(stack.hosts.client, topology_t::server_address, "9102", "revision 1", "2").status, 4)
            << stack.daemon_output();

        write_hook(stack, c.chunk);
        stack.marend().signal(SIGHUP);
        const auto status = stack.marend().wait();
        ASSERT_TRUE(status) << stack.daemon_output();
        EXPECT_EQ(*status, 102) << stack.daemon_output();
        const std::string out = stack.daemon_output();
        EXPECT_TRUE(std::regex_search(out, std::regex(std::string("Cannot apply configuration \\(revision 2\\): ")
                                                      + c.error)))
            << out;
        EXPECT_EQ(out.find("PANIC"), std::string::npos) << out;
        stack.expect_nothing_left();
    }
}

} // namespace
