// The receiving side of the blocking link, fed through a datagram socket pair
// so that every byte the "kernel" sends is under the test's control.
#include "linux/netlink/reply.hpp"
#include "linux/netlink/sync_link.hpp"

#include <boost/system/system_error.hpp>
#include <gtest/gtest.h>

#include "tests/linux/netlink/datagrams.hpp"

#include <linux/netlink.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

namespace {

using namespace fw::linux::netlink;
using namespace netlink_test;

struct fake_kernel_t {
    int peer = -1;
    std::unique_ptr<sync_link_t> link;

    explicit fake_kernel_t(int rcvbuf = 0)
    {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, fds) != 0)
            throw std::runtime_error("socketpair");
        if (rcvbuf)
            ::setsockopt(fds[0], SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
        peer = fds[1];
        fw::util::scoped_fd_t fd(fds[0]);
        link = std::make_unique<sync_link_t>(std::move(fd));
    }
    ~fake_kernel_t() { ::close(peer); }

    void send(const bytes_t& datagram) const
    {
        ASSERT_EQ(::send(peer, datagram.data(), datagram.size(), 0), static_cast<ssize_t>(datagram.size()));
    }
};

std::string payload_text(const netlink_reply_t& r)
{
    return std::string(r.payload.begin(), r.payload.end());
}

TEST(SyncLinkReceiveAll, CollectsADumpOverSeveralDatagrams)
{
    fake_kernel_t k;
    k.send(concat({message(24, NLM_F_MULTI, "one"), message(24, NLM_F_MULTI, "two")}));
    k.send(concat({message(24, NLM_F_MULTI, "three"), error_message(0, 0), message(NLMSG_DONE, NLM_F_MULTI, std::string(4, '\0')),
                   message(24, NLM_F_MULTI, "after done")}));
    auto replies = k.link->receive_all();
    ASSERT_EQ(replies.size(), 4u);
    auto it = replies.begin();
    EXPECT_EQ(payload_text(*it++), "one");
    EXPECT_EQ(payload_text(*it++), "two");
    EXPECT_EQ(it->type, 24);
    EXPECT_EQ(payload_text(*it++), "three");
    EXPECT_EQ(it->type, NLMSG_ERROR); // an acknowledgement inside a dump is kept as a reply
    EXPECT_EQ(it->payload.size, sizeof(nlmsgerr));
}

TEST(SyncLinkReceiveAll, ExactPayloadCopiesWithoutPadding)
{
    fake_kernel_t k;
    // 5 payload bytes, the message padded to 24 in the datagram
    k.send(concat({message(16, NLM_F_MULTI, bytes_t{1, 2, 3, 4, 5}), message(NLMSG_DONE, NLM_F_MULTI)}));
    auto replies = k.link->receive_all();
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(bytes_t(replies.front().payload.begin(), replies.front().payload.end()), (bytes_t{1, 2, 3, 4, 5}));
}

TEST(SyncLinkReceiveAll, SkipsTheRestOfADatagramAtABadLength)
{
    fake_kernel_t k;
    bytes_t bad = message(24, NLM_F_MULTI, "lost");
    bad[0] = 8; // nlmsg_len below the header
    k.send(concat({message(24, NLM_F_MULTI, "kept"), bad, message(NLMSG_DONE, 0)}));
    bytes_t long_claim = message(24, NLM_F_MULTI, "gone");
    long_claim[0] = 200; // more than what remains
    k.send(concat({message(24, NLM_F_MULTI, "too"), long_claim}));
    k.send(message(NLMSG_DONE, 0));
    auto replies = k.link->receive_all();
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(payload_text(replies.front()), "kept");
    EXPECT_EQ(payload_text(replies.back()), "too");
}

// Every receiving operation, for the table of malformed and failing datagrams.
enum class op_t { wait_ack, receive_one, receive_all };

void run(sync_link_t& link, op_t op)
{
    switch (op) {
    case op_t::wait_ack: link.wait_ack(); break;
    case op_t::receive_one: link.receive_one(); break;
    case op_t::receive_all: link.receive_all(); break;
    }
}

TEST(SyncLinkReceive, RejectsTruncatedDatagramsInEveryOperation)
{
    bytes_t short_error = error_message(-EPERM, 0);
    short_error.resize(32);
    short_error[0] = 32;
    bytes_t cut = message(16, NLM_F_MULTI, bytes_t(40, 1));
    cut[0] = 80; // claims more than the datagram holds
    const struct {
        const char* name;
        bytes_t datagram;
    } cases[] = {
        {"12-byte datagram", bytes_t(12, 0)},
        {"NLMSG_ERROR of 32 bytes", short_error},
        {"first message longer than the datagram", cut},
    };
    for (op_t op : {op_t::wait_ack, op_t::receive_one, op_t::receive_all})
        for (const auto& c : cases) {
            fake_kernel_t k;
            k.send(c.datagram);
            try {
                run(*k.link, op);
                ADD_FAILURE() << c.name << ": no exception, op " << int(op);
            } catch (const truncated_reply_t& e) {
                EXPECT_STREQ(e.what(), "NETLINK: Truncated message received");
            }
        }
}

