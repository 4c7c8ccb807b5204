// What one connection does wrong must cost that connection alone, end to end:
// a forged SYN from a source the firewall cannot route back to, decided
// REJECT, a server connect that fails at once in the security-option mode,
// checked attempts whose clients never come, and ones whose SYN-ACKs are lost
// or whose handshake outlives their server socket.
// Before and after, the daemon serves, and its stop leaves nothing behind.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <boost/filesystem/operations.hpp>

#include "net/checksum.hpp"
#include "tests/e2e/namespace_thread.hpp"
#include "tests/e2e/stack.hpp"
#include "tests/net/ipv4_tcp_packet.hpp"
#include "tests/net/raw_capture.hpp"

namespace {

using fw::util::scoped_fd_t;
using morva_test::topology_t;
using namespace std::chrono_literals;

// A segment with correct checksums, so the firewall's conntrack takes it in.
std::vector<std::uint8_t> forged(const morva_test::ipv4_tcp_packet_t& segment)
{
    std::vector<std::uint8_t> p = segment.bytes();
    fw::net::reseal_tcp_datagram(p.data(), p.size());
    return p;
}

void send_raw(const std::vector<std::vector<std::uint8_t>>& datagrams, const std::string& destination)
{
    scoped_fd_t fd(::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW));
    sockaddr_in to{};
    to.sin_family = AF_INET;
    ::inet_pton(AF_INET, destination.c_str(), &to.sin_addr);
    for (const auto& datagram : datagrams)
        if (!fd || ::sendto(fd.get(), datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                            sizeof to) != static_cast<ssize_t>(datagram.size()))
            throw std::runtime_error("cannot send a forged segment");
}

std::size_t open_descriptors(pid_t pid)
{
    const boost::filesystem::path fds("/proc/" + std::to_string(pid) + "/fd");
    return static_cast<std::size_t>(std::distance(boost::filesystem::directory_iterator(fds),
                                                  boost::filesystem::directory_iterator()));
}

// Whether `done` holds within `timeout`, asked every 100 ms.
bool eventually(const std::function<bool()>& done, std::chrono::milliseconds timeout)
{
    for (const auto end = std::chrono::steady_clock::now() + timeout; !done();) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(100ms);
    }
    return true;
}

std::size_t occurrences(const std::string& text, const std::string& needle)
{
    std::size_t n = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++n;
    return n;
}

// Sends `text` on a connected socket and ends its side: what comes back
// until the other side ends (empty when sending fails).
std::string exchange(int fd, const std::string& text)
{
    if (::send(fd, text.data(), text.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(text.size()))
        return "";
    ::shutdown(fd, SHUT_WR);
    std::string reply;
    pollfd p{fd, POLLIN, 0};
    for (char buffer[256]; ::poll(&p, 1, 20000) == 1;) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        reply.append(buffer, static_cast<std::size_t>(n));
    }
    return reply;
}

// The daemon still checks a connection, end to end.
void expect_serving(morva_test::stack_t& stack, const std::string& text)
{
    const auto c = stack.connect(stack.hosts.client, topology_t::server_address, "8080", text);
    ASSERT_EQ(c.status, 0) << c.output << stack.daemon_output();
    EXPECT_NE(c.reply.find("sent \"" + text + "\""), std::string::npos) << c.reply;
    EXPECT_TRUE(stack.pellad().wait_for(morva_test::socket_variable("src_address", c.local)))
        << stack.pellad().output();
}

TEST(hostile_traffic_e2e, a_forged_syn_decided_reject_whose_reset_cannot_leave_costs_only_that_reset)
{
    morva_test::stack_t stack;
    // The forged source must reach the queue: no reverse-path filter on the firewall.
    topology_t::sh_in(stack.hosts.firewall,
                      "sysctl -q -w net.ipv4.conf.all.rp_filter=0 net.ipv4.conf.to-client.rp_filter=0");
    stack.start(stack.config());

    // The demo hook rejects port 8003; the firewall has no route back to 10.250.0.5.
    morva_test::in_namespace(stack.hosts.client, [] {
        send_raw({forged({.source = "10.250.0.5", .destination = topology_t::server_address, .source_port = 40000,
                          .destination_port = 8003})},
                 topology_t::server_address);
    });
    ASSERT_TRUE(stack.marend().wait_for("Warning: Raw sender: sendto failed: Network is unreachable; dropping TCP "
                                        "RST,ACK 10.200.2.2:8003 -> 10.250.0.5:40000"))
        << stack.daemon_output();

    expect_serving(stack, "after the forged SYN");
    EXPECT_EQ(stack.stop(), 0) << stack.daemon_output();
    stack.expect_nothing_left();
}

