// The pellad tie manager between a marend tie (the test answers as marend over
// a socketpair) and a pellad socket the test listens on, reading the frames
// and the descriptors that arrive with them.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/system/system_error.hpp>
#include <gtest/gtest.h>

#include "common/error.hpp"
#include "common/log.hpp"
#include "common/rate_limit.hpp"
#include "common/scoped_fd.hpp"
#include "error.pb.h"
#include "fw/divert/pellad_tie_manager.hpp"
#include "linux_firewall_config.pb.h"
#include "pellad_client_ipc.pb.h"
#include "rules.pb.h"
#include "tests/common/fork.hpp"
#include "tests/common/recording_log.hpp"
#include "tests/common/temp_dir.hpp"
#include "tests/fw/handover_support.hpp"
#include "tests/links/pellad/peer_support.hpp"

namespace {

using boost::asio::ip::tcp;
using fw::service::connected_socket_t;
using fw::util::scoped_fd_t;
using namespace std::chrono_literals;

using morva_test::handed_socket_t;
using morva_test::inode;

struct frame_t {
    pd::ClientMessage message;
    std::vector<scoped_fd_t> fds; // as sent: client, server
};

// pellad's end of one link: collects the stream and its descriptors.
class pellad_link_t {
public:
    explicit pellad_link_t(scoped_fd_t fd) : fd_(std::move(fd)) {}

    // Reads what is there; false when nothing was.
    bool read_some()
    {
        morva_test::descriptor_read_t read = morva_test::read_with_descriptors(fd_.get(), stream_);
        if (read.bytes <= 0)
            return false;
        for (morva_test::descriptor_read_t::batch_t& batch : read.batches)
            for (scoped_fd_t& fd : batch.fds)
                fds_.push_back(std::move(fd));
        return true;
    }

    // Complete frames so far, each with the next two descriptors.
    std::vector<frame_t> take_frames()
    {
        std::vector<frame_t> frames;
        std::size_t offset = 0;
        while (offset + 4 <= stream_.size()) {
            std::uint32_t length;
            std::memcpy(&length, stream_.data() + offset, 4);
            if (offset + 4 + length > stream_.size())
                break;
            frame_t frame;
            EXPECT_TRUE(frame.message.ParseFromArray(stream_.data() + offset + 4, static_cast<int>(length)));
            for (int i = 0; i < 2 && !fds_.empty(); ++i) {
                frame.fds.push_back(std::move(fds_.front()));
                fds_.erase(fds_.begin());
            }
            frames.push_back(std::move(frame));
            offset += 4 + length;
        }
        stream_.erase(stream_.begin(), stream_.begin() + static_cast<std::ptrdiff_t>(offset));
        return frames;
    }

    int fd() const { return fd_.get(); }
    void close() { fd_.reset(); }

private:
    scoped_fd_t fd_;
    std::vector<unsigned char> stream_;
    std::vector<scoped_fd_t> fds_;
};

class pellad_tie_manager_test : public morva_test::temp_dir_test_t {
protected:
    void SetUp() override
    {
        temp_dir_test_t::SetUp();
        log_ = morva_test::fresh_debug_log();
        manager_ = std::make_unique<fw::service::pellad_tie_manager_t>(io_, config_, marend_.tie());
        path_ = (dir / "pellad.sock").string();
        listener_ = listen_at(path_);
    }

    void TearDown() override
    {
        manager_.reset();
        marend_.reset();
        temp_dir_test_t::TearDown();
    }

    bool run_until(const std::function<bool()>& done) { return morva_test::run_until(io_, done); }

    void run_briefly()
    {
        for (int i = 0; i < 20; ++i) {
            io_.poll();
            io_.restart();
            std::this_thread::sleep_for(1ms);
        }
    }

    // How many GET_PELLAD_REQUEST messages marend has received since the last call.
    int pellad_requests()
    {
        run_briefly();
        return marend_.pellad_requests();
    }

