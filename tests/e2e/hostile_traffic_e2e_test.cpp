// What one connection does wrong must cost that connection alone, end to end:
// a forged SYN from a source the firewall cannot route back to, decided
// REJECT, and a server connect that fails at once in the security-option mode.
// Before and after, the daemon serves, and its stop leaves nothing behind.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <regex>
#include <string>
#include <vector>

#include "tests/e2e/namespace_thread.hpp"
#include "tests/e2e/stack.hpp"
#include "tests/net/ipv4_tcp_packet.hpp"

namespace {

using fw::util::scoped_fd_t;
using morva_test::topology_t;

// A SYN with a correct TCP checksum, so the firewall's conntrack takes it as new.
std::vector<std::uint8_t> forged_syn(const std::string& source, const std::string& destination,
                                     std::uint16_t port)
{
    morva_test::ipv4_tcp_packet_t syn{.source = source, .destination = destination, .source_port = 40000,
                                      .destination_port = port};
    std::vector<std::uint8_t> p = syn.bytes();
    std::uint32_t sum = 6 + 20;
    for (std::size_t i = 12; i < 20; i += 2)
        sum += p[i] << 8 | p[i + 1];
    for (std::size_t i = 20; i < 40; i += 2)
        sum += p[i] << 8 | p[i + 1];
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    p[36] = static_cast<std::uint8_t>(~sum >> 8);
    p[37] = static_cast<std::uint8_t>(~sum);
    return p;
}

void send_raw(const std::vector<std::uint8_t>& datagram, const std::string& destination)
{
    scoped_fd_t fd(::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW));
    sockaddr_in to{};
    to.sin_family = AF_INET;
    ::inet_pton(AF_INET, destination.c_str(), &to.sin_addr);
    if (!fd || ::sendto(fd.get(), datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                        sizeof to) != static_cast<ssize_t>(datagram.size()))
        throw std::runtime_error("cannot send the forged SYN");
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
        send_raw(forged_syn("10.250.0.5", topology_t::server_address, 8003), topology_t::server_address);
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
    ASSERT_EQ(::send(first.get(), "x", 1, MSG_NOSIGNAL), 1);
    ::shutdown(first.get(), SHUT_WR);
    std::string reply;
    pollfd p{first.get(), POLLIN, 0};
    for (char buffer[256]; ::poll(&p, 1, 20000) == 1;) {
        const ssize_t n = ::recv(first.get(), buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        reply.append(buffer, static_cast<std::size_t>(n));
    }
    EXPECT_NE(reply.find("sent \"x\""), std::string::npos) << reply;

    EXPECT_EQ(stack.stop(), 0) << stack.daemon_output();
    stack.expect_nothing_left();
}

} // namespace
