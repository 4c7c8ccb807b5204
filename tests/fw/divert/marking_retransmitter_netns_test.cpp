// The retransmitter against the kernel: a saved SYN leaves unchanged with
// LocalDeliveryMark | ClientPacketsMark, and the mark is set only when it changed.
#include "fw/divert/marking_retransmitter.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstdio>

#include <boost/system/system_error.hpp>

#include "fw/service/marks.hpp"
#include "linux_firewall_config.pb.h"
#include "tests/common/fork.hpp"
#include "tests/fw/net_capabilities.hpp"
#include "tests/net/ipv4_tcp_packet.hpp"
#include "tests/net/raw_capture.hpp"
#include "tests/support/netns.hpp"

namespace {

using morva_test::sh;

void set_marks(kv::LinuxFirewallConfig& config, std::uint32_t local, std::uint32_t client, std::uint32_t server)
{
    config.mutable_local_delivery_mark()->set_manual(local);
    config.mutable_client_packets_mark()->set_manual(client);
    config.mutable_server_packets_mark()->set_manual(server);
}

long packets_of_output_rule(int number)
{
    return std::stol(sh("iptables-legacy -L OUTPUT -v -x -n | sed -n " + std::to_string(number + 2)
                        + "p | awk '{print $1}'"));
}

class MarkingRetransmitter : public ::testing::Test {
protected:
    void TearDown() override { sh("iptables-legacy -F OUTPUT"); }

    boost::asio::io_context io_;
    kv::LinuxFirewallConfig config_;
    fw::service::marks_t marks_{config_};
};

TEST_F(MarkingRetransmitter, ResendsTheSynUnchangedWithTheCombinedMark)
{
    sh("iptables-legacy -A OUTPUT -p tcp --syn -m mark --mark 0x3");
    sh("iptables-legacy -A OUTPUT -p tcp --syn -m mark --mark 0x9");
    set_marks(config_, 1, 2, 4);
    marks_.configure();
    fw::service::marking_retransmitter_t retransmitter(io_, marks_);
    retransmitter.configure();

    // A SYN as the queue would have held it, options and a filled-in header included.
    morva_test::ipv4_tcp_packet_t packet{.source = "127.0.0.1", .destination = "127.0.0.1", .source_port = 40000,
                                         .destination_port = 20002, .sequence = 77,
                                         .ip_options = {0x82, 0x03, 0xab}, .tcp_option_bytes = 8};
    auto syn = packet.bytes();
    syn[4] = 0x12; // identification, kept as it is
    syn[5] = 0x34;
    auto resend = [&] {
        auto data = std::make_unique<std::uint8_t[]>(syn.size());
        std::copy(syn.begin(), syn.end(), data.get());
        in_addr destination{};
        ::inet_pton(AF_INET, "127.0.0.1", &destination);
        retransmitter.retransmit(destination.s_addr, std::move(data), syn.size());
        io_.restart();
        io_.run();
    };

    morva_test::raw_capture_t capture(IPPROTO_TCP);
    resend();
    auto sent = capture.next_matching([](const auto& p) { return p.size() > 27 && p[26] == 0x4e && p[27] == 0x22; });
    ASSERT_TRUE(sent);
    // The kernel fills in only the header checksum (it was 0).
    (*sent)[10] = (*sent)[11] = 0;
    EXPECT_EQ(*sent, syn);
    EXPECT_EQ(packets_of_output_rule(1), 1);

    // A new ClientPacketsMark reaches the socket with the next configuration.
    set_marks(config_, 1, 8, 4);
    marks_.configure();
    retransmitter.configure();
    resend();
    EXPECT_EQ(packets_of_output_rule(1), 1);
    EXPECT_EQ(packets_of_output_rule(2), 1);
}

TEST_F(MarkingRetransmitter, SetsItsMarkOnlyWhenItChanged)
{
    // Without the privilege to mark sockets, only a configuration that changes
    // LocalDeliveryMark | ClientPacketsMark reaches the kernel and fails.
    const auto result = morva_test::run_in_child([this] {
        auto attempt = [](const char* step, fw::service::marking_retransmitter_t& r) {
            try {
                r.configure();
                std::fprintf(stderr, "%s: set\n", step);
            } catch (const boost::system::system_error& e) {
                std::fprintf(stderr, "%s: %d %s\n", step, e.code().value(), e.what());
            }
        };
        const kv::LinuxFirewallConfig unset;
        const fw::service::marks_t no_marks(unset); // all 0 until configured
        fw::service::marking_retransmitter_t unmarked(io_, no_marks);
        fw::service::marking_retransmitter_t retransmitter(io_, marks_);
        set_marks(config_, 1, 2, 4);
        marks_.configure();
        retransmitter.configure();
        morva_test::drop_net_capabilities();
        attempt("both marks 0 from the start", unmarked);
        set_marks(config_, 1, 2, 8);
        marks_.configure();
        attempt("unchanged", retransmitter);
        set_marks(config_, 1, 8, 4);
        marks_.configure();
        attempt("changed", retransmitter);
        ::_exit(0);
    });
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "both marks 0 from the start: set\n"
                          "unchanged: set\n"
                          "changed: "
                              + std::to_string(EPERM)
                              + " Marking retransmitter: cannot mark raw socket: Operation not permitted\n");
}

} // namespace
