// Queue configuration messages byte for byte, and the fallback for kernels
// without the owner flags.
#include "linux/nfqueue/nfqueue_config.hpp"

#include <boost/system/system_error.hpp>
#include <gtest/gtest.h>

#include "tests/linux/netlink/datagrams.hpp"

#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using bytes_t = std::vector<std::uint8_t>;
using namespace fw::linux::nfqueue;

TEST(NfqueueConfig, BindMessageWithOwnerFlags)
{
    const bytes_t expected = {
        0x00, 0x00, 0x00, 0x03,                                                 // nfgenmsg, queue 3
        0x08, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00, 0x02,                         // BIND, AF_INET
        0x0c, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x78, 0x02, 0x00, 0x00, 0x00, // 120 bytes, copy packet
        0x08, 0x00, 0x03, 0x00, 0x00, 0x00, 0x04, 0x00,                         // queue length 1024
        0x08, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x08,                         // mask UID_GID
        0x08, 0x00, 0x05, 0x00, 0x00, 0x00, 0x00, 0x08,                         // flags UID_GID
    };
    EXPECT_EQ(queue_bind_payload(3, 1024, false), expected);
    // With the 16-byte netlink header this is the 64-byte message.
    EXPECT_EQ(expected.size() + 16, 64u);
}

TEST(NfqueueConfig, BindMessageWithoutOwnerFlags)
{
    const bytes_t expected = {
        0x00, 0x00, 0x01, 0x02,                                                 // queue 0x0102
        0x08, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00, 0x02,                         //
        0x0c, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x78, 0x02, 0x00, 0x00, 0x00, //
        0x08, 0x00, 0x03, 0x00, 0x00, 0x01, 0x00, 0x00,                         // 65536
    };
    EXPECT_EQ(queue_bind_payload(0x0102, 65536, true), expected);
}

TEST(NfqueueConfig, FamilyCommands)
{
    EXPECT_EQ(queue_command_payload(7, 4), (bytes_t{0x00, 0x00, 0x00, 0x07, 0x08, 0x00, 0x01, 0x00, 0x04, 0x00, 0x00, 0x02}));
    EXPECT_EQ(queue_command_payload(7, 3), (bytes_t{0x00, 0x00, 0x00, 0x07, 0x08, 0x00, 0x01, 0x00, 0x03, 0x00, 0x00, 0x02}));
}

// A queued packet as the kernel may send it while the binding is still being
// acknowledged: packet header (id 00 00 00 05) and a payload of no bytes (copy
// mode not yet set).
const bytes_t early_packet = netlink_test::message(
    0x300, 0, bytes_t{2, 0, 0, 3, 11, 0, 1, 0, 0, 0, 0, 5, 8, 0, 3, 0, 4, 0, 10, 0});

