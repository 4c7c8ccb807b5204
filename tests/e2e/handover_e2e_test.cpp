// Checked connections on every divert in situations real clients bring about:
// marks changed by SIGHUP, an attempt abandoned at once and its port used
// again, one port reused for consecutive connections, a port used again while
// the firewall host still holds its checked connection, and a TCP Fast Open
// SYN that carries data.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "tests/e2e/stack.hpp"
#include "tests/support/wait.hpp"

namespace {

using morva_test::topology_t;

// One divert, seen from the host whose client it diverts.
struct divert_case_t {
    const char* divert;     // as the hook names it
    bool on_client_host;    // else the client runs on the firewall host
    const char* address;    // where the client connects
    const char* client_address; // the client's own address toward it
};

const divert_case_t diverts[] = {
    {"forward", true, topology_t::server_address, topology_t::client_address},
    {"input", true, topology_t::firewall_client_side, topology_t::client_address},
    {"output", false, topology_t::server_address, topology_t::firewall_server_side},
};

const std::string checked_port = "8080";

class handover_e2e : public testing::Test {
protected:
    const std::string& host(const divert_case_t& c) const
    {
        return c.on_client_host ? stack_.hosts.client : stack_.hosts.firewall;
    }

    morva_test::connection_t connect(const divert_case_t& c, const std::string& text,
                                     const std::vector<std::string>& options = {}, const std::string& seconds = "10")
    {
        return stack_.connect(host(c), c.address, checked_port, text, seconds, options);
    }

    // Answered, and by way of pellad: the server saw the daemon, not the client.
    void expect_checked(const morva_test::connection_t& c, const std::string& text)
    {
        ASSERT_EQ(c.status, 0) << c.output << stack_.daemon_output();
        EXPECT_NE(c.reply.find("sent \"" + text + "\""), std::string::npos) << c.reply;
        EXPECT_EQ(c.reply.find("peer " + c.local + " "), std::string::npos) << "not checked: " << c.reply;
        EXPECT_TRUE(stack_.pellad().wait_for(morva_test::socket_variable("src_address", c.local)))
            << stack_.pellad().output();
    }

    // How often the hook ran for connections from `client`.
    std::size_t hook_runs(const divert_case_t& c, const std::string& client)
    {
        const std::string out = stack_.daemon_output();
        const std::string needle = std::string("hook: ") + c.divert + " " + client + " -> ";
        std::size_t runs = 0;
        for (auto at = out.find(needle); at != std::string::npos; at = out.find(needle, at + 1))
            ++runs;
        return runs;
    }

    void TearDown() override
    {
        // A failed test leaves the stop to the stack's destructor.
        if (HasFailure())
            return;
        EXPECT_EQ(stack_.stop(), 0) << stack_.daemon_output();
        stack_.expect_nothing_left();
    }

