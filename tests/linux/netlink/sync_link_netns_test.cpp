// The blocking link against this kernel, in the test's own network namespace;
// `ip route` and `ip rule` are the witnesses.
#include "linux/netlink/reply.hpp"
#include "linux/netlink/routing_message.hpp"
#include "linux/netlink/socket.hpp"
#include "linux/netlink/sync_link.hpp"

#include "tests/support/netns.hpp"

#include <boost/system/system_error.hpp>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <linux/fib_rules.h>
#include <linux/rtnetlink.h>
#include <net/if.h>

#include <cerrno>
#include <fstream>
#include <list>
#include <string>

namespace {

using namespace fw::linux::netlink;
using fw::linux::rtnetlink::routing::message_t;
using morva_test::sh;

constexpr std::uint16_t create = NLM_F_ACK | NLM_F_CREATE | NLM_F_EXCL;

sync_link_t route_link()
{
    return sync_link_t(open_netlink_socket(NETLINK_ROUTE));
}

// local 0.0.0.0/0 dev lo in `table`, as the local-delivery route is built
message_t local_route(std::uint8_t table)
{
    message_t m(AF_INET);
    m.set_table(table);
    m.set_protocol(RTPROT_BOOT);
    m.set_scope(RT_SCOPE_HOST);
    m.set_type(RTN_LOCAL);
    *m.attributes().add_zeroed<std::uint32_t>(RTA_OIF) = ::if_nametoindex("lo");
    *m.attributes().add_zeroed<std::uint32_t>(RTA_PRIORITY) = 2147483647;
    return m;
}

message_t fwmark_rule(std::uint32_t mark)
{
    message_t m(AF_INET);
    m.set_table(150);
    m.set_type(FR_ACT_TO_TBL);
    *m.attributes().add_zeroed<std::uint32_t>(FRA_FWMARK) = mark;
    *m.attributes().add_zeroed<std::uint32_t>(FRA_FWMASK) = mark;
    *m.attributes().add_zeroed<std::uint32_t>(FRA_PRIORITY) = 1500;
    return m;
}

void expect_system_error(int code, const std::function<void()>& f)
{
    try {
        f();
        ADD_FAILURE() << "no exception";
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(e.code(), boost::system::error_code(code, boost::system::system_category()));
        EXPECT_EQ(std::string(e.what()).rfind("NETLINK error received: ", 0), 0u) << e.what();
    }
}

TEST(SyncLinkKernel, AddsAndDeletesALocalRoute)
{
    sync_link_t link = route_link();
    link.send(RTM_NEWROUTE, local_route(150).serialize(), create);
    EXPECT_EQ(link.wait_ack(), 0u);
    EXPECT_EQ(sh("ip route show table 150"), "local default dev lo scope host metric 2147483647 \n");

    link.send(RTM_NEWROUTE, local_route(150).serialize(), create);
    expect_system_error(EEXIST, [&] { link.wait_ack(); });

    link.send(RTM_DELROUTE, local_route(150).serialize(), NLM_F_ACK);
    link.wait_ack();
    EXPECT_EQ(sh("ip route show table 150"), "");
}

TEST(SyncLinkKernel, AddsAndDeletesAFwmarkRule)
{
    sync_link_t link = route_link();
    link.send(RTM_NEWRULE, fwmark_rule(0x100).serialize(), create);
    link.wait_ack();
    EXPECT_NE(sh("ip rule").find("1500:\tfrom all fwmark 0x100/0x100 lookup 150"), std::string::npos) << sh("ip rule");

    link.send(RTM_DELRULE, fwmark_rule(0x100).serialize(), NLM_F_ACK);
    link.wait_ack();
    EXPECT_EQ(sh("ip rule").find("fwmark 0x100"), std::string::npos);

    link.send(RTM_DELRULE, fwmark_rule(0x100).serialize(), NLM_F_ACK);
    expect_system_error(ENOENT, [&] { link.wait_ack(); });
}

// `count` routes in `table`, added in one batch.
void add_routes(int count, int table)
{
    const std::string path = "/tmp/morva-netlink-routes-" + std::to_string(::getpid());
    {
        std::ofstream batch(path);
        for (int i = 0; i < count; ++i)
            batch << "route add 10." << (i >> 8) << '.' << (i & 0xff) << ".0/24 dev lo table " << table << "\n";
    }
    sh("ip -batch " + path + " && rm -f " + path);
}

void send_route_dump(sync_link_t& link)
{
    link.send(RTM_GETROUTE, message_t(AF_INET).serialize(), NLM_F_DUMP);
}

int routes_in_table(const std::list<netlink_reply_t>& replies, int table)
{
    int in_table = 0;
    for (const auto& r : replies) {
        EXPECT_EQ(r.type, RTM_NEWROUTE);
        message_t route = message_t::parse(r.payload.data.get(), r.payload.size);
        if (route.table() == table
            && *route.attributes().get_as<std::uint32_t>(RTA_TABLE) == static_cast<std::uint32_t>(table))
            ++in_table;
    }
    return in_table;
}

TEST(SyncLinkKernel, DumpSpansManyDatagrams)
{
    const int count = 3000;
    add_routes(count, 151);

    sync_link_t link = route_link();
    send_route_dump(link);
    auto replies = link.receive_all();
    std::size_t bytes = 0;
    for (const auto& r : replies)
        bytes += r.payload.size;
    EXPECT_EQ(routes_in_table(replies, 151), count);
    EXPECT_GT(bytes, 64u * 1024); // more than any single dump datagram holds

    sh("ip route flush table 151");
}

// A dump abandoned after its first datagram: once its rest is read away, the
// next exchanges get their own answers.
TEST(SyncLinkKernel, AnAbandonedDumpIsReadAwayBeforeTheNextRequest)
{
    const int count = 3000;
    add_routes(count, 152);

    sync_link_t link = route_link();
    send_route_dump(link);
    link.receive_datagram();
    link.discard_unread();

    send_route_dump(link);
    EXPECT_EQ(routes_in_table(link.receive_all(), 152), count);
    link.send(NLMSG_NOOP, std::vector<std::uint8_t>{}, NLM_F_ACK);
    EXPECT_EQ(link.wait_ack(), 0u);
    link.discard_unread(); // nothing left: returns at once

    sh("ip route flush table 152");
}

TEST(SyncLinkKernel, EmptyRequestIsOneHeader)
{
    sync_link_t link = route_link();
    link.send(NLMSG_NOOP, std::vector<std::uint8_t>{}, NLM_F_ACK);
    netlink_reply_t ack = link.receive_one();
    ASSERT_EQ(ack.type, NLMSG_ERROR);
    ASSERT_GE(ack.payload.size, sizeof(nlmsgerr));
    nlmsgerr e;
    std::memcpy(&e, ack.payload.data.get(), sizeof e);
    EXPECT_EQ(e.error, 0);
    EXPECT_EQ(e.msg.nlmsg_len, 16u); // the kernel echoes the header it received
    EXPECT_EQ(e.msg.nlmsg_flags, NLM_F_REQUEST | NLM_F_ACK);
    EXPECT_EQ(e.msg.nlmsg_seq, 0u);
}

std::vector<std::uint8_t> noop(std::uint32_t seq)
{
    nlmsghdr h{};
    h.nlmsg_len = 16;
    h.nlmsg_type = NLMSG_NOOP;
    h.nlmsg_flags = NLM_F_REQUEST | NLM_F_ACK;
    h.nlmsg_seq = seq;
    auto* p = reinterpret_cast<std::uint8_t*>(&h);
    return {p, p + 16};
}

TEST(SyncLinkKernel, LeftoverReplyIsNotTakenForTheNextAnswer)
{
    sync_link_t link = route_link();
    auto first = noop(100000), second = noop(100001);
    link.send_raw(first.data(), first.size()); // its acknowledgement is never read
    link.send_raw(second.data(), second.size());
    try {
        link.wait_ack();
        ADD_FAILURE() << "stale acknowledgement accepted";
    } catch (const unexpected_reply_t& e) {
        EXPECT_STREQ(e.what(), "NETLINK: Unexpected message: sequence number 100000, expected 100001");
    }
    EXPECT_EQ(link.wait_ack(), 100001u);

    // a batch: every acknowledgement within its sequence numbers passes
    auto batch = noop(7);
    for (std::uint32_t seq : {8u, 9u}) {
        auto more = noop(seq);
        batch.insert(batch.end(), more.begin(), more.end());
    }
    link.send_raw(batch.data(), batch.size());
    for (std::uint32_t seq : {7u, 8u, 9u})
        EXPECT_EQ(link.wait_ack(), seq);
}

TEST(SyncLinkKernel, SendFailureIsASystemError)
{
    sync_link_t link = route_link();
    std::vector<std::uint8_t> huge(4 << 20, 0); // beyond the socket's send buffer
    try {
        link.send(RTM_NEWROUTE, std::move(huge), 0);
        ADD_FAILURE() << "no exception";
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(std::string(e.what()).rfind("NETLINK sendmsg: ", 0), 0u) << e.what();
    }
}

} // namespace
