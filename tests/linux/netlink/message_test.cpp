#include "linux/netlink/message.hpp"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using namespace fw::linux::netlink;

TEST(NetlinkMessage, HeaderCountsThePayloadUnrounded)
{
    struct case_t {
        const char* name;
        netlink_payload_t payload;
        std::uint32_t len;
    };
    case_t cases[] = {
        {"vector of 20", std::vector<std::uint8_t>(20, 1), 36},
        {"bytes of 5", byte_array_t(5), 21},
        {"empty", std::vector<std::uint8_t>{}, 16},
    };
    for (auto& c : cases) {
        netlink_message_t m(0x0302, std::move(c.payload), 9, NLM_F_REQUEST | NLM_F_ACK);
        EXPECT_EQ(m.header().nlmsg_len, c.len) << c.name;
        EXPECT_EQ(m.header().nlmsg_type, 0x0302);
        EXPECT_EQ(m.header().nlmsg_flags, NLM_F_REQUEST | NLM_F_ACK);
        EXPECT_EQ(m.header().nlmsg_seq, 9u);
        EXPECT_EQ(m.header().nlmsg_pid, 0u);
        EXPECT_EQ(m.payload_size(), c.len - 16u);
    }
}

TEST(NetlinkMessage, OwningPointerAndReceivedHeader)
{
    std::unique_ptr<std::uint8_t[]> data(new std::uint8_t[3]{7, 8, 9});
    netlink_message_t m(16, std::move(data), 3, 1, 0);
    EXPECT_EQ(m.header().nlmsg_len, 19u);
    EXPECT_EQ(m.payload()[2], 9);

    nlmsghdr received{};
    received.nlmsg_len = 24;
    received.nlmsg_type = 3;
    received.nlmsg_pid = 1234;
    netlink_message_t r(received);
    EXPECT_EQ(r.header().nlmsg_pid, 1234u); // copied as received
    ASSERT_EQ(r.payload_size(), 8u);
    EXPECT_EQ(std::memcmp(r.payload(), "\0\0\0\0\0\0\0\0", 8), 0);

    received.nlmsg_len = 4; // below the header: no payload, no huge allocation
    EXPECT_EQ(netlink_message_t(received).payload_size(), 0u);
}

} // namespace
