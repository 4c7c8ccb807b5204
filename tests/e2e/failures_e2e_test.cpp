// What goes wrong on the way, end to end: a hook that fails still lets the
// connection be checked, and a revision the daemon refuses ends it with 102
// without leaving its rules and route behind.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "tests/e2e/stack.hpp"

namespace {

using morva_test::topology_t;

TEST(failures_e2e, a_hook_failing_on_a_quisad_error_counts_as_check)
{
    // The demo hook's first lookup is answered with an error, which the
    // hook does not catch.
    morva_test::stack_t stack("lookup allmatch pass_ports : error 80 no such list\n");
    stack.start(stack.config());
    const auto c = stack.connect(stack.hosts.client, topology_t::server_address, "8001", "still checked");
    ASSERT_EQ(c.status, 0) << c.output << stack.daemon_output();
    EXPECT_NE(c.reply.find("sent \"still checked\""), std::string::npos) << c.reply;
    EXPECT_EQ(c.reply.find("peer " + c.local + " "), std::string::npos) << "checked, so the server sees the daemon";
    EXPECT_TRUE(stack.pellad().wait_for(morva_test::socket_variable("src_address", c.local)))
        << stack.pellad().output();
    EXPECT_TRUE(std::regex_search(stack.daemon_output(), std::regex("Session \\S+: Lookup: .*no such list")))
        << stack.daemon_output();
    EXPECT_EQ(stack.stop(), 0) << stack.daemon_output();
}

TEST(failures_e2e, a_refused_revision_ends_the_daemon_with_102_and_nothing_is_left)
{
    morva_test::stack_t stack;
    stack.start(stack.config());
    ASSERT_NE(stack.iptables_save().find("morva-firewall"), std::string::npos);

    // Revision 2 names a hook file that does not exist: the Lua service refuses it.
    std::string config = stack.config();
    config = std::regex_replace(config, std::regex("intercept_hook \\{[^}]*\\}"),
                                "intercept_hook { file: \"" + stack.path("missing.lua") + "\" }");
    stack.write_config(config);
    const std::string out = stack.expect_refused_revision();
    EXPECT_NE(out.find("Cannot apply configuration (revision 2"), std::string::npos) << out;
}

} // namespace
