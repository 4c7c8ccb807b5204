#pragma once
// Shared by the tests of the hand-over services: an event loop turned until a
// condition holds, a process log that records every line from Debug up, and
// the test's side of the links to marend and to a listening peer.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <gtest/gtest.h>

#include "common/log.hpp"
#include "common/scoped_fd.hpp"
#include "error.pb.h"
#include "links/marend_tie.hpp"
#include "marend_linux_firewall_ipc.pb.h"
#include "tests/common/recording_log.hpp"
#include "tests/links/stream_pair.hpp"

namespace morva_test {

inline bool run_until(boost::asio::io_context& io, const std::function<bool()>& done,
                      std::chrono::milliseconds timeout = std::chrono::seconds(2))
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (done())
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        io.run_for(std::chrono::milliseconds(2));
        io.restart();
    }
}

// Whether an epoll instance of this process still watches the socket or file
// behind `fd`: a watch outlives the watcher's own descriptor while another
// descriptor of the same file (one handed over) keeps it open, and then
// wakes the event loop for every event of a connection it gave away.
inline bool watched_by_an_epoll(int fd)
{
    struct stat target{};
    if (::fstat(fd, &target) != 0)
        return false;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        if (std::filesystem::read_symlink(entry.path(), ec).string() != "anon_inode:[eventpoll]")
            continue;
        std::ifstream info("/proc/self/fdinfo/" + entry.path().filename().string());
        // "tfd:       21 events:       19 data: 5581ccc0cb60  pos:0 ino:35f1a sdev:8"
        for (std::string line; std::getline(info, line);) {
            const auto at = line.find(" ino:");
            if (line.rfind("tfd:", 0) == 0 && at != std::string::npos
                && std::stoul(line.substr(at + 5), nullptr, 16) == target.st_ino)
                return true;
        }
    }
    return false;
}

// The one recording log of the test program, emptied, at threshold Debug.
inline std::shared_ptr<recording_log_t> fresh_debug_log()
{
    const auto& log = installed_recording_log();
    cf_log_threshold = 0;
    log->taken();
    return log;
}

// A UNIX stream socket listening at `path`, as a peer of the daemon; `flags`
// go to socket() with SOCK_STREAM | SOCK_CLOEXEC.
inline fw::util::scoped_fd_t listen_unix(const std::string& path, int flags = 0)
{
    fw::util::scoped_fd_t fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | flags, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());
    EXPECT_EQ(::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << path;
    EXPECT_EQ(::listen(fd.get(), 4), 0);
    return fd;
}

// Plays marend for one marend tie over a socketpair: counts the tie's pellad
// path requests and answers them.
class marend_peer_t : public fw::marend::tie_t::delegate_t {
public:
    explicit marend_peer_t(boost::asio::io_context& io)
    {
        int peer = -1;
        tie_ = std::make_unique<fw::marend::tie_t>(*this, stream_pair(io, peer));
        peer_.reset(peer);
    }

    fw::marend::tie_t& tie() { return *tie_; }
    void reset() { tie_.reset(); }

    // The tags of the messages received since the last call.
    std::vector<int> request_tags()
    {
        std::vector<int> tags;
        char buffer[4096];
        const ssize_t n = ::recv(peer_.get(), buffer, sizeof buffer, MSG_DONTWAIT);
        for (ssize_t offset = 0; n > 0 && offset + 4 <= n;) {
            std::uint32_t length;
            std::memcpy(&length, buffer + offset, 4);
            kv::Firewall2MarendMessage message;
            EXPECT_TRUE(message.ParseFromArray(buffer + offset + 4, static_cast<int>(length)));
            tags.push_back(message.tag());
            offset += 4 + static_cast<ssize_t>(length);
        }
        return tags;
    }

    // GET_PELLAD_REQUEST messages received since the last call.
    int pellad_requests()
    {
        const std::vector<int> tags = request_tags();
        return static_cast<int>(std::count(tags.begin(), tags.end(), kv::Firewall2MarendMessage::GET_PELLAD_REQUEST));
    }

    // Sends the message to the tie in one frame.
    void send(const kv::Marend2FirewallMessage& message)
    {
        const std::string body = message.SerializeAsString();
        const auto length = static_cast<std::uint32_t>(body.size());
        std::string frame(reinterpret_cast<const char*>(&length), 4);
        frame += body;
        ASSERT_EQ(::send(peer_.get(), frame.data(), frame.size(), 0), static_cast<ssize_t>(frame.size()));
    }

    // Answers the oldest request with the path, or with the error when it is not EC_OK.
    void answer_pellad(const std::string& path, kv::ErrorCode error = kv::EC_OK)
    {
        kv::Marend2FirewallMessage message;
        message.set_tag(kv::Marend2FirewallMessage::GET_PELLAD_RESPONSE);
        if (error != kv::EC_OK)
            message.mutable_error()->set_code(error);
        else
            message.set_socket_path(path);
        send(message);
    }

    // What the tie reported to its delegate: the errors that end the daemon.
    std::vector<std::exception_ptr> errors;

private:
    void on_error(std::exception_ptr error) override { errors.push_back(error); }

    fw::util::scoped_fd_t peer_;
    std::unique_ptr<fw::marend::tie_t> tie_;
};

} // namespace morva_test
