// The event-loop link against this kernel, in the test's own network namespace.
#include "linux/netlink/async_link.hpp"
#include "linux/netlink/routing_message.hpp"
#include "linux/netlink/socket.hpp"

#include "tests/support/netns.hpp"

#include <boost/asio/io_context.hpp>
#include <gtest/gtest.h>

#include <linux/fib_rules.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <vector>

namespace {

using fw::linux::netlink::async::link_t;
using fw::linux::rtnetlink::routing::message_t;
using boost::system::error_code;
using calls_t = std::vector<std::string>;

struct recorder_t : link_t::delegate_t {
    calls_t calls;
    int routes_in_152 = 0;

    void on_multipart_begin() override { calls.push_back("begin"); }
    void on_multipart_end() override { calls.push_back("end"); }
    void on_message(std::uint16_t type, const std::uint8_t* payload, std::size_t size) override
    {
        if (type == RTM_NEWROUTE && message_t::parse(payload, size).table() == 152)
            ++routes_in_152;
    }
    void on_error(error_code error) override { calls.push_back("error " + std::to_string(error.value())); }
    void on_error_reply(const nlmsghdr& request, error_code error) override
    {
        calls.push_back("refused " + std::to_string(request.nlmsg_seq) + " flags " + std::to_string(request.nlmsg_flags)
                        + " " + std::to_string(error.value()));
    }
};

struct AsyncLinkKernel : ::testing::Test {
    boost::asio::io_context io;
    link_t link{io, fw::linux::netlink::open_netlink_socket(NETLINK_ROUTE)};

    recorder_t delegate;

    void run_until(const std::function<bool()>& done)
    {
        io.restart();
        for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
             !done() && std::chrono::steady_clock::now() < end;)
            io.run_one_for(std::chrono::milliseconds(100));
    }
    static std::vector<std::uint8_t> missing_rule()
    {
        message_t m(AF_INET);
        m.set_table(150);
        m.set_type(FR_ACT_TO_TBL);
        *m.attributes().add_zeroed<std::uint32_t>(FRA_FWMARK) = 0x4242;
        return m.serialize();
    }
};

TEST_F(AsyncLinkKernel, CompletionsAndUnaskedErrorsInSendOrder)
{
    link.start(&delegate);
    auto record = [this](const char* name) {
        return [this, name](error_code e) { delegate.calls.push_back(std::string(name) + " " + std::to_string(e.value())); };
    };
    const std::uint32_t n = link.next_sequence();
    link.send(NLMSG_NOOP, std::vector<std::uint8_t>{}, record("noop"), 0);  // acknowledged: ACK was asked
    link.send(RTM_DELRULE, missing_rule(), {}, 0);                        // refused without being asked
    link.send(RTM_DELRULE, missing_rule(), record("delrule"), 0);         // refused to its completion
    link.send(NLMSG_NOOP, std::vector<std::uint8_t>{}, {}, 0);            // no answer at all
    link.send(NLMSG_NOOP, std::vector<std::uint8_t>{}, record("last"), 0);
    EXPECT_EQ(link.next_sequence(), n + 5);
    run_until([&] { return delegate.calls.size() >= 4; });
    EXPECT_EQ(delegate.calls, (calls_t{"noop 0", "refused " + std::to_string(n + 1) + " flags 1 " + std::to_string(ENOENT),
                                       "delrule " + std::to_string(ENOENT), "last 0"}));
}

TEST_F(AsyncLinkKernel, DumpArrivesAsOneMultipartSequence)
{
    for (int i = 0; i < 500; ++i)
        morva_test::sh("ip route add 10.1." + std::to_string(i >> 8) + "." + std::to_string(i & 0xff) + "/32 dev lo table 152");
    link.start(&delegate);
    link.send(RTM_GETROUTE, message_t(AF_INET).serialize(), {}, NLM_F_DUMP);
    run_until([&] { return !delegate.calls.empty() && delegate.calls.back() == "end"; });
    EXPECT_EQ(delegate.calls, (calls_t{"begin", "end"}));
    EXPECT_EQ(delegate.routes_in_152, 500);
    morva_test::sh("ip route flush table 152");
}

TEST_F(AsyncLinkKernel, ReceiveOverrunIsFatal)
{
    // A notification socket with the smallest buffer, flooded while the loop does not run.
    fw::util::scoped_fd_t fd = fw::linux::netlink::open_netlink_socket(NETLINK_ROUTE);
    int small = 1;
    ASSERT_EQ(::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small), 0);
    link_t listener(io, std::move(fd));
    sockaddr_nl groups{};
    groups.nl_family = AF_NETLINK;
    groups.nl_groups = RTMGRP_IPV4_ROUTE;
    listener.bind(boost::asio::generic::datagram_protocol::endpoint(&groups, sizeof groups));
    listener.start(&delegate);
    for (int i = 0; i < 100; ++i)
        morva_test::sh("ip route add 10.2.0." + std::to_string(i) + "/32 dev lo table 153");
    run_until([&] { return !delegate.calls.empty(); });
    EXPECT_EQ(delegate.calls, (calls_t{"error " + std::to_string(ENOBUFS)}));
    morva_test::sh("ip route flush table 153");
}

} // namespace
