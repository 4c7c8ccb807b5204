// The event-loop link's dispatch, fed through a datagram socket pair so that
// every byte the "kernel" sends is under the test's control.
#include "linux/netlink/async_link.hpp"

#include "common/log.hpp"

#include <boost/asio/io_context.hpp>
#include <gtest/gtest.h>

#include "tests/linux/netlink/datagrams.hpp"

#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using fw::linux::netlink::align4;
using fw::linux::netlink::async::link_t;
using namespace netlink_test;
using boost::system::error_code;

// Writes down every call as one word, so a test compares the whole history.
struct recorder_t : link_t::delegate_t {
    std::vector<std::string> calls;
    std::function<void()> on_message_hook;

    void on_multipart_begin() override { calls.push_back("begin"); }
    void on_multipart_end() override { calls.push_back("end"); }
    void on_message(std::uint16_t type, const std::uint8_t* payload, std::size_t size) override
    {
        calls.push_back(std::to_string(type) + ":" + std::string(reinterpret_cast<const char*>(payload), size));
        if (on_message_hook)
            on_message_hook();
    }
    void on_error(error_code error) override { calls.push_back("error " + std::to_string(error.value())); }
    void on_error_reply(const nlmsghdr& request, error_code error) override
    {
        calls.push_back("refused " + std::to_string(request.nlmsg_seq) + " " + std::to_string(error.value()));
    }
};

struct AsyncLink : ::testing::Test {
    boost::asio::io_context io;
    int peer = -1;
    std::unique_ptr<link_t> link;
    recorder_t delegate;

    void SetUp() override
    {
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, fds), 0);
        peer = fds[1];
        link = std::make_unique<link_t>(io, fw::util::scoped_fd_t(fds[0]));
    }
    void TearDown() override { ::close(peer); }

    void kernel_sends(const bytes_t& datagram)
    {
        ASSERT_EQ(::send(peer, datagram.data(), datagram.size(), 0), static_cast<ssize_t>(datagram.size()));
    }
    // Runs the loop until it has nothing more to do right now.
    void settle()
    {
        io.restart();
        io.run_for(std::chrono::milliseconds(50));
    }
    using calls_t = std::vector<std::string>;
};


TEST_F(AsyncLink, DispatchesMessagesAndMultipartSequences)
{
    link->start(&delegate);
    kernel_sends(concat({message(0x300, 0, "p1"), message(0x300, 0, "p2")}));
    settle();
    EXPECT_EQ(delegate.calls, (calls_t{"768:p1", "768:p2"})); // no multipart for plain packets

    delegate.calls.clear();
    kernel_sends(concat({message(24, NLM_F_MULTI, "a"), message(24, NLM_F_MULTI, "b"), message(NLMSG_NOOP, 0)}));
    kernel_sends(concat({message(24, NLM_F_MULTI, "c"), message(NLMSG_DONE, NLM_F_MULTI, "\0\0\0\0"),
                         message(24, 0, "after done")}));
    settle();
    EXPECT_EQ(delegate.calls, (calls_t{"begin", "24:a", "24:b", "24:c", "end"}));

    delegate.calls.clear();
    kernel_sends(message(NLMSG_DONE, 0));
    kernel_sends(message(0x300, 0, "next"));
    settle();
    EXPECT_EQ(delegate.calls, (calls_t{"begin", "end", "768:next"}));
}

TEST_F(AsyncLink, CutDatagramDeliversTheWholeMessagesOnly)
{
    int small = 1;
    ::setsockopt(peer, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    // a new link on a socket with the smallest receive buffer
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, fds), 0);
    ::setsockopt(fds[0], SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    int size = 0;
    socklen_t len = sizeof size;
    ::getsockopt(fds[0], SOL_SOCKET, SO_RCVBUF, &size, &len);
    ::close(peer);
    peer = fds[1];
    link = std::make_unique<link_t>(io, fw::util::scoped_fd_t(fds[0]));
    link->start(&delegate);

    kernel_sends(concat({message(0x300, 0, "whole"), message(0x300, 0, std::string(size, 'x'))}));
    kernel_sends(message(0x300, 0, "next"));
    settle();
    EXPECT_EQ(delegate.calls, (calls_t{"768:whole", "768:next"}));
}

