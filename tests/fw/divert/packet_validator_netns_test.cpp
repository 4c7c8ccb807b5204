// The validator's rules over a table of packets. Netns: it reads the listening
// endpoint of a real transparent acceptor.
#include "fw/divert/packet_validator.hpp"

#include <gtest/gtest.h>

#include <optional>

#include "fw/service/marks.hpp"
#include "fw/divert/transparent_acceptor.hpp"
#include "linux_firewall_config.pb.h"
#include "net/ipv4_header.hpp"
#include "net/tcp_header.hpp"
#include "tests/net/ipv4_tcp_packet.hpp"

namespace {

using morva_test::ipv4_tcp_packet_t;
using validator_t = fw::service::packet_validator_t;

struct no_clients_t : fw::service::transparent_acceptor_t::delegate_t {
    void new_client_socket(const boost::asio::ip::tcp::endpoint&, const boost::asio::ip::tcp::endpoint&,
                           fw::util::scoped_fd_t&&) override
    {
    }
};

enum class check_t { syn, syn_ack };

// The reason the validator gives, or nothing for a valid packet.
std::optional<std::string> reason(const validator_t& validator, check_t check, const ipv4_tcp_packet_t& packet,
                                  std::uint32_t mark)
{
    const auto bytes = packet.bytes();
    const auto& ip = fw::net::ipv4_header_t::at(bytes.data());
    const auto& tcp = fw::net::tcp_header_t::after(ip);
    try {
        if (check == check_t::syn)
            validator.validate_syn(ip, tcp, mark);
        else
            validator.validate_syn_ack(ip, tcp, mark);
        return std::nullopt;
    } catch (const validator_t::invalid_packet_t& e) {
        return std::string(e.what());
    }
}

void set_marks(kv::LinuxFirewallConfig& config, std::uint32_t client, std::uint32_t server)
{
    config.mutable_local_delivery_mark()->set_manual(1);
    config.mutable_client_packets_mark()->set_manual(client);
    config.mutable_server_packets_mark()->set_manual(server);
}

class PacketValidator : public ::testing::Test {
protected:
    void SetUp() override
    {
        set_marks(config_, 2, 4);
        config_.mutable_tproxy_listen_address()->set_address("127.0.0.1");
        config_.mutable_tproxy_listen_address()->set_port(0);
        marks_.configure();
        acceptor_.configure();
        port_ = acceptor_.endpoint().port();
        ASSERT_NE(port_, 0);
    }

    // A packet from 10.0.0.1:5000 to the listener's address.
    ipv4_tcp_packet_t packet(std::uint16_t flags, std::uint16_t destination_port = 80) const
    {
        return {.destination = "127.0.0.1", .destination_port = destination_port, .flags = flags};
    }