TEST(hostile_traffic_e2e, a_server_connect_failing_at_once_in_the_security_option_mode_resets_only_its_client)
{
    morva_test::stack_t stack;
    // One local port for the daemon's connections: a second connection to the
    // same server finds none, and its connect fails at once.
    // The listener gets a port of its own, outside that range.
    topology_t::sh_in(stack.hosts.firewall, "sysctl -q -w net.ipv4.ip_local_port_range=\"40000 40000\"");
    const std::string config = std::regex_replace(stack.config(), std::regex("port: 0 \\}"), "port: 3129 }");
    stack.start(config + "process_ip_security_option: true\n");

    scoped_fd_t first, second;
    morva_test::in_namespace(stack.hosts.client,
                             [&] { first = morva_test::start_tcp_connect(topology_t::server_address, 8080); });
    ASSERT_EQ(morva_test::connect_result(first.get()), 0) << stack.daemon_output();
    // The daemon's side of the first connection holds the port once pellad has the pair.
    ASSERT_TRUE(stack.pellad().wait_for("COMPLEMENTARY_CONNECTIONS")) << stack.pellad().output();

    morva_test::in_namespace(stack.hosts.client,
                             [&] { second = morva_test::start_tcp_connect(topology_t::server_address, 8080); });
    EXPECT_EQ(morva_test::connect_result(second.get()), ECONNREFUSED) << stack.daemon_output();

    // The daemon lives on, and so does the first connection.
    ASSERT_FALSE(stack.marend().wait(std::chrono::milliseconds(0))) << stack.daemon_output();
    const std::string reply = exchange(first.get(), "x");
    EXPECT_NE(reply.find("sent \"x\""), std::string::npos) << reply;

    EXPECT_EQ(stack.stop(), 0) << stack.daemon_output();
    stack.expect_nothing_left();
}

// The first `lost` SYN-ACKs that reach the client host are dropped there.
void lose_first_syn_acks(const std::string& client_host, int lost)
{
    const std::string syn_ack = "iptables-legacy -A INPUT -p tcp --tcp-flags SYN,ACK SYN,ACK ";
    topology_t::sh_in(client_host, syn_ack + "-m statistic --mode nth --every " + std::to_string(lost + 1)
                                       + " --packet " + std::to_string(lost) + " -j ACCEPT");
    topology_t::sh_in(client_host, syn_ack + "-j DROP");
}

int syn_acks_lost(const std::string& client_host)
{
    return std::stoi(topology_t::sh_in(client_host, "iptables-legacy -L INPUT -v -x -n | awk '/DROP/ { print $1 }'"));
}

// The other side of that bound: a client whose first five SYN-ACKs are lost
// completes its handshake seconds after the daemon connected for it, as it
// would without the daemon, and its checked connection carries data.
TEST(hostile_traffic_e2e, a_checked_connection_whose_first_syn_acks_are_lost_completes_and_carries_data)
{
    morva_test::stack_t stack;
    stack.start(stack.config());
    lose_first_syn_acks(stack.hosts.client, 5);

    const std::string text = "after five lost SYN-ACKs";
    const auto c = stack.connect(stack.hosts.client, topology_t::server_address, "8080", text, "15");
    ASSERT_EQ(c.status, 0) << c.output << stack.daemon_output();
    EXPECT_NE(c.reply.find("sent \"" + text + "\""), std::string::npos) << c.output << stack.daemon_output();
    EXPECT_TRUE(stack.pellad().wait_for(morva_test::socket_variable("src_address", c.local)))
        << stack.pellad().output();
    // The losses happened (a sixth SYN-ACK may cross the client's ACK).
    EXPECT_GE(syn_acks_lost(stack.hosts.client), 5);
    EXPECT_EQ(occurrences(stack.daemon_output(), "abandoned server sockets"), 0u) << stack.daemon_output();

    EXPECT_EQ(stack.stop(), 0) << stack.daemon_output();
    stack.expect_nothing_left();
}

