// The pellad tie over a socketpair: the test plays pellad on the other end,
// reading frames with recvmsg and checking which sockets arrived with them.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/system/system_error.hpp>
#include <gtest/gtest.h>

#include "common/error.hpp"
#include "common/log.hpp"
#include "common/scoped_fd.hpp"
#include "error.pb.h"
#include "links/pellad/tie.hpp"
#include "pellad_client_ipc.pb.h"
#include "tests/common/recording_log.hpp"
#include "tests/links/pellad/peer_support.hpp"

namespace {

using fw::pellad::tie_t;
using fw::util::scoped_fd_t;

// Every line the tie logs and every delegate call, in one sequence.
std::vector<std::string> events;

struct test_delegate_t : tie_t::delegate_t {
    int drained = 0;
    int closed = 0;
    std::vector<std::exception_ptr> errors;
    void on_drained() override
    {
        ++drained;
        events.push_back("on_drained");
    }
    void on_closed() override
    {
        ++closed;
        events.push_back("on_closed");
    }
    void on_error(std::exception_ptr e) override
    {
        errors.push_back(e);
        events.push_back("on_error");
    }
};

std::pair<scoped_fd_t, scoped_fd_t> make_socketpair()
{
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
        throw std::runtime_error("socketpair");
    return {scoped_fd_t(fds[0]), scoped_fd_t(fds[1])};
}

bool fd_open(int fd)
{
    return ::fcntl(fd, F_GETFD) != -1;
}

// One end of a connection handed to the tie.
using connection_t = morva_test::handed_socket_t;
using morva_test::inode;

struct received_frame_t {
    pd::ClientMessage message;
    std::size_t offset = 0; // position of the frame's first byte in the stream
    std::vector<scoped_fd_t> fds;
};

// pellad's side: reads the stream, remembering which bytes each batch of
// descriptors came with.
class peer_t {
public:
    explicit peer_t(scoped_fd_t fd) : fd_(std::move(fd)) {}

    int fd() const { return fd_.get(); }
    void reset() { fd_.reset(); }

    // Reads without blocking; returns false when nothing was available.
    bool read_some()
    {
        const std::size_t begin = stream_.size();
        morva_test::descriptor_read_t read = morva_test::read_with_descriptors(fd_.get(), stream_);
        if (read.bytes <= 0)
            return false;
        EXPECT_FALSE(read.truncated);
        for (morva_test::descriptor_read_t::batch_t& received : read.batches) {
            EXPECT_EQ(received.level, SOL_SOCKET);
            EXPECT_EQ(received.type, SCM_RIGHTS);
            EXPECT_EQ(received.fds.size(), 2u);
            batches_.push_back({begin, stream_.size(), std::move(received.fds)});
        }
        return true;
    }

    // Reads (polling the tie's event loop in between) until `count` frames are
    // complete or five seconds have passed.
    std::vector<received_frame_t> read_frames(boost::asio::io_context& io, std::size_t count)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (complete_frames().size() < count && std::chrono::steady_clock::now() < deadline) {
            io.poll();
            io.restart();
            if (!read_some())
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        std::vector<received_frame_t> frames;
        for (const auto& [offset, length] : complete_frames()) {
            received_frame_t frame;
            frame.offset = offset;
            EXPECT_TRUE(frame.message.ParseFromArray(stream_.data() + offset + 4, static_cast<int>(length)));
            // The descriptors must come with the batch that holds the frame's first byte.
            for (auto& batch : batches_)
                if (batch.begin <= offset && offset < batch.end)
                    for (auto& fd : batch.fds)
                        frame.fds.push_back(std::move(fd));
            frames.push_back(std::move(frame));
        }
        return frames;
    }

    // Bytes not written by the tie (filler) at the start of the stream.
    void skip(std::size_t n) { skip_ = n; }
    // Descriptors that arrived with no frame's first byte.
    std::size_t unclaimed_descriptors() const
    {
        std::size_t n = 0;
        for (const auto& b : batches_)
            for (const auto& fd : b.fds)
                n += fd ? 1 : 0;
        return n;
    }

private:
    struct batch_t {
        std::size_t begin;
        std::size_t end;
        std::vector<scoped_fd_t> fds;
    };

