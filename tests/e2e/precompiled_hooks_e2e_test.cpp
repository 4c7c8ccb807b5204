// Hooks as the compiler writes them, applied by the real daemon as revisions
// of its configuration, decide like their source.
#include <csignal>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "tests/e2e/hook_config.hpp"
#include "tests/e2e/stack.hpp"
#include "tests/lua/crafted_chunks.hpp"

namespace {

using morva_test::stack_t;
using morva_test::topology_t;

// What the compiler writes applies, as the hook's file or buffer: a
// concatenation in a numeric loop (CONCAT writes below the loop's counters),
// stripped, and written again from stripped (its upvalue names absent). Each
// revision's hook decides a connection by what its loop built.
TEST(precompiled_hooks_e2e, a_precompiled_hook_with_a_concatenation_loop_applies_and_decides)
{
    const std::string hook = R"(local s = "" for i = 1, 3 do s = s .. i end )"
                             R"(function intercept_hook(ctx) if s == "123" then return "reject" end return "pass" end)";
    const std::string stripped = morva_test::compile(hook, true);
    const struct {
        const char* name;
        std::string chunk;
        bool as_file;
    } cases[] = {
        {"luac, as a file", morva_test::compile(hook, false), true},
        {"luac -s, as the buffer", stripped, false},
        {"luac of the luac -s chunk, as a file", morva_test::compile(stripped, false), true},
    };
    stack_t stack("", {"9101"});
    int revision = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ++revision;
        const std::string file = stack.path("hook" + std::to_string(revision) + ".luac");
        std::string config;
        if (c.as_file) {
            std::ofstream(file, std::ios::binary) << c.chunk;
            config = morva_test::config_with_hook(stack, file);
        } else {
            config = morva_test::config_with(stack.config(), "buffer: " + morva_test::text_format_bytes(c.chunk));
        }
        if (revision == 1) {
            stack.start(config);
        } else {
            stack.write_config(config);
            stack.marend().signal(SIGHUP);
            ASSERT_TRUE(stack.marend().wait_for("MY_INFO_NOTIFICATION: revision " + std::to_string(revision)))
                << stack.daemon_output();
        }
        EXPECT_EQ(stack.connect(stack.hosts.client, topology_t::server_address, "9101", c.name, "10").status, 3)
            << stack.daemon_output();
    }
    EXPECT_EQ(stack.stop(), 0) << stack.daemon_output();
    stack.expect_nothing_left();
}

} // namespace
