// Checked connections on every divert in situations real clients bring about:
// marks changed by SIGHUP, an attempt abandoned at once and its port used
// again, one port reused for consecutive connections, a port used again while
// the firewall host still holds its checked connection or after it lost it
// unseen by conntrack, and a TCP Fast Open SYN that carries data.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "common/scoped_fd.hpp"
#include "tests/e2e/namespace_thread.hpp"
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

// Data arriving on a connected socket until `count` bytes, the end of stream,
// or a limit for a loaded machine.
std::string receive(int fd, std::size_t count)
{
    std::string text;
    char buffer[256];
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (text.size() < count && std::chrono::steady_clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0)
            continue;
        const ssize_t n = ::read(fd, buffer, std::min(sizeof buffer, count - text.size()));
        if (n <= 0)
            break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    return text;
}

// Whether the peer ends its stream (with nothing more sent) within the limit.
bool at_end(int fd)
{
    char byte;
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 20000) == 1 && ::read(fd, &byte, 1) == 0;
}

// A server the test holds in a host's namespace, on a port the demo's servers
// leave free. It answers as they do, but never closes a connection on its
// own: one it holds stays open for as long as the test needs it (the demo's
// servers close a connection idle for 10 s).
class held_server_t {
public:
    static constexpr unsigned short port = 8090;