// A client whose SYN-ACKs are all lost until the pool has freed its server
// socket tries again with the same port: no socket of the daemon answers that
// SYN any more, so it is a new connection, decided and carried, whatever
// conntrack still holds for the port. Here the listener gives each handshake
// up at its first time-out (no SYN-ACK retries), so the pool sees none
// pending, and every SYN-ACK is lost until it has freed the server socket.
TEST(hostile_traffic_e2e, a_client_trying_again_after_its_server_socket_is_gone_is_decided_anew_and_carried)
{
    morva_test::stack_t stack;
    topology_t::sh_in(stack.hosts.firewall, "sysctl -q -w net.ipv4.tcp_synack_retries=0");
    stack.start(stack.config());
    const std::string drop = "INPUT -p tcp --tcp-flags SYN,ACK SYN,ACK -j DROP";
    topology_t::sh_in(stack.hosts.client, "iptables-legacy -A " + drop);

    scoped_fd_t client;
    morva_test::in_namespace(stack.hosts.client,
                             [&] { client = morva_test::start_tcp_connect(topology_t::server_address, 8080); });
    ASSERT_TRUE(stack.marend().wait_for("Server socket pool: closing 1 abandoned server sockets",
                                        std::chrono::seconds(60)))
        << stack.daemon_output();
    const std::size_t abandoned_at = stack.daemon_output().find("closing 1 abandoned server sockets");
    topology_t::sh_in(stack.hosts.client, "iptables-legacy -D " + drop);

    // The client's next SYN comes within its own retry schedule (1, 3, 7, 15, 31 s).
    ASSERT_EQ(morva_test::connect_result(client.get(), std::chrono::seconds(90)), 0) << stack.daemon_output();
    ASSERT_TRUE(stack.pellad().wait_for("COMPLEMENTARY_CONNECTIONS")) << stack.pellad().output();
    const std::string after = stack.daemon_output().substr(abandoned_at);
    EXPECT_NE(after.find("Session "), std::string::npos) << "not decided anew:\n" << after;
    EXPECT_EQ(after.find("closing client socket"), std::string::npos) << after;

    const std::string reply = exchange(client.get(), "x");
    EXPECT_NE(reply.find("sent \"x\""), std::string::npos) << reply;

    EXPECT_EQ(stack.stop(), 0) << stack.daemon_output();
    stack.expect_nothing_left();
}

// The TCP header of an IPv4 packet.
const std::uint8_t* tcp_header(const std::vector<std::uint8_t>& packet)
{
    return packet.data() + (packet[0] & 0x0f) * 4;
}

std::uint32_t read_u32(const std::uint8_t* p)
{
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
}

// A client that completes its handshake after its server socket is gone is
// reset: an orderly end would look like a server that sent nothing. The
// listener answers with SYN cookies only, so the pool sees no handshake
// pending and frees the server socket; the client, a raw socket, holds the
// cookie and acknowledges it only then.
TEST(hostile_traffic_e2e, a_handshake_completed_after_its_server_socket_is_gone_is_reset)
{
    constexpr std::uint16_t client_port = 41234;
    constexpr std::uint32_t client_sequence = 7000;
    morva_test::stack_t stack;
    topology_t::sh_in(stack.hosts.firewall, "sysctl -q -w net.ipv4.tcp_syncookies=2");
    stack.start(stack.config());
    // The client host's own TCP knows nothing of the handshake: it must not reset it.
    topology_t::sh_in(stack.hosts.client, "iptables-legacy -A OUTPUT -p tcp --tcp-flags RST RST -j DROP");

    const auto from_server = [&](std::uint8_t flags) {
        return [=](const std::vector<std::uint8_t>& packet) {
            const std::uint8_t* t = tcp_header(packet);
            return (t[0] << 8 | t[1]) == 8080 && (t[2] << 8 | t[3]) == client_port && (t[13] & flags) == flags;
        };
    };
    morva_test::ipv4_tcp_packet_t segment{.source = topology_t::client_address,
                                          .destination = topology_t::server_address,
                                          .source_port = client_port,
                                          .destination_port = 8080,
                                          .sequence = client_sequence};
    std::optional<std::vector<std::uint8_t>> syn_ack;
    morva_test::in_namespace(stack.hosts.client, [&] {
        morva_test::raw_capture_t capture(IPPROTO_TCP);
        send_raw({forged(segment)}, topology_t::server_address);
        syn_ack = capture.next_matching(from_server(0x12), 60000);
    });
    ASSERT_TRUE(syn_ack) << stack.daemon_output();
    ASSERT_TRUE(stack.marend().wait_for("Server socket pool: closing 1 abandoned server sockets",
                                        std::chrono::seconds(60)))
        << stack.daemon_output();

    segment.sequence = client_sequence + 1;
    segment.acknowledgement = read_u32(tcp_header(*syn_ack) + 4) + 1;
    segment.flags = 0x10; // ACK
    std::optional<std::vector<std::uint8_t>> reset;
    morva_test::in_namespace(stack.hosts.client, [&] {
        morva_test::raw_capture_t capture(IPPROTO_TCP);
        send_raw({forged(segment)}, topology_t::server_address);
        reset = capture.next_matching(from_server(0x04), 60000);
    });
    EXPECT_TRUE(reset) << stack.daemon_output();
    EXPECT_TRUE(stack.marend().wait_for("; closing client socket")) << stack.daemon_output();

    EXPECT_EQ(stack.stop(), 0) << stack.daemon_output();
    stack.expect_nothing_left();
}