    void answer(const std::string& path, kv::ErrorCode error = kv::EC_OK) { marend_.answer_pellad(path, error); }

    static scoped_fd_t listen_at(const std::string& path) { return morva_test::listen_unix(path, SOCK_NONBLOCK); }

    // Answers marend with the path and accepts the manager's connection.
    std::unique_ptr<pellad_link_t> answer_and_accept()
    {
        answer(path_);
        scoped_fd_t accepted;
        run_until([&] {
            if (!accepted)
                accepted.reset(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
            return bool(accepted);
        });
        EXPECT_TRUE(accepted);
        return std::make_unique<pellad_link_t>(std::move(accepted));
    }

    void expect_pair_obtains_link();

    std::vector<frame_t> frames(pellad_link_t& link, std::size_t count)
    {
        std::vector<frame_t> all;
        run_until([&] {
            while (link.read_some()) {
            }
            for (auto& f : link.take_frames())
                all.push_back(std::move(f));
            return all.size() >= count;
        });
        return all;
    }

    // Hands a pair to the manager; the test keeps both partners.
    void hand_pair(handed_socket_t& server, handed_socket_t& client, const std::string& user = "u",
                   const tcp::endpoint& server_endpoint = {boost::asio::ip::make_address_v4("198.51.100.7"), 443},
                   const tcp::endpoint& client_endpoint = {boost::asio::ip::make_address_v4("192.0.2.10"), 40000})
    {
        kv::RuleSet rules;
        rules.add_variable()->set_user_name(user);
        manager_->new_socket_pair(connected_socket_t{server_endpoint, std::move(server.fd)},
                                  connected_socket_t{client_endpoint, std::move(client.fd)}, rules);
    }

    std::vector<std::string> lines() { return log_->taken(); }

    // The link the first configure obtains, once it is up.
    std::unique_ptr<pellad_link_t> configured_link()
    {
        manager_->configure();
        EXPECT_EQ(pellad_requests(), 1);
        auto link = answer_and_accept();
        run_briefly();
        return link;
    }

    // Waits for a log line with this beginning; returns every line seen.
    std::vector<std::string> wait_for_line(const std::string& beginning)
    {
        std::vector<std::string> logged;
        const bool found = run_until([&] {
            for (auto& line : lines())
                logged.push_back(line);
            for (const auto& line : logged)
                if (line.rfind(beginning, 0) == 0)
                    return true;
            return false;
        });
        EXPECT_TRUE(found) << beginning << " not in " << testing::PrintToString(logged);
        return logged;
    }

    std::shared_ptr<morva_test::recording_log_t> log_;
    boost::asio::io_context io_;
    kv::LinuxFirewallConfig config_;
    morva_test::marend_peer_t marend_{io_};
    std::unique_ptr<fw::service::pellad_tie_manager_t> manager_;
    std::vector<std::exception_ptr>& marend_errors_ = marend_.errors;
    std::string path_;
    scoped_fd_t listener_;
};

// The frame carries the pair's descriptors (client first) and its rule set.
void expect_pair(const frame_t& frame, const handed_socket_t& server, const handed_socket_t& client,
                 const std::string& user)
{
    EXPECT_EQ(frame.message.tag(), pd::ClientMessage::COMPLEMENTARY_CONNECTIONS);
    ASSERT_EQ(frame.fds.size(), 2u);
    EXPECT_EQ(inode(frame.fds[0].get()), client.ino);
    EXPECT_EQ(inode(frame.fds[1].get()), server.ino);
    ASSERT_EQ(frame.message.rule_set().variable_size(), 1);
    EXPECT_EQ(frame.message.rule_set().variable(0).user_name(), user);
}

// Without a link, one pair makes one request and goes out on the new link.
void pellad_tie_manager_test::expect_pair_obtains_link()
{
    handed_socket_t s, c;
    hand_pair(s, c, "waiting");
    EXPECT_EQ(pellad_requests(), 1);
    auto link = answer_and_accept();
    const auto received = frames(*link, 1);
    ASSERT_EQ(received.size(), 1u);
    expect_pair(received[0], s, c, "waiting");
}

TEST_F(pellad_tie_manager_test, the_first_configure_obtains_the_link_and_queued_pairs_follow_in_order)
{
    config_.set_scan_timeout(30);
    config_.set_heuristic_analysis(true);
    config_.set_packer_max_level(1);
    config_.set_archive_max_level(2);
    config_.set_mail_max_level(3);
    config_.set_container_max_level(4);
    config_.set_max_compression_ratio(5);
    config_.set_block_unchecked(true);
    config_.set_inspect_pop3(true);
    config_.set_inspect_ftp(true);

    manager_->configure();
    EXPECT_EQ(pellad_requests(), 1);
    // Pairs that come while the path is asked for wait; no second request.
    handed_socket_t s1, c1, s2, c2;
    hand_pair(s1, c1, "first");
    hand_pair(s2, c2, "second");
    manager_->configure();
    EXPECT_EQ(pellad_requests(), 0);

    auto link = answer_and_accept();
    const auto received = frames(*link, 2);
    ASSERT_EQ(received.size(), 2u);
    expect_pair(received[0], s1, c1, "first");
    expect_pair(received[1], s2, c2, "second");
    const auto& m = received[0].message;
    EXPECT_EQ(m.scan_timeout(), 30u);
    EXPECT_TRUE(m.heuristic_analysis());
    EXPECT_EQ(m.packer_max_level(), 1u);
    EXPECT_EQ(m.archive_max_level(), 2u);
    EXPECT_EQ(m.mail_max_level(), 3u);
    EXPECT_EQ(m.container_max_level(), 4u);
    EXPECT_EQ(m.max_compression_ratio(), 5u);
    EXPECT_TRUE(m.block_unchecked());
    EXPECT_EQ((std::vector<bool>{m.inspect_http(), m.inspect_pop3(), m.inspect_imap(), m.inspect_smtp(),
                                 m.inspect_ftp()}),
              (std::vector<bool>{false, true, false, false, true}));
    EXPECT_TRUE(marend_errors_.empty());

    std::vector<std::string> mine;
    for (const auto& line : lines())
        if (line.find("Pellad tie manager: ") != std::string::npos)
            mine.push_back(line);
    EXPECT_EQ(mine, (std::vector<std::string>{
                        "0 Pellad tie manager: requesting Pellad",
                        "0 Pellad tie manager: new socket pair: 192.0.2.10:40000 (fd " + std::to_string(c1.number) +
                            ") -> 198.51.100.7:443 (fd " + std::to_string(s1.number) + ")",
                        "0 Pellad tie manager: new socket pair: 192.0.2.10:40000 (fd " + std::to_string(c2.number) +
                            ") -> 198.51.100.7:443 (fd " + std::to_string(s2.number) + ")",
                        "0 Pellad tie manager: connecting to " + path_,
                        "0 Pellad tie manager: connected to Pellad",
                    }));
}

TEST_F(pellad_tie_manager_test, a_pair_without_a_link_starts_obtaining_one)
{
    expect_pair_obtains_link();
}

TEST_F(pellad_tie_manager_test, configure_with_a_link_changes_the_settings_of_later_frames)
{
    auto link = configured_link();
    config_.set_scan_timeout(77);
    config_.set_inspect_http(true);
    config_.set_block_unchecked(true);
    manager_->configure();
    EXPECT_EQ(pellad_requests(), 0);

    handed_socket_t s, c;
    hand_pair(s, c);
    const auto received = frames(*link, 1);
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].message.scan_timeout(), 77u);
    EXPECT_TRUE(received[0].message.inspect_http());
    EXPECT_TRUE(received[0].message.block_unchecked());
}