    boost::asio::io_context io_;
    kv::LinuxFirewallConfig config_;
    fw::service::marks_t marks_{config_};
    no_clients_t clients_;
    fw::service::transparent_acceptor_t acceptor_{io_, clients_, config_, marks_};
    std::uint16_t port_ = 0;
};

struct rule_case_t {
    const char* name;
    check_t check;
    ipv4_tcp_packet_t packet;
    std::uint32_t mark;
    std::optional<std::string> expected;
};

TEST_F(PacketValidator, AppliesItsRulesInOrder)
{
    validator_t validator(marks_, acceptor_);
    validator.configure();
    const std::string direct = "direct connection to 127.0.0.1:" + std::to_string(port_) + " is not allowed";
    const rule_case_t cases[] = {
        {"plain syn", check_t::syn, packet(0x02), 0, std::nullopt},
        {"both daemon marks", check_t::syn, packet(0x02), 6, "packet mark 6 does not match 0/6"},
        {"client packets mark", check_t::syn, packet(0x02), 2, "packet mark 2 does not match 0/6"},
        {"server packets mark", check_t::syn, packet(0x02), 0x104, "packet mark 260 does not match 0/6"},
        {"marks outside the mask", check_t::syn, packet(0x02), 9, std::nullopt},
        {"syn-ack as request", check_t::syn, packet(0x12), 0, "tcp flags 18 do not match 2/18"},
        {"plain ack", check_t::syn, packet(0x10), 0, "tcp flags 16 do not match 2/18"},
        {"reset", check_t::syn, packet(0x04), 0, "tcp flags 4 do not match 2/18"},
        {"ns ack printed with its ninth bit", check_t::syn, packet(0x110), 0, "tcp flags 272 do not match 2/18"},
        {"syn with ece and cwr", check_t::syn, packet(0xc2), 0, std::nullopt},
        {"syn with ns", check_t::syn, packet(0x102), 0, std::nullopt},
        {"syn with fin", check_t::syn, packet(0x03), 0, std::nullopt},
        {"syn to the listener", check_t::syn, packet(0x02, port_), 0, direct},
        {"syn to the listener's address, other port", check_t::syn, packet(0x02, port_ + 1), 0, std::nullopt},
        {"syn to another address, listener's port", check_t::syn,
         {.destination = "127.0.0.2", .destination_port = port_}, 0, std::nullopt},
        {"mark reported before flags", check_t::syn, packet(0x12), 4, "packet mark 4 does not match 0/6"},
        {"flags reported before destination", check_t::syn, packet(0x10, port_), 0,
         "tcp flags 16 do not match 2/18"},
        {"syn-ack", check_t::syn_ack, packet(0x12), 0, std::nullopt},
        {"syn-ack with ece", check_t::syn_ack, packet(0x52), 8, std::nullopt},
        {"syn as answer", check_t::syn_ack, packet(0x02), 0, "tcp flags 2 do not match 18/18"},
        {"ack as answer", check_t::syn_ack, packet(0x10), 0, "tcp flags 16 do not match 18/18"},
        {"marked syn-ack", check_t::syn_ack, packet(0x12), 4, "packet mark 4 does not match 0/6"},
        {"marked syn", check_t::syn_ack, packet(0x02), 2, "packet mark 2 does not match 0/6"},
        // Only requests are checked against the listener.
        {"syn-ack from the listener's endpoint", check_t::syn_ack, packet(0x12, port_), 0, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(reason(validator, c.check, c.packet, c.mark), c.expected);
    }
}

TEST_F(PacketValidator, FollowsTheMarksAndListenerOfEachConfiguration)
{
    validator_t validator(marks_, acceptor_);
    // Before its first configuration nothing is masked and no listener is known.
    EXPECT_EQ(reason(validator, check_t::syn, packet(0x02, port_), 6), std::nullopt);

    validator.configure();
    set_marks(config_, 8, 16);
    config_.mutable_tproxy_listen_address()->set_address("127.0.0.3");
    marks_.configure();
    acceptor_.configure();
    const std::uint16_t new_port = acceptor_.endpoint().port();
    const ipv4_tcp_packet_t to_new_listener{.destination = "127.0.0.3", .destination_port = new_port};

    // Until the validator is configured again, the old values hold.
    EXPECT_EQ(reason(validator, check_t::syn, packet(0x02), 6), "packet mark 6 does not match 0/6");
    EXPECT_EQ(reason(validator, check_t::syn, packet(0x02), 8), std::nullopt);
    EXPECT_EQ(reason(validator, check_t::syn, to_new_listener, 0), std::nullopt);

    validator.configure();
    EXPECT_EQ(reason(validator, check_t::syn, packet(0x02), 6), std::nullopt);
    EXPECT_EQ(reason(validator, check_t::syn, packet(0x02), 8), "packet mark 8 does not match 0/24");
    EXPECT_EQ(reason(validator, check_t::syn, packet(0x02, port_), 0), std::nullopt);
    EXPECT_EQ(reason(validator, check_t::syn, to_new_listener, 0),
              "direct connection to 127.0.0.3:" + std::to_string(new_port) + " is not allowed");
}

} // namespace
