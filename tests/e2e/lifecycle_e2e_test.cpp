// The daemon's life under the marend stand-in in the firewall namespace, seen
// through the host tools: what it installs, a changed configuration applied
// on SIGHUP, and nothing of it left after SIGTERM.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <regex>
#include <string>

#include <boost/filesystem/operations.hpp>

#include "tests/e2e/stack.hpp"

namespace {

using morva_test::topology_t;

// The own rules of a chain in iptables-legacy-save's text: the lines that
// append to it and carry the own-rule comment.
std::string own_rules(const std::string& save, const std::string& chain)
{
    std::string rules;
    std::istringstream lines(save);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("-A " + chain + " ", 0) == 0 && line.find("morva-firewall") != std::string::npos)
            rules += line + "\n";
    return rules;
}

TEST(lifecycle_e2e, sigterm_ends_the_daemon_with_107_and_takes_its_rules_and_route_away)
{
    morva_test::stack_t stack;
    stack.start(stack.config());

    // Without the nf_tables modules (no modprobe, no queue expression in
    // this kernel) the mangle table of iptables steers.
    const std::string save = stack.iptables_save();
    for (const char* chain : {"OUTPUT", "INPUT", "FORWARD"})
        EXPECT_NE(own_rules(save, chain).find("NFQUEUE"), std::string::npos) << chain << "\n" << save;
    EXPECT_NE(own_rules(save, "PREROUTING").find("TPROXY"), std::string::npos) << save;
    EXPECT_NE(own_rules(save, "POSTROUTING"), "") << save;
    std::smatch m;
    const std::string rules = stack.ip_rules();
    ASSERT_TRUE(std::regex_search(rules, m, std::regex("fwmark \\S+ lookup (\\d+)"))) << rules;
    EXPECT_NE(stack.routes_100_to_200().find("table " + m[1].str() + ": local default dev lo"), std::string::npos)
        << stack.routes_100_to_200();
    EXPECT_TRUE(boost::filesystem::exists(stack.path("rule_info.dat")));

    EXPECT_EQ(stack.stop(), 0) << stack.daemon_output();
    const std::string out = stack.daemon_output();
    EXPECT_NE(out.find("Termination signal received, exiting..."), std::string::npos) << out;
    EXPECT_NE(out.find("daemon exited with status 107"), std::string::npos) << out;
    stack.expect_nothing_left();
}

TEST(lifecycle_e2e, sighup_applies_a_changed_configuration)
{
    morva_test::stack_t stack;
    stack.start(stack.config());
    auto forwarded = stack.connect(stack.hosts.client, topology_t::server_address, "8080", "first");
    ASSERT_EQ(forwarded.status, 0) << forwarded.output << stack.daemon_output();
    EXPECT_EQ(forwarded.reply.find("peer " + forwarded.local + " "), std::string::npos)
        << "a forwarded connection is checked while the forward divert is on\n" << forwarded.reply;

    // Revision 2: the forward divert off, the others as they were.
    stack.write_config(stack.config({.output = true, .input = true, .forward = false}));
    stack.marend().signal(SIGHUP);
    ASSERT_TRUE(stack.marend().wait_for("MY_INFO_NOTIFICATION: revision 2")) << stack.daemon_output();

    const std::string save = stack.iptables_save();
    EXPECT_EQ(own_rules(save, "FORWARD"), "") << save;
    EXPECT_NE(own_rules(save, "OUTPUT").find("NFQUEUE"), std::string::npos) << save;
    forwarded = stack.connect(stack.hosts.client, topology_t::server_address, "8080", "second");
    ASSERT_EQ(forwarded.status, 0) << forwarded.output << stack.daemon_output();
    EXPECT_EQ(forwarded.reply, "peer " + forwarded.local + " sent \"second\"")
        << "the server should see the client itself";
    const auto output = stack.connect(stack.hosts.firewall, topology_t::server_address, "8080", "third");
    ASSERT_EQ(output.status, 0) << output.output << stack.daemon_output();
    EXPECT_EQ(output.reply.find("peer " + output.local + " "), std::string::npos)
        << "the output divert still checks\n" << output.reply;

    // Revision 3: the forward divert on again, its server connections bound
    // to the client's address. The server sees the client's address on the
    // daemon's own connection, whose answers come back through the
    // local-delivery route.
    stack.write_config(stack.config() + "forward_divert_connect_transparently: true\n");
    stack.marend().signal(SIGHUP);
    ASSERT_TRUE(stack.marend().wait_for("MY_INFO_NOTIFICATION: revision 3")) << stack.daemon_output();
    EXPECT_NE(own_rules(stack.iptables_save(), "FORWARD").find("NFQUEUE"), std::string::npos);
    forwarded = stack.connect(stack.hosts.client, topology_t::server_address, "8080", "fourth");
    ASSERT_EQ(forwarded.status, 0) << forwarded.output << stack.daemon_output();
    std::smatch m;
    ASSERT_TRUE(std::regex_match(forwarded.reply, m, std::regex("peer (\\S+):(\\d+) sent \"fourth\"")))
        << forwarded.reply;
    EXPECT_EQ(m[1], topology_t::client_address);
    EXPECT_NE(m[1].str() + ":" + m[2].str(), forwarded.local) << "a checked connection is the daemon's own";
    EXPECT_TRUE(stack.pellad().wait_for(morva_test::socket_variable("src_address", forwarded.local)))
        << stack.pellad().output();

    EXPECT_EQ(stack.stop(), 0) << stack.daemon_output();
    stack.expect_nothing_left();
}

// The daemon killed with SIGKILL, so nothing of its stop runs: the next run
// removes what it left, in any mode, and chooses the marks it chose.
TEST(lifecycle_e2e, what_a_killed_daemon_left_goes_with_the_next_run_in_any_mode)
{
    morva_test::stack_t stack;
    const auto policy_rules = [&stack] {
        std::vector<std::string> found;
        const std::string rules = stack.ip_rules();
        static const std::regex rule("fwmark \\S+ lookup \\d+");
        for (auto it = std::sregex_iterator(rules.begin(), rules.end(), rule);
             it != std::sregex_iterator(); ++it)
            found.push_back(it->str());
        return found;
    };

    stack.start(stack.config());
    const auto first = policy_rules();
    ASSERT_EQ(first.size(), 1u) << stack.ip_rules();
    stack.kill_daemon();

    // The same configuration: the dead run's rule does not count as foreign.
    stack.start(stack.config());
    EXPECT_EQ(policy_rules(), first) << stack.ip_rules();
    const std::string routes = stack.routes_100_to_200();
    EXPECT_EQ(std::count(routes.begin(), routes.end(), '\n'), 1) << routes;
    stack.kill_daemon();

    // iptables left to the administrator: the dead run's queue rules go all the same.
    stack.start(stack.manual_config());
    EXPECT_EQ(stack.iptables_save().find("morva-firewall"), std::string::npos) << stack.iptables_save();
    EXPECT_EQ(policy_rules().size(), 1u) << stack.ip_rules();
    EXPECT_EQ(stack.stop(), 0) << stack.daemon_output();
    stack.expect_nothing_left();
}

} // namespace