    morva_test::stack_t stack_;
};

TEST_F(handover_e2e, marks_changed_by_sighup_keep_every_divert_checking)
{
    // A fixed listener port: a kept listener, not one reopened at every apply.
    const std::string first = std::regex_replace(stack_.config(), std::regex("port: 0 \\}"), "port: 7000 }");
    ASSERT_NE(first.find("port: 7000 }"), std::string::npos);
    stack_.start(first);
    for (const auto& c : diverts) {
        SCOPED_TRACE(c.divert);
        expect_checked(connect(c, "before"), "before");
    }

    // Revision 2: the three fixed marks move to other bits; the listener,
    // whose address stays, must carry the new ones.
    std::string config = first;
    for (const auto& [name, value] : {std::pair{"local_delivery_mark", "4096"},
                                      std::pair{"client_packets_mark", "8192"},
                                      std::pair{"server_packets_mark", "16384"}})
        config = std::regex_replace(config, std::regex(std::string(name) + " \\{ auto \\{\\} \\}"),
                                    std::string(name) + " { manual: " + value + " }");
    stack_.write_config(config);
    stack_.marend().signal(SIGHUP);
    ASSERT_TRUE(stack_.marend().wait_for("MY_INFO_NOTIFICATION: revision 2")) << stack_.daemon_output();
    ASSERT_NE(stack_.iptables_save().find("/0x6000"), std::string::npos) << stack_.iptables_save();

    for (const auto& c : diverts) {
        SCOPED_TRACE(c.divert);
        expect_checked(connect(c, "after"), "after");
    }
}

TEST_F(handover_e2e, an_attempt_abandoned_at_once_leaves_its_port_usable)
{
    stack_.start(stack_.config());
    unsigned short port = 41001;
    for (const auto& c : diverts) {
        SCOPED_TRACE(c.divert);
        const std::string from = std::to_string(port++);
        const std::string client = std::string(c.client_address) + ":" + from;
        // connect() then close(): checked, so the daemon connects to the
        // server for it, but no client ever comes for that socket. The
        // client's host answers the listener's SYN-ACK with a reset, as it
        // does once the socket is closed, also when the close comes late on
        // a loaded machine: the handshake never completes.
        const std::string syn_ack = "INPUT -p tcp -d " + std::string(c.client_address) + " --dport " + from
                                    + " --tcp-flags SYN,ACK SYN,ACK -j REJECT --reject-with tcp-reset";
        topology_t::sh_in(host(c), "iptables-legacy -w -I " + syn_ack);
        morva_test::ns_process_t abandon(
            host(c), {stack_.tool("demo"), "abandon", c.address, checked_port, from});
        ASSERT_EQ(abandon.wait(), 0) << abandon.output();
        ASSERT_TRUE(stack_.marend().wait_for("new server socket " + client + " -> ")) << stack_.daemon_output();
        ASSERT_TRUE(morva_test::wait_until([&] {
            return std::regex_search(topology_t::sh_in(host(c), "iptables-legacy -w -nvxL INPUT"),
                                     std::regex("\\n *[1-9]\\d* +\\d+ +REJECT .* dpt:" + from + " "));
        })) << "the listener's SYN-ACK did not come";
        topology_t::sh_in(host(c), "iptables-legacy -w -D " + syn_ack);

        // The same port again: a new attempt, decided anew once the listener
        // has had its time to claim the old socket: the hook ran again.
        expect_checked(connect(c, "again", {"--from", from}, "15"), "again");
        EXPECT_EQ(hook_runs(c, client), 2u) << stack_.daemon_output();
    }
}

TEST_F(handover_e2e, a_client_reuses_one_port_for_consecutive_checked_connections)
{
    stack_.start(stack_.config());
    unsigned short port = 42001;
    for (const auto& c : diverts) {
        SCOPED_TRACE(c.divert);
        const std::string from = std::to_string(port++);
        // The server closes first, so the firewall host holds each closed
        // connection's client side in TIME_WAIT, until the daemon, whose
        // forward divert is on, ends it; the next one may meet it.
        for (const char* text : {"first", "second", "third"}) {
            SCOPED_TRACE(text);
            const auto connection = connect(c, text, {"--from", from, "--server-closes"});
            expect_checked(connection, text);
            EXPECT_EQ(connection.local, std::string(c.client_address) + ":" + from);
        }
        // Well within the minute the kernel itself would keep it.
        EXPECT_TRUE(morva_test::wait_until([&] {
            return topology_t::sh_in(stack_.hosts.firewall, "ss -tan state time-wait").find(":" + from)
                   == std::string::npos;
        })) << "the daemon's TIME_WAIT socket of the last connection is not ended";
    }

    // The hook now passes the port: the forwarded client's next connection
    // from the same port gets through.
    std::ofstream(stack_.path("quisad.table"))
        << std::regex_replace(morva_test::demo_quisad_table, std::regex("pass_ports : 8001"),
                              "pass_ports : 8001 " + checked_port);
    const auto passed = connect(diverts[0], "passed", {"--from", "42001", "--server-closes"});
    ASSERT_EQ(passed.status, 0) << passed.output << stack_.daemon_output();
    EXPECT_EQ(passed.reply, "peer " + passed.local + " sent \"passed\"");
}

TEST_F(handover_e2e, a_new_connection_from_the_port_of_a_live_checked_one_is_decided_once)
{
    stack_.start(stack_.config());
    unsigned short port = 43001;
    for (const auto& c : diverts) {
        // A client on the firewall host cannot lose its end unseen: that
        // host's conntrack sees its FIN or reset.
        if (!c.on_client_host)
            continue;
        SCOPED_TRACE(c.divert);
        const std::string from = std::to_string(port++);
        const std::string client = std::string(c.client_address) + ":" + from;
        // The client's host loses its end of a checked connection without a
        // word to the firewall (its FIN and any reset never leave), as a
        // rebooted or crashed client does: the firewall host still holds the
        // connection, and its conntrack entry, when the port comes again.
        const std::string silence = "OUTPUT -p tcp --sport " + from + " --dport " + checked_port
                                    + " --tcp-flags FIN,RST NONE -j ACCEPT";
        const std::string lost = "OUTPUT -p tcp --sport " + from + " --dport " + checked_port + " -j DROP";
        topology_t::sh_in(host(c), "iptables-legacy -w -I " + lost + " && iptables-legacy -w -I " + silence);
        expect_checked(connect(c, "first", {"--from", from, "--server-closes"}), "first");
        topology_t::sh_in(host(c), "ss -K -tn sport = :" + from + " and dport = :" + checked_port);
        topology_t::sh_in(host(c), "iptables-legacy -w -D " + silence + " && iptables-legacy -w -D " + lost);
        ASSERT_EQ(topology_t::sh_in(host(c), "ss -Htn sport = :" + from), "") << "the client's end is not gone";
        ASSERT_NE(topology_t::sh_in(stack_.hosts.firewall, "ss -Htn dst " + client), "")
            << "the situation under test: the firewall host still holds the connection";

        // The kernel answers the new SYN from the old connection, whose end
        // the client resets; its next SYN is a new connection: one decision,
        // one server socket, and that one claimed.
        expect_checked(connect(c, "again", {"--from", from}, "15"), "again");
        EXPECT_EQ(hook_runs(c, client), 2u) << stack_.daemon_output();
        EXPECT_EQ(stack_.daemon_output().find("closing unclaimed server socket " + client), std::string::npos)
            << stack_.daemon_output();
    }
}

TEST_F(handover_e2e, a_tcp_fast_open_syn_with_data_is_checked)
{
    // Clients send data in their SYN without a cookie.
    for (const auto& ns : {stack_.hosts.client, stack_.hosts.firewall})
        topology_t::sh_in(ns, "sysctl -q -w net.ipv4.tcp_fastopen=5");
    stack_.start(stack_.config());
    for (const auto& c : diverts) {
        SCOPED_TRACE(c.divert);
        // The client's count of SYNs whose data was, or was not, taken.
        const std::string syn_data = "nstat -asz TcpExtTCPFastOpenActive TcpExtTCPFastOpenActiveFail";
        const std::string syn_data_before = topology_t::sh_in(host(c), syn_data);
        const auto connection = connect(c, "in the syn", {"--fastopen"});
        expect_checked(connection, "in the syn");
        EXPECT_NE(topology_t::sh_in(host(c), syn_data), syn_data_before) << "the SYN carried no data";
        // The first SYN got through: no retry had to be decided anew.
        EXPECT_EQ(hook_runs(c, connection.local), 1u) << stack_.daemon_output();
    }
}

} // namespace