TEST(hostile_traffic_e2e, checked_connections_whose_clients_never_complete_hold_nothing_for_long)
{
    constexpr int batch = 50;
    constexpr std::uint16_t checked = 8080;
    // Clients that make the daemon connect to the server for them and never
    // come for that connection.
    struct {
        const char* name;
        std::function<void(const std::string& client_host)> send;
    } const kinds[] = {
        {"SYN then reset from forged sources",
         [](const std::string& client_host) {
             std::vector<std::vector<std::uint8_t>> segments;
             for (int i = 0; i < batch; ++i)
                 for (const std::uint16_t flags : {0x02, 0x04})
                     segments.push_back(forged({.source = "10.250.0." + std::to_string(i + 1),
                                                .destination = topology_t::server_address,
                                                .source_port = static_cast<std::uint16_t>(40000 + i),
                                                .destination_port = checked,
                                                .sequence = flags == 0x02 ? 1000u : 1001u,
                                                .flags = flags}));
             morva_test::in_namespace(client_host, [&] { send_raw(segments, topology_t::server_address); });
         }},
        {"connect then close",
         [](const std::string& client_host) {
             morva_test::in_namespace(client_host, [] {
                 for (int i = 0; i < batch; ++i)
                     morva_test::start_tcp_connect(topology_t::server_address, checked);
             });
         }},
    };

    morva_test::stack_t stack;
    // The forged sources must reach the queue: no reverse-path filter on the firewall.
    topology_t::sh_in(stack.hosts.firewall,
                      "sysctl -q -w net.ipv4.conf.all.rp_filter=0 net.ipv4.conf.to-client.rp_filter=0");
    stack.start(stack.config());
    const pid_t daemon = stack.daemon_pid();
    const std::string held_by_server =
        "ss -Htn state connected exclude time-wait \"( sport = :" + std::to_string(checked) + " )\"";

    for (const auto& kind : kinds) {
        SCOPED_TRACE(kind.name);
        const std::size_t descriptors_before = open_descriptors(daemon);
        const std::string added = "Server socket pool: new server socket ";
        const std::size_t added_before = occurrences(stack.daemon_output(), added);

        kind.send(stack.hosts.client);
        // The situation under test: the daemon has connected to the server
        // for every one of them.
        ASSERT_TRUE(eventually([&] { return occurrences(stack.daemon_output(), added) >= added_before + batch; },
                               30s))
            << stack.daemon_output();

        // Within the pool's bound of a few seconds plus a margin (not its 300 s
        // expiry), nothing of them is left with the daemon or with the server.
        std::size_t descriptors = 0;
        std::string server_connections;
        eventually(
            [&] {
                descriptors = open_descriptors(daemon);
                server_connections = topology_t::sh_in(stack.hosts.server, held_by_server);
                return descriptors <= descriptors_before + 3 && server_connections.empty();
            },
            12s);
        EXPECT_LE(descriptors, descriptors_before + 3) << "before: " << descriptors_before;
        EXPECT_EQ(server_connections, "");

        expect_serving(stack, std::string("after ") + kind.name);
    }
    EXPECT_EQ(stack.stop(), 0) << stack.daemon_output();
    stack.expect_nothing_left();
}

} // namespace