TEST_F(pellad_tie_manager_test, after_the_peer_closes_the_next_pair_obtains_a_new_link)
{
    auto first = configured_link();
    first->close();
    wait_for_line("0 Pellad tie manager: tie closed");
    EXPECT_EQ(pellad_requests(), 0);
    expect_pair_obtains_link();
}

TEST_F(pellad_tie_manager_test, a_failed_link_is_logged_and_replaced_at_the_next_configure)
{
    auto link = configured_link();
    // pellad never writes on the link: anything it sends fails the tie.
    ASSERT_EQ(::send(link->fd(), "x", 1, 0), 1);
    // The Error line carries the tie's own description of its failure.
    wait_for_line("4 Pellad tie manager: Pellad tie: ");

    manager_->configure();
    EXPECT_EQ(pellad_requests(), 1);
}

// A pellad that stops reading must not take the daemon to the descriptor
// limit: beyond the limit of pairs held, new pairs are given up at once, with
// a Warning, and what was held still goes out once the link is there.
TEST_F(pellad_tie_manager_test, pairs_beyond_the_limit_are_reset_with_a_warning)
{
    manager_ = std::make_unique<fw::service::pellad_tie_manager_t>(io_, config_, marend_.tie(), 2);
    handed_socket_t s1, c1, s2, c2, s3, c3;
    hand_pair(s1, c1, "first");
    hand_pair(s2, c2, "second");
    EXPECT_EQ(pellad_requests(), 1);
    lines();
    hand_pair(s3, c3, "third");
    EXPECT_TRUE(s3.closed_everywhere());
    EXPECT_TRUE(c3.closed_everywhere());
    EXPECT_FALSE(s1.closed_everywhere());
    EXPECT_FALSE(c2.closed_everywhere());
    const auto logged = lines();
    EXPECT_NE(std::find(logged.begin(), logged.end(),
                        "3 Pellad tie manager: 2 connections are waiting for Pellad; resetting "
                        "192.0.2.10:40000 -> 198.51.100.7:443"),
              logged.end())
        << testing::PrintToString(logged);

    auto link = answer_and_accept();
    const auto received = frames(*link, 2);
    ASSERT_EQ(received.size(), 2u);
    expect_pair(received[0], s1, c1, "first");
    expect_pair(received[1], s2, c2, "second");
}