    // (offset, length) of every complete frame after the filler.
    std::vector<std::pair<std::size_t, std::uint32_t>> complete_frames() const
    {
        std::vector<std::pair<std::size_t, std::uint32_t>> frames;
        std::size_t offset = skip_;
        while (offset + 4 <= stream_.size()) {
            std::uint32_t length;
            std::memcpy(&length, stream_.data() + offset, 4);
            if (offset + 4 + length > stream_.size())
                break;
            frames.emplace_back(offset, length);
            offset += 4 + length;
        }
        return frames;
    }

    scoped_fd_t fd_;
    std::vector<unsigned char> stream_;
    std::vector<batch_t> batches_;
    std::size_t skip_ = 0;
};

kv::RuleSet rule_set(const std::string& user, std::size_t padding = 0)
{
    kv::RuleSet rules;
    rules.add_variable()->set_user_name(user);
    if (padding)
        rules.add_variable()->set_exe_path(std::string(padding, 'x'));
    return rules;
}

fw::pellad::inspect_options_t inspect_all(bool on)
{
    return {on, on, on, on, on};
}

fw::pellad::scan_options_t scan_levels(std::uint32_t base, bool heuristic)
{
    return {base, heuristic, base + 1, base + 2, base + 3, base + 4, base + 5};
}

class tie_test : public ::testing::Test {
protected:
    void SetUp() override
    {
        events.clear();
        cf_log_threshold = 0;
        static bool installed = false;
        if (!installed) {
            // Log lines land in the same sequence as the delegate's calls.
            cf_log_install(std::make_shared<morva_test::recording_log_t>(
                [](std::string const& line) { events.push_back(line); }));
            installed = true;
        }
        auto [mine, theirs] = make_socketpair();
        tie_fd_ = mine.get();
        peer_ = std::make_unique<peer_t>(std::move(theirs));
        tie_ = std::make_unique<tie_t>(
            tie_t::socket_t(io_, boost::asio::local::stream_protocol(), mine.release()),
            inspect_all(false), scan_levels(0, false), false);
        tie_->start(&delegate_);
    }

    // Fills the tie's socket with filler bytes until it would block.
    std::size_t fill_socket()
    {
        int small = 4096;
        ::setsockopt(tie_fd_, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        std::vector<char> filler(1024, 0);
        std::size_t total = 0;
        for (;;) {
            const ssize_t n = ::send(tie_fd_, filler.data(), filler.size(), MSG_DONTWAIT);
            if (n < 0)
                break;
            total += static_cast<std::size_t>(n);
        }
        EXPECT_EQ(errno, EAGAIN);
        peer_->skip(total);
        return total;
    }

    // Reads and discards filler from pellad's side.
    void drain_filler(std::size_t total)
    {
        std::vector<char> buffer(total);
        std::size_t got = 0;
        while (got < total) {
            const ssize_t n = ::recv(peer_->fd(), buffer.data(), total - got, 0);
            ASSERT_GT(n, 0);
            got += static_cast<std::size_t>(n);
        }
        peer_->skip(0);
    }

    void send(connection_t& client, connection_t& server, const kv::RuleSet& rules)
    {
        tie_->send_connections(rules, std::move(server.fd), std::move(client.fd));
    }

    int error_value(std::size_t i = 0)
    {
        try {
            std::rethrow_exception(delegate_.errors.at(i));
        } catch (const boost::system::system_error& e) {
            return e.code().value();
        }
    }

    std::string error_text(std::size_t i = 0)
    {
        try {
            std::rethrow_exception(delegate_.errors.at(i));
        } catch (const std::exception& e) {
            return e.what();
        }
    }

    boost::asio::io_context io_;
    test_delegate_t delegate_;
    int tie_fd_ = -1;
    std::unique_ptr<peer_t> peer_;
    std::unique_ptr<tie_t> tie_;
};

TEST_F(tie_test, frame_that_fits_leaves_at_once_with_both_sockets_client_first)
{
    connection_t client, server;
    tie_->set_inspect_options({true, false, true, false, true});
    tie_->set_scan_options(scan_levels(30, true));
    tie_->set_block_unchecked(true);
    const auto rules = rule_set("alice");
    send(client, server, rules);

    // All of it happens inside send_connections: queued, sent with the sockets, drained.
    const std::string c = std::to_string(client.number), s = std::to_string(server.number);
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0], "Debug: Pellad tie: queued sending of COMPLEMENTARY_CONNECTIONS (c=" + c +
                             ", s=" + s + ")");
    EXPECT_EQ(events[2], "on_drained");
    EXPECT_FALSE(fd_open(client.number));
    EXPECT_FALSE(fd_open(server.number));