TEST(SyncLinkReceive, ErrorRepliesBecomeSystemErrors)
{
    for (op_t op : {op_t::wait_ack, op_t::receive_one, op_t::receive_all}) {
        fake_kernel_t k;
        k.send(error_message(-EPERM, 0));
        try {
            run(*k.link, op);
            ADD_FAILURE() << "no exception, op " << int(op);
        } catch (const boost::system::system_error& e) {
            EXPECT_EQ(e.code(), boost::system::error_code(EPERM, boost::system::system_category()));
            EXPECT_EQ(std::string(e.what()).rfind("NETLINK error received: ", 0), 0u) << e.what();
        }
    }
    // Values the kernel never sends must not overflow on negation.
    for (std::int32_t bad : {INT32_MIN, 5}) {
        fake_kernel_t k;
        k.send(error_message(bad, 0));
        try {
            k.link->wait_ack();
            ADD_FAILURE() << "no exception";
        } catch (const boost::system::system_error& e) {
            EXPECT_EQ(e.code().value(), EPROTO);
        }
    }
}

TEST(SyncLinkReceive, UnexpectedMessages)
{
    {
        fake_kernel_t k; // wait_ack on anything but NLMSG_ERROR
        k.send(concat({message(NLMSG_DONE, 0), error_message(0, 0)}));
        EXPECT_THROW(k.link->wait_ack(), unexpected_reply_t);
    }
    for (std::uint16_t type : {std::uint16_t(16), std::uint16_t(NLMSG_NOOP)}) {
        fake_kernel_t k; // a dump message without NLM_F_MULTI
        k.send(concat({message(type, 0), message(NLMSG_DONE, 0)}));
        try {
            k.link->receive_all();
            ADD_FAILURE() << "no exception";
        } catch (const unexpected_reply_t& e) {
            EXPECT_STREQ(e.what(), "NETLINK: Unexpected message");
        }
    }
}

TEST(SyncLinkReceive, AcknowledgementAndSingleReply)
{
    fake_kernel_t k;
    k.send(error_message(0, 7));
    EXPECT_EQ(k.link->wait_ack(), 7u);

    k.send(concat({message(0x0a04, 0, "chain"), message(0x0a04, 0, "ignored")}));
    k.send(error_message(0, 8));
    netlink_reply_t r = k.link->receive_one();
    EXPECT_EQ(r.type, 0x0a04);
    EXPECT_EQ(payload_text(r), "chain");
    // the rest of the first datagram was dropped; the next receive reads the next datagram
    EXPECT_EQ(k.link->wait_ack(), 8u);
}

TEST(SyncLinkReceive, DatagramCutToTheBuffer)
{
    fake_kernel_t k(1); // the smallest receive buffer the kernel grants
    const std::size_t buffer = [&] {
        int size = 0;
        socklen_t len = sizeof size;
        ::getsockopt(k.link->fd(), SOL_SOCKET, SO_RCVBUF, &size, &len);
        return static_cast<std::size_t>(size);
    }();
    ASSERT_LT(buffer, 8000u);

    // later message cut: receive_all keeps what fits and goes on with the next datagram
    bytes_t first = message(16, NLM_F_MULTI, "whole");
    bytes_t big = concat({first, message(16, NLM_F_MULTI, bytes_t(buffer, 7))});
    k.send(big);
    k.send(message(NLMSG_DONE, 0));
    auto replies = k.link->receive_all();
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(payload_text(replies.front()), "whole");

    // first message cut
    for (op_t op : {op_t::wait_ack, op_t::receive_one, op_t::receive_all}) {
        k.send(message(16, NLM_F_MULTI, bytes_t(buffer, 7)));
        EXPECT_THROW(run(*k.link, op), truncated_reply_t) << int(op);
    }
}

void on_signal(int) {}

TEST(SyncLinkReceive, InterruptedReceiveIsRepeated)
{
    struct sigaction sa{}, old{};
    sa.sa_handler = on_signal; // no SA_RESTART: recv returns EINTR
    ::sigaction(SIGUSR1, &sa, &old);
    fake_kernel_t k;
    pthread_t self = ::pthread_self();
    std::thread kernel([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ::pthread_kill(self, SIGUSR1);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        k.send(error_message(0, 3));
    });
    std::uint32_t seq = 0;
    EXPECT_NO_THROW(seq = k.link->wait_ack());
    kernel.join();
    ::sigaction(SIGUSR1, &old, nullptr);
    EXPECT_EQ(seq, 3u);
}

TEST(SyncLinkReceive, RecvFailureIsASystemError)
{
    fake_kernel_t k;
    ::close(k.link->fd()); // recv on a closed descriptor
    try {
        k.link->wait_ack();
        ADD_FAILURE() << "no exception";
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(e.code().value(), EBADF);
        EXPECT_EQ(std::string(e.what()).rfind("NETLINK recv: ", 0), 0u) << e.what();
    }
    k.link->release().release(); // already closed
}

TEST(SyncLinkConstruct, KeepsTheDescriptorWhenTheBufferFails)
{
    fw::util::scoped_fd_t not_a_socket(::dup(0));
    ASSERT_TRUE(not_a_socket);
    int raw = not_a_socket.get();
    EXPECT_THROW(sync_link_t link(std::move(not_a_socket)), boost::system::system_error);
    EXPECT_EQ(not_a_socket.get(), raw);
}

} // namespace
