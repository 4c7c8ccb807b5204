#pragma once
// Shared by the tests of the hand-over services: an event loop turned until a
// condition holds, and a process log that records every line from Debug up.
#include <sys/socket.h>

#include <chrono>
#include <cstring>
#include <exception>
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

// The one recording log of the test program, emptied, at threshold Debug.
inline std::shared_ptr<recording_log_t> fresh_debug_log()
{
    static const auto log = [] {
        auto l = std::make_shared<recording_log_t>();
        cf_log_install(l);
        return l;
    }();
    cf_log_threshold = 0;
    log->taken();
    return log;
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

    // GET_PELLAD_REQUEST messages received since the last call.
    int pellad_requests()
    {
        int count = 0;
        char buffer[4096];
        const ssize_t n = ::recv(peer_.get(), buffer, sizeof buffer, MSG_DONTWAIT);
        for (ssize_t offset = 0; n > 0 && offset + 4 <= n;) {
            std::uint32_t length;
            std::memcpy(&length, buffer + offset, 4);
            kv::Firewall2MarendMessage message;
            EXPECT_TRUE(message.ParseFromArray(buffer + offset + 4, static_cast<int>(length)));
            count += message.tag() == kv::Firewall2MarendMessage::GET_PELLAD_REQUEST;
            offset += 4 + static_cast<ssize_t>(length);
        }
        return count;
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
        const std::string body = message.SerializeAsString();
        const auto length = static_cast<std::uint32_t>(body.size());
        std::string frame(reinterpret_cast<const char*>(&length), 4);
        frame += body;
        ASSERT_EQ(::send(peer_.get(), frame.data(), frame.size(), 0), static_cast<ssize_t>(frame.size()));
    }

    // What the tie reported to its delegate: the errors that end the daemon.
    std::vector<std::exception_ptr> errors;

private:
    void on_error(std::exception_ptr error) override { errors.push_back(error); }

    fw::util::scoped_fd_t peer_;
    std::unique_ptr<fw::marend::tie_t> tie_;
};

} // namespace morva_test