    auto frames = peer_->read_frames(io_, 1);
    ASSERT_EQ(frames.size(), 1u);
    const auto& m = frames[0].message;
    EXPECT_EQ(events[1], "Debug: Pellad tie: sent " + std::to_string(m.ByteSizeLong() + 4) +
                             " bytes + descriptors (c=" + c + ", s=" + s + ")");
    EXPECT_EQ(m.tag(), pd::ClientMessage::COMPLEMENTARY_CONNECTIONS);
    EXPECT_EQ(m.rule_set().SerializeAsString(), rules.SerializeAsString());
    EXPECT_TRUE(m.inspect_http() && !m.inspect_pop3() && m.inspect_imap() && !m.inspect_smtp() &&
                m.inspect_ftp());
    EXPECT_EQ(m.scan_timeout(), 30u);
    EXPECT_TRUE(m.heuristic_analysis());
    EXPECT_EQ(m.packer_max_level(), 31u);
    EXPECT_EQ(m.archive_max_level(), 32u);
    EXPECT_EQ(m.mail_max_level(), 33u);
    EXPECT_EQ(m.container_max_level(), 34u);
    EXPECT_EQ(m.max_compression_ratio(), 35u);
    EXPECT_TRUE(m.block_unchecked());
    EXPECT_FALSE(m.has_http_safe_search());

    ASSERT_EQ(frames[0].fds.size(), 2u);
    EXPECT_EQ(inode(frames[0].fds[0].get()), client.ino);
    EXPECT_EQ(inode(frames[0].fds[1].get()), server.ino);
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    ASSERT_EQ(::getsockname(frames[0].fds[0].get(), reinterpret_cast<sockaddr*>(&address), &length), 0);
    EXPECT_EQ(address.ss_family, AF_UNIX);

    // Once pellad drops them too, no copy is left: the tie kept none.
    frames[0].fds.clear();
    EXPECT_TRUE(client.closed_everywhere());
    EXPECT_TRUE(server.closed_everywhere());
    EXPECT_EQ(delegate_.drained, 1);
    EXPECT_TRUE(delegate_.errors.empty());
}

TEST_F(tie_test, zero_settings_and_empty_rule_set_are_still_present)
{
    connection_t client, server;
    send(client, server, kv::RuleSet());
    auto frames = peer_->read_frames(io_, 1);
    ASSERT_EQ(frames.size(), 1u);
    const auto& m = frames[0].message;
    const auto* descriptor = m.GetDescriptor();
    for (int i = 0; i < descriptor->field_count(); ++i) {
        const auto* field = descriptor->field(i);
        EXPECT_EQ(m.GetReflection()->HasField(m, field), field->name() != "http_safe_search")
            << field->name();
    }
    EXPECT_EQ(m.rule_set().variable_size(), 0);
}