// With no descriptor left for the link, the pairs waiting for it are given up
// (a Warning), not the daemon; the next pair asks for the link again.
TEST_F(pellad_tie_manager_test, no_descriptor_for_the_link_resets_the_waiting_pairs_and_the_next_pair_tries_again)
{
    const auto result = morva_test::run_in_child([this] {
        // Of its own: the limit and the warnings' window are the process's.
        boost::asio::io_context io;
        morva_test::marend_peer_t marend(io);
        fw::service::pellad_tie_manager_t manager(io, config_, marend.tie());
        const auto settle = [&io] {
            for (int i = 0; i < 20; ++i) {
                io.poll();
                io.restart();
                std::this_thread::sleep_for(1ms);
            }
        };
        const auto hand = [&manager](handed_socket_t& server, handed_socket_t& client) {
            manager.new_socket_pair(connected_socket_t{{}, std::move(server.fd)},
                                    connected_socket_t{{}, std::move(client.fd)}, kv::RuleSet());
        };
        handed_socket_t s1, c1, s2, c2;
        hand(s1, c1);
        settle();
        std::fprintf(stderr, "requests %d\n", marend.pellad_requests());
        log_->taken();
        // An earlier test's Warning may still hold the window shut.
        while (!rate_limit_elapsed())
            std::this_thread::sleep_for(50ms);

        rlimit saved{};
        ::getrlimit(RLIMIT_NOFILE, &saved);
        const int lowest_free = ::dup(0);
        ::close(lowest_free);
        const rlimit low{static_cast<rlim_t>(lowest_free), saved.rlim_max};
        ::setrlimit(RLIMIT_NOFILE, &low);
        marend.answer_pellad(path_);
        std::vector<std::string> warnings;
        morva_test::run_until(io, [&] {
            for (auto& line : log_->taken())
                if (line.rfind("3 ", 0) == 0)
                    warnings.push_back(line);
            return !warnings.empty();
        }, 10s);
        ::setrlimit(RLIMIT_NOFILE, &saved);
        for (const auto& line : warnings)
            std::fprintf(stderr, "%s\n", line.c_str());
        std::fprintf(stderr, "closed %d %d\n", s1.closed_everywhere(), c1.closed_everywhere());

        hand(s2, c2);
        settle();
        std::fprintf(stderr, "requests %d, errors %zu\n", marend.pellad_requests(), marend.errors.size());
        ::_exit(0);
    });
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "requests 1\n"
                          "3 Pellad tie manager: cannot open socket: Too many open files; resetting 1 connections\n"
                          "closed 1 1\n"
                          "requests 1, errors 0\n");
}