    held_server_t(const std::string& ns, const std::string& address)
    {
        morva_test::in_namespace(ns, [&] {
            listener_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
            const int on = 1;
            sockaddr_in local{};
            local.sin_family = AF_INET;
            local.sin_port = htons(port);
            ::inet_pton(AF_INET, address.c_str(), &local.sin_addr);
            if (!listener_ || ::setsockopt(listener_.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0
                || ::bind(listener_.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0
                || ::listen(listener_.get(), 16) != 0)
                throw std::runtime_error("cannot listen on " + address + ": " + std::strerror(errno));
        });
    }

    // The next connection, kept open: its descriptor, or -1 when none comes
    // within the limit.
    int hold()
    {
        held_.push_back(accept_next([] { return false; }));
        return held_.back().get();
    }

    // Answers the next connection as the demo's servers do, unless `client`
    // ends before one comes.
    void answer(morva_test::ns_process_t& client)
    {
        const fw::util::scoped_fd_t fd
            = accept_next([&] { return client.wait(std::chrono::milliseconds(0)).has_value(); });
        if (!fd)
            return;
        std::string line;
        while (line.find('\n') == std::string::npos) {
            const std::string more = receive(fd.get(), 1);
            if (more.empty())
                return;
            line += more;
        }
        sockaddr_in peer{};
        socklen_t size = sizeof peer;
        ::getpeername(fd.get(), reinterpret_cast<sockaddr*>(&peer), &size);
        char address[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &peer.sin_addr, address, sizeof address);
        const std::string reply = "peer " + std::string(address) + ":" + std::to_string(ntohs(peer.sin_port))
                                  + " sent \"" + line.substr(0, line.find('\n')) + "\"";
        ::send(fd.get(), reply.data(), reply.size(), MSG_NOSIGNAL);
    }

private:
    template <typename Given_up>
    fw::util::scoped_fd_t accept_next(Given_up given_up)
    {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (std::chrono::steady_clock::now() < end && !given_up()) {
            pollfd p{listener_.get(), POLLIN, 0};
            if (::poll(&p, 1, 100) == 1)
                return fw::util::scoped_fd_t(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        }
        return fw::util::scoped_fd_t();
    }

    fw::util::scoped_fd_t listener_;
    std::vector<fw::util::scoped_fd_t> held_;
};

// A connection started from a fixed port of a host.
fw::util::scoped_fd_t connect_from(const std::string& ns, const std::string& address, unsigned short port,
                                   const std::string& from)
{
    fw::util::scoped_fd_t fd;
    morva_test::in_namespace(ns, [&] {
        fd.reset(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        const int on = 1;
        sockaddr_in local{}, remote{};
        local.sin_family = remote.sin_family = AF_INET;
        local.sin_port = htons(static_cast<unsigned short>(std::stoi(from)));
        remote.sin_port = htons(port);
        ::inet_pton(AF_INET, address.c_str(), &remote.sin_addr);
        if (!fd || ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0
            || ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0
            || (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&remote), sizeof remote) != 0
                && errno != EINPROGRESS))
            throw std::runtime_error("cannot connect from port " + from + ": " + std::strerror(errno));
    });
    return fd;
}

// How the firewall host's end of a connection stands once its client's end
// is gone, and the state its conntrack entry then stays in. (FIN_WAIT lasts
// only until a FIN is sent again: conntrack takes it for the other side's.)
enum class end_t {
    established,   // ESTABLISHED
    client_closed, // CLOSE_WAIT: the client's FIN came first
    server_closed, // LAST_ACK: the server closed; the firewall host's FIN is never answered
};

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

    // Where the held server of a divert runs: the server host, or the
    // firewall host for the input divert.
    const std::string& server_host(const divert_case_t& c) const
    {
        return std::string(c.divert) == "input" ? stack_.hosts.firewall : stack_.hosts.server;
    }

    // The rules of the client's host that keep every FIN and reset from
    // `from` to the held server inside it.
    std::vector<std::string> silence(const std::string& from) const
    {
        const std::string connection
            = "OUTPUT -p tcp --sport " + from + " --dport " + std::to_string(held_server_t::port);
        return {connection + " -j DROP", connection + " --tcp-flags FIN,RST NONE -j ACCEPT"};
    }

    // A checked connection from `from` to the held server, carried end to
    // end; then its client's host loses its end without a word to the
    // firewall host, as a crashed client, or a NAT that forgot the mapping,
    // does: its FIN and resets stay inside until end_silence. The firewall
    // host's end is left as `end` says; the daemon has no timer that ends it.
    void lose_client_end(const divert_case_t& c, held_server_t& server, const std::string& from, end_t end)
    {
        const std::string client = std::string(c.client_address) + ":" + from;
        fw::util::scoped_fd_t fd = connect_from(host(c), c.address, held_server_t::port, from);
        ASSERT_EQ(morva_test::connect_result(fd.get()), 0) << stack_.daemon_output();
        const int held = server.hold();
        ASSERT_GE(held, 0) << "the daemon did not connect to the server\n" << stack_.daemon_output();
        ASSERT_EQ(::send(fd.get(), "first", 5, MSG_NOSIGNAL), 5);
        ASSERT_EQ(receive(held, 5), "first") << stack_.daemon_output() << stack_.pellad().output();
        ASSERT_TRUE(stack_.pellad().wait_for(morva_test::socket_variable("src_address", client)))
            << stack_.pellad().output();
        if (end == end_t::client_closed) {
            ::shutdown(fd.get(), SHUT_WR);
            ASSERT_TRUE(at_end(held)) << "the client's FIN was not carried\n" << stack_.pellad().output();
        }
        for (const std::string& rule : silence(from))
            topology_t::sh_in(host(c), "iptables-legacy -w -I " + rule);
        // An abortive close: the reset stays inside, the socket is gone at once.
        const linger abort{1, 0};
        ::setsockopt(fd.get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        fd.reset();
        ASSERT_EQ(topology_t::sh_in(host(c), "ss -Htan sport = :" + from), "") << "the client's end is not gone";
        if (end != end_t::server_closed)
            return;
        // The server ends its side, and pellad the client side: the client's
        // host answers that FIN, and each one sent again, with a reset that
        // stays inside.
        ::shutdown(held, SHUT_WR);
        ASSERT_TRUE(morva_test::wait_until(
            [&] { return conntrack_entry(c, from).find(" LAST_ACK ") != std::string::npos; },
            std::chrono::seconds(30), std::chrono::milliseconds(50)))
            << conntrack_entry(c, from) << topology_t::sh_in(stack_.hosts.firewall, "ss -Htan dst " + client);
    }

    void end_silence(const divert_case_t& c, const std::string& from)
    {
        for (const std::string& rule : silence(from))
            topology_t::sh_in(host(c), "iptables-legacy -w -D " + rule);
    }

    // The firewall host's conntrack entry of the connection from `from` to
    // the held server, as /proc/net/nf_conntrack shows it; empty when none.
    std::string conntrack_entry(const divert_case_t& c, const std::string& from) const
    {
        return topology_t::sh_in(stack_.hosts.firewall, std::string("grep -F \"src=") + c.client_address + " dst="
                                                            + c.address + " sport=" + from + " dport="
                                                            + std::to_string(held_server_t::port)
                                                            + " \" /proc/net/nf_conntrack || true");
    }

    // The port comes again: a connection from `from` to the held server,
    // which answers it.
    morva_test::connection_t connect_again(const divert_case_t& c, held_server_t& server, const std::string& from)
    {
        auto client = stack_.start_connect(host(c), c.address, std::to_string(held_server_t::port), "again", "15",
                                           {"--from", from, "--server-closes"});
        server.answer(*client);
        return morva_test::stack_t::finish_connect(*client, std::chrono::seconds(30));
    }

    // The hook passes the held server's port too while `port` is not empty.
    void set_pass_ports(const std::string& port) const
    {
        std::ofstream(stack_.path("quisad.table"))
            << (port.empty() ? std::string(morva_test::demo_quisad_table)
                             : std::regex_replace(morva_test::demo_quisad_table, std::regex("pass_ports : 8001"),
                                                  "pass_ports : 8001 " + port));
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
        held_server_t server(server_host(c), c.address);
        ASSERT_NO_FATAL_FAILURE(lose_client_end(c, server, from, end_t::established));
        end_silence(c, from);
        // Nothing ends the firewall host's socket: pellad holds it open, the
        // server holds its end open, and the client sends nothing more.
        ASSERT_NE(topology_t::sh_in(stack_.hosts.firewall, "ss -Htn state established dst " + client), "")
            << "the situation under test: the firewall host still holds the connection";

        // That socket answers the new SYN, and the client resets it; the
        // client's next SYN is a new connection: one decision, one server
        // socket, and that one claimed.
        const auto again = connect_again(c, server, from);
        expect_checked(again, "again");
        EXPECT_EQ(hook_runs(c, client), 2u) << stack_.daemon_output();
        EXPECT_EQ(stack_.daemon_output().find("closing unclaimed server socket " + client), std::string::npos)
            << stack_.daemon_output();
    }
}

// What the firewall host's conntrack still holds when the client's port
// comes again, the connection itself gone from both hosts; and the verdict
// the hook gives the new connection.
struct stale_case_t {
    const char* name;
    const divert_case_t& divert;
    end_t end;
    const char* conntrack_state;
    const char* verdict;
    // Another program's transparent proxy listens on the firewall host, on
    // every address and the server's port: no socket of the daemon's.
    bool beside_a_transparent_listener = false;
};

const stale_case_t stale_cases[] = {
    {"forward_established_checked", diverts[0], end_t::established, "ESTABLISHED", "check"},
    {"forward_client_closed_checked", diverts[0], end_t::client_closed, "CLOSE_WAIT", "check"},
    {"forward_server_closed_checked", diverts[0], end_t::server_closed, "LAST_ACK", "check"},
    {"forward_established_passed", diverts[0], end_t::established, "ESTABLISHED", "pass"},
    {"forward_established_checked_beside_a_transparent_listener", diverts[0], end_t::established, "ESTABLISHED",
     "check", true},
    {"input_established_checked", diverts[1], end_t::established, "ESTABLISHED", "check"},
    {"input_client_closed_checked", diverts[1], end_t::client_closed, "CLOSE_WAIT", "check"},
    {"input_server_closed_checked", diverts[1], end_t::server_closed, "LAST_ACK", "check"},
    {"input_established_passed", diverts[1], end_t::established, "ESTABLISHED", "pass"},
};

TEST_F(handover_e2e, a_port_used_again_after_the_firewall_host_lost_its_checked_connection_is_decided_and_carried)
{
    // The closing states last long enough for any machine.
    topology_t::sh_in(stack_.hosts.firewall, "sysctl -q -w net.netfilter.nf_conntrack_tcp_timeout_close_wait=600 "
                                             "net.netfilter.nf_conntrack_tcp_timeout_last_ack=600");
    stack_.start(stack_.config());
    unsigned short port = 44001;
    for (const stale_case_t& s : stale_cases) {
        SCOPED_TRACE(s.name);
        const divert_case_t& c = s.divert;
        const std::string from = std::to_string(port++);
        const std::string client = std::string(c.client_address) + ":" + from;
        held_server_t server(server_host(c), c.address);
        ASSERT_NO_FATAL_FAILURE(lose_client_end(c, server, from, s.end));
        // The firewall host's socket goes without a reset reaching conntrack,
        // as after a retransmission or keepalive timeout.
        const std::string reset = "OUTPUT -p tcp -s " + std::string(c.address) + " --sport "
                                  + std::to_string(held_server_t::port) + " -d " + c.client_address + " --dport "
                                  + from + " --tcp-flags RST RST -j DROP";
        topology_t::sh_in(stack_.hosts.firewall, "iptables-legacy -w -t raw -I " + reset);
        topology_t::sh_in(stack_.hosts.firewall, "ss -K -tn dst " + client);
        topology_t::sh_in(stack_.hosts.firewall, "iptables-legacy -w -t raw -D " + reset);
        end_silence(c, from);
        ASSERT_EQ(topology_t::sh_in(stack_.hosts.firewall, "ss -Htn dst " + client), "")
            << "the firewall host's end is not gone";
        const std::string entry = conntrack_entry(c, from);
        ASSERT_NE(entry.find(std::string(" ") + s.conntrack_state + " "), std::string::npos)
            << "the situation under test: conntrack still holds the connection: " << entry;
        ASSERT_EQ(entry.find(" mark=0 "), std::string::npos) << "not marked as the daemon's: " << entry;

        std::optional<morva_test::ns_process_t> neighbour;
        if (s.beside_a_transparent_listener) {
            neighbour.emplace(stack_.hosts.firewall,
                              std::vector<std::string>{stack_.tool("demo"), "serve", "0.0.0.0",
                                                       std::to_string(held_server_t::port), "--transparent"});
            ASSERT_TRUE(neighbour->wait_for("listening")) << neighbour->output();
        }
        if (std::string(s.verdict) == "pass")
            set_pass_ports(std::to_string(held_server_t::port));
        const auto again = connect_again(c, server, from);
        set_pass_ports("");
        if (neighbour) {
            EXPECT_EQ(neighbour->output().find("accepted"), std::string::npos) << neighbour->output();
        }
        if (std::string(s.verdict) == "pass") {
            EXPECT_EQ(again.status, 0) << again.output << stack_.daemon_output();
            EXPECT_EQ(again.reply, "peer " + client + " sent \"again\"");
        } else {
            expect_checked(again, "again");
        }
        EXPECT_EQ(hook_runs(c, client), 2u) << stack_.daemon_output();
        EXPECT_EQ(stack_.daemon_output().find("no server socket is open for " + client), std::string::npos)
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