TEST_F(tie_test, would_block_keeps_descriptors_until_first_bytes_go_and_queued_frames_keep_settings)
{
    const std::size_t filler = fill_socket();
    connection_t c1, s1, c2, s2;
    send(c1, s1, rule_set("first"));
    // Nothing accepted: both sockets are still the tie's.
    EXPECT_TRUE(fd_open(c1.number));
    EXPECT_TRUE(fd_open(s1.number));
    EXPECT_EQ(inode(c1.number), c1.ino);
    EXPECT_EQ(events.back(), "Debug: Pellad tie: sending would block");

    tie_->set_inspect_options(inspect_all(true));
    tie_->set_scan_options(scan_levels(7, true));
    tie_->set_block_unchecked(true);
    send(c2, s2, rule_set("second"));
    EXPECT_EQ(delegate_.drained, 0);

    drain_filler(filler);
    auto frames = peer_->read_frames(io_, 2);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].message.rule_set().variable(0).user_name(), "first");
    EXPECT_FALSE(frames[0].message.inspect_http());
    EXPECT_EQ(frames[0].message.scan_timeout(), 0u);
    EXPECT_FALSE(frames[0].message.block_unchecked());
    EXPECT_EQ(frames[1].message.rule_set().variable(0).user_name(), "second");
    EXPECT_TRUE(frames[1].message.inspect_ftp());
    EXPECT_EQ(frames[1].message.scan_timeout(), 7u);
    EXPECT_TRUE(frames[1].message.block_unchecked());

    const connection_t* expected[2][2] = {{&c1, &s1}, {&c2, &s2}};
    for (int f = 0; f < 2; ++f) {
        ASSERT_EQ(frames[f].fds.size(), 2u);
        EXPECT_EQ(inode(frames[f].fds[0].get()), expected[f][0]->ino);
        EXPECT_EQ(inode(frames[f].fds[1].get()), expected[f][1]->ino);
    }
    EXPECT_EQ(delegate_.drained, 1);
    EXPECT_TRUE(delegate_.errors.empty());
}

TEST_F(tie_test, partly_accepted_frame_takes_descriptors_with_its_first_part)
{
    int small = 4096;
    ::setsockopt(tie_fd_, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    connection_t c1, s1, c2, s2;
    send(c1, s1, rule_set("big", 256 * 1024));
    // Part of the frame went; its sockets went with it and are closed here at once.
    EXPECT_FALSE(fd_open(c1.number));
    EXPECT_FALSE(fd_open(s1.number));
    EXPECT_EQ(delegate_.drained, 0);
    send(c2, s2, rule_set("small"));
    // The second frame waits for the first to complete.
    EXPECT_TRUE(fd_open(c2.number));

    auto frames = peer_->read_frames(io_, 2);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].message.rule_set().variable(1).exe_path().size(), 256u * 1024);
    EXPECT_EQ(frames[1].message.rule_set().variable(0).user_name(), "small");
    ASSERT_EQ(frames[0].fds.size(), 2u);
    ASSERT_EQ(frames[1].fds.size(), 2u);
    EXPECT_EQ(inode(frames[0].fds[0].get()), c1.ino);
    EXPECT_EQ(inode(frames[1].fds[1].get()), s2.ino);
    EXPECT_EQ(peer_->unclaimed_descriptors(), 0u);
    EXPECT_EQ(delegate_.drained, 1);
}

// What pellad does on its end, and what the tie makes of it.
struct peer_event_case_t {
    const char* name;
    bool frame_queued;
    bool peer_writes; // else it ends its stream (shutdown of its sending side)
    int error;        // kv.ErrorCode, or 0 for on_closed
};

class tie_peer_event_test : public tie_test, public ::testing::WithParamInterface<peer_event_case_t> {};

