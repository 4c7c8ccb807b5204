// A forwarded client that reuses its port while the firewall host holds the
// old connection in TIME_WAIT: another program's transparent proxy keeps such
// clients, and its clients at all beside the input divert, whichever of its
// rule and the daemon's came first; the daemon's own TIME_WAIT sockets
// blackhole nobody once it has stopped or its forward divert is off; a local
// server's TIME_WAIT that took the daemon's mark is its own.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/stack.hpp"
#include "tests/support/wait.hpp"

namespace {

using morva_test::topology_t;

const std::string checked_port = "8080";

std::size_t occurrences(const std::string& text, const std::string& needle)
{
    std::size_t n = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++n;
    return n;
}

// Another TPROXY proxy on the firewall host: a transparent listener on a
// wildcard address, its own mark, policy route and rule, none the daemon's.
class other_proxy_t {
public:
    static constexpr const char* port = "9999";

    explicit other_proxy_t(const morva_test::stack_t& stack)
        : firewall_(stack.hosts.firewall),
          listener_(firewall_, {morva_test::stack_t::tool("demo"), "serve", "0.0.0.0", port, "--transparent"})
    {
        if (!listener_.wait_for("listening"))
            throw std::runtime_error("the other proxy did not start: " + listener_.output());
        topology_t::sh_in(firewall_, "ip rule add fwmark 0x10000/0x10000 lookup 3000 && "
                                     "ip route add local 0.0.0.0/0 dev lo table 3000");
    }

    void add_rule() const
    {
        topology_t::sh_in(firewall_, std::string("iptables-legacy -t mangle -A PREROUTING -p tcp -s ")
                                         + topology_t::client_address + " --dport " + checked_port
                                         + " -j TPROXY --on-port " + port + " --tproxy-mark 0x10000/0x10000");
    }

    std::size_t accepted(const std::string& client) { return occurrences(listener_.output(), "accepted " + client); }

private:
    std::string firewall_;
    morva_test::ns_process_t listener_;
};

class time_wait_e2e : public testing::Test {
protected:
    morva_test::connection_t connect(const std::string& from, const std::string& text, const std::string& seconds)
    {
        return stack_.connect(stack_.hosts.client, topology_t::server_address, checked_port, text, seconds,
                              {"--from", from, "--server-closes"});
    }

    std::size_t hook_runs(const std::string& client)
    {
        std::size_t n = 0;
        for (const char* divert : {"output", "input", "forward"})
            n += occurrences(stack_.daemon_output(), std::string("hook: ") + divert + " " + client + " -> ");
        return n;
    }

    std::string time_wait_on_firewall() const
    {
        return topology_t::sh_in(stack_.hosts.firewall, "ss -tanH state time-wait");
    }

