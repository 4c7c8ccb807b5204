#include "linux/netlink/reply_check.hpp"

#include "linux/netlink/message.hpp"
#include "linux/netlink/reply.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

namespace {

using namespace fw::linux::netlink;

nlmsghdr reply(std::uint32_t pid, std::uint32_t seq)
{
    nlmsghdr h{};
    h.nlmsg_len = 16;
    h.nlmsg_pid = pid;
    h.nlmsg_seq = seq;
    return h;
}

// A datagram of requests with these sequence numbers, each `extra` payload bytes long.
std::vector<std::uint8_t> datagram(std::initializer_list<std::uint32_t> seqs, std::size_t extra = 4)
{
    std::vector<std::uint8_t> out;
    for (std::uint32_t seq : seqs) {
        nlmsghdr h{};
        h.nlmsg_len = static_cast<std::uint32_t>(16 + extra);
        h.nlmsg_seq = seq;
        auto* p = reinterpret_cast<std::uint8_t*>(&h);
        out.insert(out.end(), p, p + 16);
        out.resize(out.size() + align4(extra), 0);
    }
    return out;
}

TEST(ReplyCheck, AcceptsOnlyRepliesToTheRequestJustSent)
{
    struct case_t {
        const char* name;
        std::vector<std::uint8_t> sent;
        nlmsghdr received;
        std::optional<std::string> error;
    };
    const case_t cases[] = {
        {"answer to a single request", datagram({0}), reply(77, 0), {}},
        {"another port id", datagram({0}), reply(78, 0), "NETLINK: Unexpected message: port id 78, expected 77"},
        {"stale sequence number", datagram({100001}), reply(77, 100000),
         "NETLINK: Unexpected message: sequence number 100000, expected 100001"},
        {"first message of a batch", datagram({1, 2, 3, 4}), reply(77, 1), {}},
        {"last message of a batch", datagram({1, 2, 3, 4}, 1), reply(77, 4), {}},
        {"before a batch", datagram({5, 6, 7}), reply(77, 4),
         "NETLINK: Unexpected message: sequence number 4, expected 5 to 7"},
        {"after a batch", datagram({5, 6, 7}), reply(77, 8),
         "NETLINK: Unexpected message: sequence number 8, expected 5 to 7"},
        {"batch across the wrap of the counter", datagram({0xffffffff, 0, 1}), reply(77, 0), {}},
        {"outside a wrapped batch", datagram({0xffffffff, 0, 1}), reply(77, 2),
         "NETLINK: Unexpected message: sequence number 2, expected 4294967295 to 1"},
    };
    for (const auto& c : cases) {
        reply_check_t check;
        check.expect_datagram(77, c.sent.data(), c.sent.size());
        try {
            check.check(c.received);
            EXPECT_FALSE(c.error) << c.name;
        } catch (const unexpected_reply_t& e) {
            EXPECT_EQ(std::optional<std::string>(e.what()), c.error) << c.name;
        }
    }
}

TEST(ReplyCheck, NothingIsCheckedWithoutARequest)
{
    reply_check_t check;
    EXPECT_NO_THROW(check.check(reply(5, 9)));
    // nor after a datagram too short to carry a header
    std::uint8_t few[8] = {};
    check.expect(1, 1, 1);
    check.expect_datagram(1, few, sizeof few);
    EXPECT_NO_THROW(check.check(reply(5, 9)));
}

TEST(ReplyCheck, WalkStopsAtABrokenCallerDatagram)
{
    auto d = datagram({3, 4, 9});
    d[20] = 200; // second length beyond the datagram: only the first counts
    reply_check_t check;
    check.expect_datagram(1, d.data(), d.size());
    EXPECT_NO_THROW(check.check(reply(1, 3)));
    EXPECT_THROW(check.check(reply(1, 4)), unexpected_reply_t);
}

} // namespace