TEST_F(AsyncLink, TheLongestKernelDatagramsArriveWholeInOneBatch)
{
    // A dump's datagrams, several waiting at once: each is read whole, in order.
    link->start(&delegate);
    const std::size_t payload = link_t::max_kernel_datagram - NLMSG_HDRLEN;
    calls_t expected;
    for (char c : {'a', 'b', 'c'}) {
        kernel_sends(message(0x300, 0, std::string(payload, c)));
        expected.push_back("768:" + std::string(payload, c));
    }
    settle();
    EXPECT_EQ(delegate.calls, expected);
}

TEST_F(AsyncLink, ErrorRepliesWithoutARequestDoNotStopTheLink)
{
    link->start(&delegate);
    kernel_sends(error_message(-ENOENT, 12));          // e.g. a verdict for a packet gone meanwhile
    kernel_sends(concat({error_message(0, 13), message(0x300, 0, "still here")})); // stray acknowledgement
    settle();
    EXPECT_EQ(delegate.calls, (calls_t{"refused 12 " + std::to_string(ENOENT), "768:still here"}));
}

TEST_F(AsyncLink, MalformedErrorReplyFailsTheLink)
{
    link->start(&delegate);
    bytes_t short_error = message(NLMSG_ERROR, 0, "\xfe\xff\xff\xff"); // 20 bytes
    kernel_sends(concat({short_error, message(0x300, 0, "same datagram")}));
    kernel_sends(message(0x300, 0, "never"));
    settle();
    EXPECT_EQ(delegate.calls, (calls_t{"error " + std::to_string(EINVAL)}));
}

TEST_F(AsyncLink, FailedSendStopsTheLinkWithoutCallingCompletions)
{
    std::vector<std::string> done;
    // sends fail on the socket pair (no netlink address there): the completions stay pending
    link->start(&delegate);
    link->send(0x0302, std::vector<std::uint8_t>{}, [&](error_code e) { done.push_back("0:" + std::to_string(e.value())); }, 0);
    EXPECT_EQ(link->next_sequence(), 1u);
    settle();
    ASSERT_EQ(delegate.calls.size(), 1u); // the failed send stopped the link
    EXPECT_EQ(delegate.calls[0].rfind("error ", 0), 0u);
    EXPECT_TRUE(done.empty()); // pending completions are not called on failure
}

TEST_F(AsyncLink, DelegateMayDestroyTheLinkInsideACall)
{
    delegate.on_message_hook = [&] { link.reset(); };
    link->start(&delegate);
    kernel_sends(concat({message(0x300, 0, "first"), message(0x300, 0, "second")}));
    settle();
    EXPECT_EQ(delegate.calls, (calls_t{"768:first"}));
}

TEST_F(AsyncLink, DestroyedLinkLeavesAnArmedReceiveHarmless)
{
    link->start(&delegate);
    link.reset();
    settle(); // the cancelled receive's completion runs now, as a no-op
    EXPECT_TRUE(delegate.calls.empty());
}

TEST_F(AsyncLink, FailureWithoutDelegateIsNotSilent)
{
    // a send fails before start: nobody could be told, so the event loop is
    link->send(0x0302, std::vector<std::uint8_t>{}, {}, 0);
    io.restart();
    EXPECT_THROW(io.run_for(std::chrono::milliseconds(50)), boost::system::system_error);
}

TEST_F(AsyncLink, BindOnAClosedSocketIsEbadf)
{
    link->start(&delegate);
    link->send(0x0302, std::vector<std::uint8_t>{}, {}, 0);
    settle(); // fails and closes
    try {
        link->bind(boost::asio::generic::datagram_protocol::endpoint());
        ADD_FAILURE() << "no exception";
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(e.code().value(), EBADF);
        EXPECT_EQ(std::string(e.what()).rfind("bind: ", 0), 0u) << e.what();
    }
}

// The default report of an unasked error reply: one Warning per window.
struct capture_log_t : cf_log_t {
    std::vector<std::pair<int, std::string>>& lines;
    explicit capture_log_t(std::vector<std::pair<int, std::string>>& l) : cf_log_t({}, {}), lines(l) {}
    void open() override {}
    void write(int level, std::string const& text) override { lines.emplace_back(level, text); }
    void write_tagged(std::string const&, int, std::string const&) override {}
    void out_of_memory() override {}
};

struct quiet_delegate_t : link_t::delegate_t {
    int messages = 0;
    void on_multipart_begin() override {}
    void on_multipart_end() override {}
    void on_message(std::uint16_t, const std::uint8_t*, std::size_t) override { ++messages; }
    void on_error(error_code) override { ADD_FAILURE() << "link failed"; }
};