TEST_P(tie_peer_event_test, ends_the_tie_as_specified)
{
    const auto& param = GetParam();
    connection_t client, server;
    if (param.frame_queued) {
        fill_socket();
        send(client, server, rule_set("queued"));
    }
    if (param.peer_writes)
        ASSERT_EQ(::send(peer_->fd(), "x", 1, 0), 1);
    else
        ASSERT_EQ(::shutdown(peer_->fd(), SHUT_WR), 0);

    // Everything still pending (the receive, a writability wait) runs out here;
    // after the failure nothing may reach the delegate any more.
    io_.run_for(std::chrono::milliseconds(200));
    if (param.error == 0) {
        EXPECT_EQ(delegate_.closed, 1);
        EXPECT_TRUE(delegate_.errors.empty());
        EXPECT_TRUE(fd_open(tie_fd_)); // stays open until the owner destroys the tie
    } else {
        EXPECT_EQ(delegate_.closed, 0);
        ASSERT_EQ(delegate_.errors.size(), 1u);
        EXPECT_EQ(error_value(), param.error);
        EXPECT_EQ(error_text().rfind("Pellad tie: ", 0), 0u) << error_text();
        try {
            std::rethrow_exception(delegate_.errors[0]);
        } catch (const boost::system::system_error& e) {
            EXPECT_EQ(std::string(e.code().category().name()), "kv.Error");
        }
    }
    EXPECT_EQ(delegate_.drained, 0);
    if (param.frame_queued) {
        // The frame was dropped and its sockets closed.
        EXPECT_TRUE(client.closed_everywhere());
        EXPECT_TRUE(server.closed_everywhere());
    }
}

INSTANTIATE_TEST_SUITE_P(
    cases, tie_peer_event_test,
    ::testing::Values(peer_event_case_t{"byte_while_idle", false, true, kv::EC_PROTOCOL_VIOLATION},
                      peer_event_case_t{"byte_while_sending", true, true, kv::EC_PROTOCOL_VIOLATION},
                      peer_event_case_t{"end_while_idle", false, false, 0},
                      peer_event_case_t{"end_while_sending", true, false, kv::EC_UNEXPECTED_EOF}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(tie_test, send_to_a_vanished_peer_fails_without_sigpipe_and_closes_the_sockets)
{
    peer_->reset();
    connection_t client, server;
    send(client, server, rule_set("lost"));
    ASSERT_EQ(delegate_.errors.size(), 1u);
    EXPECT_EQ(error_value(), EPIPE);
    EXPECT_EQ(error_text().rfind("Pellad tie: sendmsg failed", 0), 0u) << error_text();
    EXPECT_TRUE(client.closed_everywhere());
    EXPECT_TRUE(server.closed_everywhere());
    // The receive watch sees the end of stream too, but the tie has already failed.
    io_.run_for(std::chrono::milliseconds(100));
    EXPECT_EQ(delegate_.closed, 0);
    EXPECT_EQ(delegate_.errors.size(), 1u);
}

TEST_F(tie_test, destruction_closes_exactly_the_descriptors_not_yet_sent)
{
    int small = 4096;
    ::setsockopt(tie_fd_, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    connection_t c1, s1, c2, s2, c3, s3;
    send(c1, s1, rule_set("started", 256 * 1024));
    ASSERT_FALSE(fd_open(c1.number));
    // Whatever now takes the numbers the tie gave up must survive its destruction.
    scoped_fd_t reuse1(::dup(peer_->fd())), reuse2(::dup(peer_->fd()));
    const std::vector<int> reused{reuse1.get(), reuse2.get()};
    send(c2, s2, rule_set("waiting"));
    send(c3, s3, rule_set("waiting too"));
    EXPECT_FALSE(c2.closed_everywhere());

    tie_.reset();
    EXPECT_TRUE(c2.closed_everywhere());
    EXPECT_TRUE(s2.closed_everywhere());
    EXPECT_TRUE(c3.closed_everywhere());
    EXPECT_TRUE(s3.closed_everywhere());
    EXPECT_TRUE(fd_open(reuse1.get()));
    EXPECT_TRUE(fd_open(reuse2.get()));
    // Nothing pending runs for the destroyed tie.
    io_.run_for(std::chrono::milliseconds(50));
    EXPECT_EQ(delegate_.drained + delegate_.closed + static_cast<int>(delegate_.errors.size()), 0);
}

TEST(tie_construction, socket_that_cannot_be_non_blocking_is_refused)
{
    boost::asio::io_context io;
    try {
        tie_t tie(tie_t::socket_t(io), {}, {}, false);
        FAIL() << "constructed over a closed socket";
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Pellad tie: cannot set non-blocking mode", 0), 0u)
            << e.what();
    }
}

} // namespace
