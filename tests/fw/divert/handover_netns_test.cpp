// The hand-over services together in a private namespace, with the pellad
// stand-in relaying: the daemon's server connect waits in the pool, the
// client's connection steered by TPROXY is accepted and paired with it, and
// both reach pellad, which joins them into one working connection.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <optional>
#include <string>

#include <boost/asio/io_context.hpp>
#include <gtest/gtest.h>

#include "common/scoped_fd.hpp"
#include "fw/service/marks.hpp"
#include "fw/divert/pellad_tie_manager.hpp"
#include "fw/divert/server_connector.hpp"
#include "fw/divert/server_socket_pool.hpp"
#include "fw/divert/transparent_acceptor.hpp"
#include "linux_firewall_config.pb.h"
#include "rules.pb.h"
#include "tests/common/temp_dir.hpp"
#include "tests/fw/handover_support.hpp"
#include "tests/links/pellad/child.hpp"
#include "tests/support/netns.hpp"
#include "tests/support/process.hpp"

namespace {

using boost::asio::ip::tcp;
using fw::util::scoped_fd_t;

sockaddr_in address_of(const char* ip, unsigned short port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    ::inet_pton(AF_INET, ip, &address.sin_addr);
    return address;
}

class handover_netns : public morva_test::temp_dir_test_t {
protected:
    void SetUp() override
    {
        temp_dir_test_t::SetUp();
        ASSERT_TRUE(morva_test::in_private_netns());
        log_ = morva_test::fresh_debug_log();
        config_.mutable_local_delivery_mark()->set_manual(1);
        config_.mutable_client_packets_mark()->set_manual(2);
        config_.mutable_server_packets_mark()->set_manual(4);
        config_.mutable_tproxy_listen_address()->set_address("127.0.0.1");
        config_.mutable_tproxy_listen_address()->set_port(0);
        config_.set_scan_timeout(42);
    }

    void TearDown() override
    {
        morva_test::sh_status("iptables-legacy -t mangle -F");
        morva_test::sh_status("while ip rule del fwmark 0x1/0x1 lookup 100; do :; done");
        morva_test::sh_status("ip route flush table 100");
        temp_dir_test_t::TearDown();
    }

    // Every service in list order, as one configuration apply runs them.
    void configure()
    {
        marks_.configure();
        acceptor_.configure();
        pool_.configure();
        manager_.configure();
        connector_.configure();
    }

    std::shared_ptr<morva_test::recording_log_t> log_;
    boost::asio::io_context io_;
    kv::LinuxFirewallConfig config_;
    morva_test::marend_peer_t marend_{io_};
    fw::service::marks_t marks_{config_};
    fw::service::pellad_tie_manager_t manager_{io_, config_, marend_.tie()};
    fw::service::server_socket_pool_t pool_{io_, manager_, 100};
    fw::service::transparent_acceptor_t acceptor_{io_, pool_, config_, marks_};
    fw::service::server_connector_t connector_{io_, config_, marks_, 100};
};

TEST_F(handover_netns, a_checked_connection_reaches_its_server_through_pellad)
{
    const std::string path = (dir / "pellad.sock").string();
    morva_test::child_t pellad({morva_test::built("tools/pellad-standin"), path}, dir / "pellad.txt");
    ASSERT_TRUE(pellad.wait_for("listening on")) << pellad.output();

    configure();
    ASSERT_TRUE(morva_test::run_until(io_, [&] { return marend_.pellad_requests() == 1; }));
    marend_.answer_pellad(path);
    morva_test::sh("iptables-legacy -t mangle -A PREROUTING -p tcp -d 10.99.0.1 --dport 80 -j TPROXY --on-ip "
                   "127.0.0.1 --on-port " + std::to_string(acceptor_.endpoint().port()) + " --tproxy-mark 0x1/0x1");
    morva_test::sh("ip rule add fwmark 0x1/0x1 lookup 100");
    morva_test::sh("ip route add local 0.0.0.0/0 dev lo table 100");

    // The server the client asks for is 10.99.0.1:80; the real one listens on loopback.
    scoped_fd_t server(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_in server_address = address_of("127.0.0.1", 48301);
    ASSERT_EQ(::bind(server.get(), reinterpret_cast<const sockaddr*>(&server_address), sizeof server_address), 0);
    ASSERT_EQ(::listen(server.get(), 4), 0);
    const tcp::endpoint client_endpoint(boost::asio::ip::make_address_v4("127.0.0.1"), 48302);
    const tcp::endpoint asked_for(boost::asio::ip::make_address_v4("10.99.0.1"), 80);

    // What the diverter does for a CHECK verdict: connect, then keep the socket in the pool.
    kv::RuleSet rules;
    rules.add_variable()->set_user_name("carol");
    bool connected = false;
    connector_.connect(tcp::endpoint(boost::asio::ip::make_address_v4("127.0.0.1"), 48301), nullptr, std::nullopt, 0,
                       [&](boost::system::error_code ec, scoped_fd_t fd) {
                           ASSERT_FALSE(ec) << ec.message();
                           pool_.new_server_socket(client_endpoint, asked_for, rules, std::move(fd));
                           connected = true;
                       });
    ASSERT_TRUE(morva_test::run_until(io_, [&] { return connected; }));
    scoped_fd_t server_side(::accept4(server.get(), nullptr, nullptr, SOCK_CLOEXEC));
    ASSERT_TRUE(server_side);

    // The client's SYN, marked for local delivery as the re-sent one is.
    scoped_fd_t client(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const std::uint32_t mark = 1;
    ASSERT_EQ(::setsockopt(client.get(), SOL_SOCKET, SO_MARK, &mark, sizeof mark), 0);
    const sockaddr_in client_address = address_of("127.0.0.1", 48302);
    ASSERT_EQ(::bind(client.get(), reinterpret_cast<const sockaddr*>(&client_address), sizeof client_address), 0);
    const sockaddr_in asked_address = address_of("10.99.0.1", 80);
    ASSERT_EQ(::connect(client.get(), reinterpret_cast<const sockaddr*>(&asked_address), sizeof asked_address), 0);

    ASSERT_TRUE(morva_test::run_until(io_, [&] { return pellad.output().find("variable") != std::string::npos; }))
        << pellad.output();
    EXPECT_FALSE(pool_.has_server_socket(client_endpoint, asked_for));
    EXPECT_NE(pellad.output().find("scan_timeout=42"), std::string::npos) << pellad.output();
    EXPECT_NE(pellad.output().find("user_name: \"carol\""), std::string::npos) << pellad.output();

    // Both ways through pellad, and the client's end of stream reaches the server.
    ASSERT_EQ(::send(client.get(), "hello", 5, 0), 5);
    char buffer[16] = {};
    ASSERT_EQ(::recv(server_side.get(), buffer, sizeof buffer, 0), 5);
    EXPECT_EQ(std::string(buffer, 5), "hello");
    ASSERT_EQ(::send(server_side.get(), "world", 5, 0), 5);
    ASSERT_EQ(::recv(client.get(), buffer, sizeof buffer, 0), 5);
    EXPECT_EQ(std::string(buffer, 5), "world");
    ::shutdown(client.get(), SHUT_WR);
    EXPECT_EQ(::recv(server_side.get(), buffer, sizeof buffer, 0), 0);
    EXPECT_TRUE(marend_.errors.empty());
}

} // namespace