// The whole exchange against a socket pair standing in for the kernel: the
// replies are written up front, then everything the exchange sent is read back.
TEST(NfqueueConfig, ExchangeWithTheKernel)
{
    const auto ack = [](int error = 0) { return netlink_test::error_message(error, 0, 0x302); };
    const auto request = [](const bytes_t& payload) { return netlink_test::message(0x302, NLM_F_REQUEST | NLM_F_ACK, payload); };
    const bytes_t unbind = request(queue_command_payload(3, 4));
    const bytes_t pf_bind = request(queue_command_payload(3, 3));
    const bytes_t bind = request(queue_bind_payload(3, 1024, false));
    const bytes_t drop_5 = netlink_test::message(
        0x301, NLM_F_REQUEST, bytes_t{0, 0, 0, 3, 0x0c, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 5});
    struct case_t {
        const char* what;
        std::vector<bytes_t> replies;
        std::vector<bytes_t> sent;
        std::string error; // empty: the socket comes back
    };
    const case_t cases[] = {
        {"acknowledged", {ack(), ack(), ack()}, {unbind, pf_bind, bind}, ""},
        {"packets before the acknowledgement are dropped", {ack(), ack(), early_packet, early_packet, ack()},
         {unbind, pf_bind, bind, drop_5, drop_5}, ""},
        {"bound by another process", {ack(), ack(), ack(-EPERM)}, {unbind, pf_bind, bind},
         "NETLINK error received: Operation not permitted"},
        {"family command refused", {ack(-EBUSY)}, {unbind}, "NETLINK error received: Device or resource busy"},
        {"no acknowledgement", {ack(), ack(), netlink_test::message(0x305, 0)}, {unbind, pf_bind, bind},
         "NETLINK: Unexpected message: type 773, expected an acknowledgement"},
        {"truncated acknowledgement", {ack(), ack(), netlink_test::message(2, 0, bytes_t(4, 0))}, {unbind, pf_bind, bind},
         "NETLINK: Truncated message received"},
    };
    for (const auto& c : cases) {
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds), 0);
        const int peer = fds[1];
        for (const auto& reply : c.replies)
            ASSERT_EQ(::send(peer, reply.data(), reply.size(), 0), static_cast<ssize_t>(reply.size()));
        std::string error;
        int returned = -1;
        try {
            returned = configure_queue(fw::util::scoped_fd_t(fds[0]), 3, 1024, false).release();
        } catch (const std::exception& e) {
            error = e.what();
        }
        EXPECT_EQ(error, c.error) << c.what;
        EXPECT_EQ(returned, c.error.empty() ? fds[0] : -1) << c.what;
        std::vector<bytes_t> sent;
        std::uint8_t buffer[512];
        for (ssize_t n; (n = ::recv(peer, buffer, sizeof buffer, MSG_DONTWAIT)) > 0;)
            sent.emplace_back(buffer, buffer + n);
        EXPECT_EQ(sent, c.sent) << c.what;
        // A failed exchange closes its socket.
        EXPECT_EQ(::recv(peer, buffer, sizeof buffer, MSG_DONTWAIT), c.error.empty() ? -1 : 0) << c.what;
        if (returned >= 0)
            ::close(returned);
        ::close(peer);
    }
    EXPECT_EQ(bind.size(), 64u);
}

// Each attempt either throws the error it is given or returns a fresh descriptor.
struct attempts_t {
    std::vector<int> errors; // 0: succeed
    std::vector<std::string> calls;
    std::vector<int> returned;

    fw::util::scoped_fd_t operator()(std::uint16_t queue, std::uint32_t max_length, bool without)
    {
        calls.push_back(std::to_string(queue) + "/" + std::to_string(max_length) + (without ? " without" : " with"));
        const int error = errors.at(calls.size() - 1);
        if (error < 0)
            throw std::runtime_error("not a system error");
        if (error)
            throw boost::system::system_error(error, boost::system::system_category(), "NETLINK error received");
        returned.push_back(::eventfd(0, EFD_CLOEXEC));
        return fw::util::scoped_fd_t(returned.back());
    }
};

TEST(NfqueueConfig, OpenQueueFallsBackOnlyForUnsupportedFlags)
{
    struct case_t {
        std::vector<int> errors;
        std::vector<std::string> calls;
        int thrown; // errno of the propagated error, -1 any other, 0 none
    };
    const case_t cases[] = {
        {{0}, {"5/1024 with"}, 0},
        {{EOPNOTSUPP, 0}, {"5/1024 with", "5/1024 without"}, 0},
        {{EBUSY}, {"5/1024 with"}, EBUSY},
        {{EPERM}, {"5/1024 with"}, EPERM},
        {{EOPNOTSUPP, EOPNOTSUPP}, {"5/1024 with", "5/1024 without"}, EOPNOTSUPP},
        {{EOPNOTSUPP, EBUSY}, {"5/1024 with", "5/1024 without"}, EBUSY},
        {{-1}, {"5/1024 with"}, -1},
    };
    for (const auto& c : cases) {
        attempts_t attempts{c.errors, {}, {}};
        int thrown = 0;
        try {
            auto fd = open_queue(5, 1024, std::ref(attempts));
            ASSERT_EQ(attempts.returned.size(), 1u);
            EXPECT_EQ(fd.get(), attempts.returned.back());
        } catch (const boost::system::system_error& e) {
            thrown = e.code().value();
        } catch (const std::runtime_error&) {
            thrown = -1;
        }
        EXPECT_EQ(attempts.calls, c.calls) << c.errors.size();
        EXPECT_EQ(thrown, c.thrown) << c.errors.size();
    }
}

} // namespace