TEST_F(AsyncLink, DefaultReportIsARateLimitedWarning)
{
    std::vector<std::pair<int, std::string>> lines;
    cf_log_install(std::make_shared<capture_log_t>(lines));
    cf_log_threshold = 0;
    quiet_delegate_t quiet;
    link->start(&quiet);
    kernel_sends(concat({error_message(-ENOENT, 12, 0x301), error_message(-ENOENT, 13, 0x301)}));
    kernel_sends(message(0x300, 0, "on"));
    settle();
    EXPECT_EQ(quiet.messages, 1);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].first, 3);
    EXPECT_EQ(lines[0].second, "Netlink: request of type 0x301 (sequence number 12) refused: No such file or directory");
}

} // namespace

// A link whose "kernel" keeps datagram boundaries and ignores the address the
// link sends to, so that what leaves can be read back.
struct AsyncLinkBatches : AsyncLink {
    void SetUp() override
    {
        const auto fds = kernel_pair();
        ASSERT_GE(fds[0], 0);
        peer = fds[1];
        link = std::make_unique<link_t>(io, fw::util::scoped_fd_t(fds[0]));
    }
    std::vector<bytes_t> datagrams_sent()
    {
        std::vector<bytes_t> out;
        std::vector<std::uint8_t> buffer(1 << 20);
        for (ssize_t n; (n = ::recv(peer, buffer.data(), buffer.size(), MSG_DONTWAIT)) > 0;)
            out.emplace_back(buffer.begin(), buffer.begin() + n);
        return out;
    }
};

TEST_F(AsyncLinkBatches, MessagesOfOneTurnLeaveTogetherInOrder)
{
    link->start(&delegate);
    const std::uint32_t n = link->next_sequence();
    link->send(0x301, std::vector<std::uint8_t>{1, 2, 3, 4}, {}, 0);
    const std::uint8_t raw[] = {5, 6, 7}; // padded to 4 on the wire
    link->send(0x301, raw, sizeof raw, 0);
    link->send(0x302, std::vector<std::uint8_t>{}, [](error_code) {}, 0);
    EXPECT_EQ(datagrams_sent().size(), 0u); // nothing leaves inside the turn that sends
    settle();
    const auto sent = datagrams_sent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0], concat({message(0x301, NLM_F_REQUEST, "\x01\x02\x03\x04", n),
                               message(0x301, NLM_F_REQUEST, "\x05\x06\x07", n + 1),
                               message(0x302, NLM_F_REQUEST | NLM_F_ACK, "", n + 2)}));
}

TEST_F(AsyncLinkBatches, ALongBatchIsSplitAtWholeMessages)
{
    link->start(&delegate);
    const std::vector<std::uint8_t> payload(100, 0xab);
    constexpr int count = 1000; // 116 bytes each, several datagrams' worth
    for (int i = 0; i < count; ++i)
        link->send(0x301, payload.data(), payload.size(), 0);
    settle();
    std::uint32_t expected_seq = 0;
    std::size_t datagrams = 0;
    for (const auto& datagram : datagrams_sent()) {
        ++datagrams;
        EXPECT_LE(datagram.size(), link_t::send_batch_bytes);
        for (std::size_t at = 0; at < datagram.size(); at += align4(116)) {
            ASSERT_LE(at + 116, datagram.size());
            nlmsghdr header;
            std::memcpy(&header, datagram.data() + at, sizeof header);
            EXPECT_EQ(header.nlmsg_len, 116u);
            EXPECT_EQ(header.nlmsg_seq, expected_seq++);
        }
    }
    EXPECT_EQ(expected_seq, static_cast<std::uint32_t>(count));
    EXPECT_GT(datagrams, 1u);
}

TEST_F(AsyncLinkBatches, EveryWaitingDatagramIsReadInOrderAcrossTurns)
{
    link->start(&delegate);
    calls_t expected;
    // More than one turn reads, so the reading must go on in the next.
    for (int i = 0; i < 3 * link_t::receive_batch + 5; ++i) {
        kernel_sends(message(0x300, 0, "p" + std::to_string(i)));
        expected.push_back("768:p" + std::to_string(i));
    }
    settle();
    EXPECT_EQ(delegate.calls, expected);
}
