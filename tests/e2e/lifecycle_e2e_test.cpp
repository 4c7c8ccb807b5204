// The daemon's life under the marend stand-in in the firewall namespace, seen
// through the host tools: what it installs, a changed configuration applied
// on SIGHUP, and nothing of it left after SIGTERM.
#include <gtest/gtest.h>

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

} // namespace