    morva_test::stack_t stack_;
};

struct proxy_case_t {
    const char* name;
    // The forward divert: the proxy's clients are forwarded traffic but for
    // the proxy. The input divert: their SYNs to a foreign address are
    // delivered to the proxy, through the input chain.
    morva_test::diverts_t diverts;
    bool rule_after_the_daemon;
};

class other_proxy_e2e : public time_wait_e2e, public testing::WithParamInterface<proxy_case_t> {};

TEST_P(other_proxy_e2e, keeps_a_client_reusing_its_port_while_the_proxy_holds_it_in_time_wait)
{
    other_proxy_t proxy(stack_);
    if (!GetParam().rule_after_the_daemon)
        proxy.add_rule();
    stack_.start(stack_.config(GetParam().diverts));
    if (GetParam().rule_after_the_daemon)
        proxy.add_rule();

    const std::string from = "43001", client = std::string(topology_t::client_address) + ":" + from;
    for (const char* text : {"first", "second"}) {
        SCOPED_TRACE(text);
        // The proxy closes first: its accepted socket stays in TIME_WAIT.
        const auto c = connect(from, text, "10");
        ASSERT_EQ(c.status, 0) << c.output << stack_.daemon_output();
        EXPECT_EQ(c.reply, "peer " + client + " sent \"" + text + "\"") << "not the proxy's answer";
        if (text == std::string("first")) {
            // The client's last FIN may still be on its way when it has exited.
            EXPECT_TRUE(morva_test::wait_until(
                [&] { return time_wait_on_firewall().find(":" + from) != std::string::npos; }))
                << "the situation under test: the proxy's connection in TIME_WAIT on the firewall host";
        }
    }
    EXPECT_EQ(proxy.accepted(client), 2u);
    EXPECT_EQ(hook_runs(client), 0u) << stack_.daemon_output();
    EXPECT_EQ(stack_.stop(), 0) << stack_.daemon_output();
}

INSTANTIATE_TEST_SUITE_P(orders, other_proxy_e2e,
                         testing::Values(proxy_case_t{"forward_proxy_rule_after_the_daemon", {false, false, true}, true},
                                         proxy_case_t{"forward_proxy_rule_before_the_daemon", {false, false, true}, false},
                                         proxy_case_t{"input_proxy_rule_after_the_daemon", {false, true, false}, true},
                                         proxy_case_t{"input_proxy_rule_before_the_daemon", {false, true, false}, false}),
                         [](const auto& info) { return std::string(info.param.name); });

// A local server's connection the hook passed: with tcp_fwmark_accept=1 (an
// administrator's setting) its accepted socket takes the mark of the re-queued
// SYN, which is the daemon's listener's; its TIME_WAIT is still its own.
TEST_F(time_wait_e2e, a_local_servers_time_wait_is_kept_when_it_took_the_daemons_mark)
{
    topology_t::sh_in(stack_.hosts.firewall, "sysctl -qw net.ipv4.tcp_fwmark_accept=1");
    stack_.start(stack_.config());
    const std::string from = "45001", client = std::string(topology_t::client_address) + ":" + from;
    const auto passed = stack_.connect(stack_.hosts.client, topology_t::firewall_client_side, "8001", "passed", "10",
                                       {"--from", from, "--server-closes"});
    ASSERT_EQ(passed.status, 0) << passed.output << stack_.daemon_output();
    EXPECT_EQ(passed.reply, "peer " + client + " sent \"passed\"");
    EXPECT_EQ(hook_runs(client), 1u) << stack_.daemon_output();
    const auto local_server = [&] {
        return topology_t::sh_in(stack_.hosts.firewall,
                                 "ss -tanoeH state time-wait sport = :8001 and dport = :" + from);
    };
    ASSERT_NE(local_server().find("fwmark:0x6"), std::string::npos)
        << "the situation under test: the local server's TIME_WAIT with the daemon's mark\n" << local_server();
    // Several of the daemon's periods.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_NE(local_server(), "");
    EXPECT_EQ(stack_.stop(), 0) << stack_.daemon_output();
    EXPECT_NE(local_server(), "") << "ended at the daemon's stop";
}

struct leaving_case_t {
    const char* name;
    bool stop; // else a SIGHUP turns the forward divert off
};

class forward_left_e2e : public time_wait_e2e, public testing::WithParamInterface<leaving_case_t> {};

TEST_P(forward_left_e2e, a_client_reusing_a_checked_port_goes_straight_to_the_server)
{
    stack_.start(stack_.config());
    const std::string from = "44001", client = std::string(topology_t::client_address) + ":" + from;
    const auto checked = connect(from, "checked", "10");
    ASSERT_EQ(checked.status, 0) << checked.output << stack_.daemon_output();
    ASSERT_EQ(checked.reply.find("peer " + client + " "), std::string::npos) << "not checked: " << checked.reply;

    if (GetParam().stop) {
        ASSERT_EQ(stack_.stop(), 0) << stack_.daemon_output();
    } else {
        stack_.write_config(stack_.config({true, true, false}));
        stack_.marend().signal(SIGHUP);
        ASSERT_TRUE(stack_.marend().wait_for("MY_INFO_NOTIFICATION: revision 2")) << stack_.daemon_output();
    }

    // Within the client's first SYN retry: nothing of the daemon holds the port.
    const auto direct = connect(from, "direct", "1.5");
    ASSERT_EQ(direct.status, 0) << direct.output << time_wait_on_firewall() << stack_.daemon_output();
    EXPECT_EQ(direct.reply, "peer " + client + " sent \"direct\"");
    if (!GetParam().stop) {
        EXPECT_EQ(stack_.stop(), 0) << stack_.daemon_output();
        stack_.expect_nothing_left();
    }
}

INSTANTIATE_TEST_SUITE_P(ways, forward_left_e2e,
                         testing::Values(leaving_case_t{"after_sigterm", true},
                                         leaving_case_t{"after_sighup_turning_forward_off", false}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
