// The daemon's life under the marend stand-in in the firewall namespace, seen
// through the host tools: what it installs, a changed configuration applied
// on SIGHUP, and nothing of it left after SIGTERM.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
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

// The queue numbers of a chain's own NFQUEUE rules.
std::set<unsigned> queue_numbers(const std::string& save, const std::string& chain)
{
    std::set<unsigned> numbers;
    const std::string rules = own_rules(save, chain);
    static const std::regex queue("--queue-num (\\d+)");
    for (auto it = std::sregex_iterator(rules.begin(), rules.end(), queue); it != std::sregex_iterator(); ++it)
        numbers.insert(std::stoul((*it)[1]));
    return numbers;
}

// A queue number that moves from one divert to another on SIGHUP: revision 2
// is applied, with the queues bound and the rules queueing as it says.
TEST(lifecycle_e2e, sighup_moves_queue_numbers_between_diverts)
{
    // A divert on, with a manual queue number or (none) an automatic one.
    const auto divert = [](const std::string& name, std::optional<unsigned> number) {
        return name + "_divert_enable: true\n" + name + "_divert_nfqueue_number { "
             + (number ? "manual: " + std::to_string(*number) : std::string("auto {}")) + " }\n" + name
             + "_divert_mark { auto {} }\n";
    };
    const struct {
        const char* what;
        std::string first, second;
        std::set<unsigned> output, input;
    } cases[] = {
        {"input 22 and output 25 swap", divert("input", 22) + divert("output", 25),
         divert("input", 25) + divert("output", 22), {22}, {25}},
        {"input 22 off, output takes 22", divert("input", 22), divert("output", 22), {22}, {}},
        {"automatic output on 0 set to 3, input takes 0", divert("output", std::nullopt),
         divert("output", 3) + divert("input", 0), {3}, {0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        morva_test::stack_t stack;
        const std::string base = stack.config({.output = false, .input = false, .forward = false});
        stack.start(base + c.first);
        stack.write_config(base + c.second);
        stack.marend().signal(SIGHUP);
        ASSERT_TRUE(stack.marend().wait_for("MY_INFO_NOTIFICATION: revision 2")) << stack.daemon_output();

        const std::string save = stack.iptables_save();
        EXPECT_EQ(queue_numbers(save, "OUTPUT"), c.output) << save;
        EXPECT_EQ(queue_numbers(save, "INPUT"), c.input) << save;
        std::set<unsigned> bound;
        std::istringstream queues(topology_t::sh_in(stack.hosts.firewall, "cat /proc/net/netfilter/nfnetlink_queue"));
        for (std::string line; std::getline(queues, line);)
            bound.insert(std::stoul(line));
        std::set<unsigned> expected = c.output;
        expected.insert(c.input.begin(), c.input.end());
        EXPECT_EQ(bound, expected);
        EXPECT_EQ(stack.stop(), 0) << stack.daemon_output();
    }
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
