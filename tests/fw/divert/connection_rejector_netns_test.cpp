// The rejector against the kernel: a rejected SYN ends the client's connect
// with ECONNREFUSED, the reset carries the rejector's marks and the SYN's
// security option, and the socket mark is set again by every configuration.
#include "fw/divert/connection_rejector.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include <boost/system/system_error.hpp>

#include "fw/service/marks.hpp"
#include "linux_firewall_config.pb.h"
#include "net/ip_options.hpp"
#include "net/ipv4_header.hpp"
#include "net/tcp_header.hpp"
#include "tests/common/fork.hpp"
#include "tests/fw/net_capabilities.hpp"
#include "tests/net/raw_capture.hpp"
#include "tests/support/netns.hpp"

namespace {

using morva_test::sh;

constexpr std::uint16_t server_port = 20001; // nothing listens here

void set_marks(kv::LinuxFirewallConfig& config, std::uint32_t local, std::uint32_t client, std::uint32_t server)
{
    config.mutable_local_delivery_mark()->set_manual(local);
    config.mutable_client_packets_mark()->set_manual(client);
    config.mutable_server_packets_mark()->set_manual(server);
}

std::uint16_t port_at(const std::vector<std::uint8_t>& packet, std::size_t offset)
{
    const std::size_t tcp = (packet[0] & 0x0f) * 4u;
    return static_cast<std::uint16_t>(packet[tcp + offset] << 8 | packet[tcp + offset + 1]);
}

std::uint8_t flags_of(const std::vector<std::uint8_t>& packet) { return packet[(packet[0] & 0x0f) * 4u + 13]; }

class ConnectionRejector : public ::testing::Test {
protected:
    void SetUp() override
    {
        set_marks(config_, 1, 2, 4);
        marks_.configure();
        // The kernel's own resets (unmarked) are dropped, so only the
        // rejector's reset, marked 2|4, can refuse the connection.
        sh("iptables-legacy -A OUTPUT -p tcp --tcp-flags RST RST -m mark --mark 0x6 -j ACCEPT");
        sh("iptables-legacy -A OUTPUT -p tcp --tcp-flags RST RST -j DROP");
    }
    void TearDown() override { sh("iptables-legacy -F OUTPUT"); }

    long marked_resets() { return std::stol(sh("iptables-legacy -L OUTPUT -v -x -n | sed -n 3p | awk '{print $1}'")); }

    boost::asio::io_context io_;
    kv::LinuxFirewallConfig config_;
    fw::service::marks_t marks_{config_};
};

struct reject_case_t {
    const char* name;
    std::vector<std::uint8_t> client_ip_options; // set with IP_OPTIONS on the client socket
    std::vector<std::uint8_t> reset_options;     // the options area expected in the reset
};

TEST_F(ConnectionRejector, RejectedSynRefusesTheClientsConnect)
{
    const reject_case_t cases[] = {
        {"no option", {}, {}},
        {"security option", {0x82, 0x03, 0xab, 0x00}, {0x82, 0x03, 0xab, 0x00}},
    };
    fw::service::connection_rejector_t rejector(io_, marks_);
    rejector.configure();
    long resets = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        morva_test::raw_capture_t capture(IPPROTO_TCP);
        const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        ASSERT_GE(client, 0);
        if (!c.client_ip_options.empty()) {
            ASSERT_EQ(::setsockopt(client, IPPROTO_IP, IP_OPTIONS, c.client_ip_options.data(),
                                   static_cast<socklen_t>(c.client_ip_options.size())),
                      0);
        }
        sockaddr_in server{};
        server.sin_family = AF_INET;
        server.sin_port = htons(server_port);
        server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&server), sizeof server), -1);
        ASSERT_EQ(errno, EINPROGRESS);

        const auto syn = capture.next_matching([](const auto& p) {
            return port_at(p, 2) == server_port && (flags_of(p) & 0x12) == 0x02;
        });
        ASSERT_TRUE(syn);
        const auto& ip = fw::net::ipv4_header_t::at(syn->data());
        const auto& tcp = fw::net::tcp_header_t::after(ip);
        const std::uint8_t* option = fw::net::find_security_option(ip.options(), ip.header_length() - 20);
        ASSERT_EQ(option != nullptr, !c.reset_options.empty());
        rejector.reject(ip, option, tcp);
        io_.restart();
        io_.run();

        pollfd p{client, POLLOUT, 0};
        ASSERT_EQ(::poll(&p, 1, 3000), 1);
        int error = 0;
        socklen_t length = sizeof error;
        ASSERT_EQ(::getsockopt(client, SOL_SOCKET, SO_ERROR, &error, &length), 0);
        EXPECT_EQ(error, ECONNREFUSED);

        const std::uint16_t client_port = tcp.source_port();
        const auto reset = capture.next_matching([&](const auto& p) {
            return (flags_of(p) & 0x04) && port_at(p, 0) == server_port && port_at(p, 2) == client_port;
        });
        ASSERT_TRUE(reset);
        EXPECT_EQ(std::vector<std::uint8_t>(reset->begin() + 20, reset->begin() + (reset->at(0) & 0x0f) * 4),
                  c.reset_options);
        EXPECT_EQ(marked_resets(), ++resets);
        ::close(client);
    }
}

TEST_F(ConnectionRejector, SetsItsMarkOnEveryConfiguration)
{
    // Without the privilege to mark sockets, a configuration with unchanged
    // marks still fails: the rejector sets its mark every time.
    const auto result = morva_test::run_in_child([this] {
        fw::service::connection_rejector_t rejector(io_, marks_);
        rejector.configure();
        morva_test::drop_net_capabilities();
        try {
            rejector.configure();
            std::fputs("no error\n", stderr);
        } catch (const boost::system::system_error& e) {
            std::fprintf(stderr, "%d %s\n", e.code().value(), e.what());
        }
        ::_exit(0);
    });
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, std::to_string(EPERM) + " cannot set socket mark: Operation not permitted\n");
}

} // namespace
