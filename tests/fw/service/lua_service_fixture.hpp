#pragma once
// The Lua service on a real event loop, with the real process finder (given
// its inode getter), a quisad client whose link is a socketpair to a peer that
// answers every lookup and check, and a recording log hook.
#include <sys/socket.h>

#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <gtest/gtest.h>

#include "common/log_hook.hpp"
#include "fw/service/lua_service.hpp"
#include "fw/service/process_finder.hpp"
#include "linux_firewall_config.pb.h"
#include "links/ipc_link.hpp"
#include "links/quisad/quisad.hpp"
#include "links/stream_socket.hpp"
#include "lua/intercept_driver.hpp"
#include "lua/intercept_types.hpp"
#include "quisad_client_ipc.pb.h"
#include "tests/common/temp_dir.hpp"

namespace morva_test {

// quisad's end of the link: a lookup returns its tag as the only value, a
// check is true when the value equals the tag.
class quisad_answerer_t : public fw::util::ipc_link_t::delegate_t {
public:
    explicit quisad_answerer_t(std::unique_ptr<fw::util::stream_socket_t> socket) : link_(this, std::move(socket)) {}

    void on_message(const void* data, std::size_t size) override
    {
        qd::ClientMessage request;
        ASSERT_TRUE(request.ParseFromArray(data, static_cast<int>(size)));
        requests.push_back(request);
        qd::ServerMessage answer;
        answer.set_serial(request.serial());
        if (request.tag() == qd::ClientMessage::LOOKUP_REQUEST) {
            answer.set_tag(qd::ServerMessage::LOOKUP_RESPONSE);
            answer.add_data(request.lookup_tag());
        } else {
            answer.set_tag(qd::ServerMessage::CHECK_RESPONSE);
            answer.set_result(request.check() == request.lookup_tag());
        }
        const std::string body = answer.SerializeAsString();
        auto bytes = std::make_unique<std::uint8_t[]>(body.size());
        std::memcpy(bytes.get(), body.data(), body.size());
        link_.write(std::move(bytes), body.size());
    }
    void on_error(std::exception_ptr) override {}

    std::vector<qd::ClientMessage> requests;

private:
    fw::util::ipc_link_t link_;
};

class lua_service_fixture : public temp_dir_test_t, public fw::quisad::quisad_t::link_provider_t {
public:
    using socket_t = boost::asio::local::stream_protocol::socket;

    struct delivery_t {
        std::string error; // empty for a verdict
        fw::lua::intercept::verdict_t verdict;
        fw::lua::intercept::artifacts_t artifacts;
    };

    explicit lua_service_fixture(std::unique_ptr<fw::service::process_finder_t::inode_getter_t> getter = nullptr)
        : finder(getter ? std::make_unique<fw::service::process_finder_t>(io, std::move(getter))
                        : std::make_unique<fw::service::process_finder_t>(io)),
          lua(io, config, *finder, quisad)
    {
        previous_logger_ = kv::util::set_logger(
            [this](kv::util::log_level_t level, const std::string& text) {
                lines.push_back(std::to_string(level) + " " + text);
            });
        previous_level_ = kv::util::set_log_level(0);
        info.divert = "output";
    }

    ~lua_service_fixture() override
    {
        kv::util::set_logger(std::move(previous_logger_));
        kv::util::set_log_level(previous_level_);
    }

    void get_link(fw::quisad::quisad_t::link_callback_t callback) override
    {
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        using wrapper_t = fw::util::asio_stream_socket_wrapper_t<socket_t>;
        answerer = std::make_unique<quisad_answerer_t>(
            std::make_unique<wrapper_t>(socket_t(io, boost::asio::local::stream_protocol(), fds[1])));
        callback(nullptr, std::make_unique<wrapper_t>(socket_t(io, boost::asio::local::stream_protocol(), fds[0])));
    }

    void set_hook(const std::string& code) { config.mutable_intercept_hook()->set_buffer(code); }

    // Starts a session and runs the loop until it delivers (at most ~5 s).
    delivery_t decide(const std::string& id = "1")
    {
        auto driver = lua.create_driver(info, id);
        std::vector<delivery_t> deliveries;
        driver->set_completion_handler([&](std::exception_ptr e, fw::lua::intercept::verdict_t verdict,
                                           const fw::lua::intercept::artifacts_t& artifacts) {
            deliveries.push_back({e ? kv::util::exception_message(e) : "", verdict, artifacts});
        });
        // The process finder answers from its own thread: keep the loop waiting.
        auto guard = boost::asio::make_work_guard(io);
        for (int turns = 0; turns < 5000 && deliveries.empty(); ++turns)
            io.run_for(std::chrono::milliseconds(1));
        guard.reset();
        io.restart();
        EXPECT_EQ(deliveries.size(), 1u);
        return deliveries.empty() ? delivery_t{"no delivery", fw::lua::intercept::CHECK, {}} : deliveries[0];
    }

    boost::asio::io_context io;
    kv::LinuxFirewallConfig config;
    fw::quisad::quisad_t quisad{io, *this};
    std::unique_ptr<quisad_answerer_t> answerer;
    std::unique_ptr<fw::service::process_finder_t> finder;
    fw::service::lua_t lua;
    fw::lua::intercept::connection_info_t info;
    std::vector<std::string> lines;

private:
    kv::util::logger_t previous_logger_;
    int previous_level_ = 0;
};

} // namespace morva_test