TEST_F(pellad_tie_manager_test, on_error_closes_the_pairs_still_queued)
{
    handed_socket_t s, c;
    hand_pair(s, c);
    EXPECT_EQ(pellad_requests(), 1);
    manager_->on_error(std::make_exception_ptr(std::runtime_error("pellad went away")));
    EXPECT_TRUE(s.closed_everywhere());
    EXPECT_TRUE(c.closed_everywhere());
    const auto logged = lines();
    ASSERT_FALSE(logged.empty());
    EXPECT_EQ(logged.back(), "4 Pellad tie manager: pellad went away");
}

TEST_F(pellad_tie_manager_test, failures_in_the_path_answer_fail_the_marend_tie)
{
    const struct {
        std::string path;
        kv::ErrorCode error;
        std::string text; // the beginning of the error's text
        boost::system::error_code code;
    } cases[] = {
        {"", kv::EC_NO_PELLAD, "Pellad tie manager: cannot get Pellad: ", kv::make_error_code(kv::EC_NO_PELLAD)},
        // One byte more than a UNIX socket address holds.
        {"/" + std::string(107, 'p'), kv::EC_OK, "",
         boost::system::error_code(ENAMETOOLONG, boost::system::system_category())},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        morva_test::marend_peer_t marend(io_);
        fw::service::pellad_tie_manager_t manager(io_, config_, marend.tie());
        manager.configure();
        run_briefly();
        EXPECT_EQ(marend.pellad_requests(), 1);
        marend.answer_pellad(c.path, c.error);
        ASSERT_TRUE(run_until([&] { return !marend.errors.empty(); }));
        ASSERT_EQ(marend.errors.size(), 1u);
        const std::string text = describe_exception_ptr(marend.errors[0]);
        EXPECT_EQ(text.rfind(c.text, 0), 0u) << text;
        EXPECT_EQ(error_code_from_exception_ptr(marend.errors[0]), c.code);
    }
}

TEST_F(pellad_tie_manager_test, a_path_nobody_listens_on_fails_out_of_the_event_loop)
{
    manager_->configure();
    pellad_requests();
    const std::string missing = (dir / "missing.sock").string();
    answer(missing);
    try {
        io_.run_for(2s);
        FAIL() << "the connect failure stayed in the event loop";
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(std::string(e.what()), "Pellad tie manager: cannot connect to " + missing + ": " + e.code().message());
        EXPECT_EQ(e.code().value(), ENOENT);
    }
}

TEST_F(pellad_tie_manager_test, destroying_the_manager_disarms_the_pending_answer)
{
    manager_->configure();
    EXPECT_EQ(pellad_requests(), 1);
    manager_.reset();
    answer(path_);
    run_briefly();
    scoped_fd_t accepted(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    EXPECT_FALSE(accepted);
    EXPECT_TRUE(marend_errors_.empty());
}

} // namespace
