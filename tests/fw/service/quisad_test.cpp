// The quisad service between a marend tie (the test plays marend over a
// socketpair) and a quisad socket (the test listens on a UNIX path).
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/system/system_error.hpp>
#include <gtest/gtest.h>

#include "common/error.hpp"
#include "common/scoped_fd.hpp"
#include "fw/service/quisad.hpp"
#include "links/marend_tie.hpp"
#include "marend_linux_firewall_ipc.pb.h"
#include "quisad_client_ipc.pb.h"
#include "tests/common/temp_dir.hpp"
#include "tests/fw/handover_support.hpp"

namespace {

using namespace std::chrono_literals;
using fw::util::scoped_fd_t;

struct lookup_result_t {
    bool called = false;
    std::exception_ptr error;
};

class quisad_service_test : public morva_test::temp_dir_test_t {
protected:
    quisad_service_test() { service_ = std::make_unique<fw::service::quisad_t>(io_, marend_.tie()); }

    ~quisad_service_test() override
    {
        service_.reset();
        marend_.reset();
    }

    void run()
    {
        for (int i = 0; i < 20; ++i) {
            io_.run_for(2ms);
            io_.restart();
        }
    }

    // Tags of the requests marend has received so far.
    std::vector<int> marend_requests()
    {
        run();
        return marend_.request_tags();
    }

    void answer(const kv::Marend2FirewallMessage& message)
    {
        marend_.send(message);
        run();
    }

    void answer_path(const std::string& path)
    {
        kv::Marend2FirewallMessage message;
        message.set_tag(kv::Marend2FirewallMessage::GET_QUISAD_RESPONSE);
        message.set_socket_path(path);
        answer(message);
    }

    void answer_error(kv::ErrorCode code)
    {
        kv::Marend2FirewallMessage message;
        message.set_tag(kv::Marend2FirewallMessage::GET_QUISAD_RESPONSE);
        message.mutable_error()->set_code(code);
        answer(message);
    }

    lookup_result_t& lookup()
    {
        results_.push_back(std::make_unique<lookup_result_t>());
        auto* r = results_.back().get();
        service_->quisad_client().lookup("ldap", "tag", {}, [r](std::exception_ptr e, std::vector<std::string>) {
            *r = {true, e};
        });
        return *r;
    }

    // A path of exactly `length` bytes in the test's directory.
    std::string path_of_length(std::size_t length)
    {
        std::string path = (dir / "q").string();
        path += std::string(length - path.size(), 'q');
        return path;
    }

    // A listening quisad socket at `path`.
    static scoped_fd_t listen_at(const std::string& path) { return morva_test::listen_unix(path); }

    static constexpr int get_quisad_request = kv::Firewall2MarendMessage::GET_QUISAD_REQUEST;

    boost::asio::io_context io_;
    morva_test::marend_peer_t marend_{io_};
    std::unique_ptr<fw::service::quisad_t> service_;
    std::vector<std::unique_ptr<lookup_result_t>> results_;
};

TEST_F(quisad_service_test, path_from_marend_gives_the_client_a_working_link)
{
    const std::string path = path_of_length(107); // the longest that fits the address
    auto listener = listen_at(path);
    lookup();
    EXPECT_EQ(marend_requests(), std::vector<int>{get_quisad_request});
    answer_path(path);

    scoped_fd_t quisad(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    ASSERT_TRUE(quisad);
    std::uint32_t length = 0;
    ASSERT_EQ(::recv(quisad.get(), &length, 4, MSG_WAITALL), 4);
    std::string body(length, '\0');
    ASSERT_EQ(::recv(quisad.get(), body.data(), length, MSG_WAITALL), static_cast<ssize_t>(length));
    qd::ClientMessage request;
    ASSERT_TRUE(request.ParseFromString(body));
    EXPECT_EQ(request.tag(), qd::ClientMessage::LOOKUP_REQUEST);
    EXPECT_EQ(request.lookup_tag(), "tag");
    EXPECT_TRUE(marend_.errors.empty());
}

TEST_F(quisad_service_test, error_answer_fails_the_jobs_and_a_retry_from_the_callback_asks_again)
{
    auto& retry = results_.emplace_back(std::make_unique<lookup_result_t>());
    std::exception_ptr first;
    service_->quisad_client().lookup("ldap", "t", {}, [&](std::exception_ptr e, std::vector<std::string>) {
        first = e;
        service_->quisad_client().lookup("ad", "t", {}, [r = retry.get()](std::exception_ptr e, std::vector<std::string>) {
            *r = {true, e};
        });
    });
    EXPECT_EQ(marend_requests(), std::vector<int>{get_quisad_request});
    answer_error(kv::EC_NO_QUISAD);
    ASSERT_TRUE(first);
    try {
        std::rethrow_exception(first);
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Cannot get quisad socket path", 0), 0u) << e.what();
        EXPECT_EQ(e.code(), kv::make_error_code(kv::EC_NO_QUISAD));
    }
    // The callback was emptied before the call: the retry made a fresh request.
    EXPECT_EQ(marend_requests(), std::vector<int>{get_quisad_request});
    answer_path(path_of_length(60));
    ASSERT_TRUE(retry->called);
    EXPECT_EQ(std::string(describe_exception_ptr(retry->error)).rfind("Cannot connect to " + path_of_length(60), 0), 0u)
        << describe_exception_ptr(retry->error);
    EXPECT_TRUE(marend_.errors.empty());
}

TEST_F(quisad_service_test, path_without_a_socket_fails_the_jobs_with_the_path)
{
    auto& r = lookup();
    marend_requests();
    const std::string path = path_of_length(80);
    answer_path(path);
    ASSERT_TRUE(r.called);
    try {
        std::rethrow_exception(r.error);
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Cannot connect to " + path, 0), 0u) << e.what();
        EXPECT_EQ(e.code().value(), ENOENT);
    }
    EXPECT_TRUE(marend_.errors.empty());
}

TEST_F(quisad_service_test, path_too_long_for_the_address_fails_the_marend_tie)
{
    auto& r = lookup();
    marend_requests();
    answer_path(path_of_length(108));
    EXPECT_FALSE(r.called);
    ASSERT_EQ(marend_.errors.size(), 1u);
    EXPECT_EQ(error_code_from_exception_ptr(marend_.errors[0]).value(), ENAMETOOLONG);
}

TEST_F(quisad_service_test, destroying_the_service_mid_request_calls_nothing)
{
    auto& r = lookup();
    EXPECT_EQ(marend_requests(), std::vector<int>{get_quisad_request});
    service_.reset();
    marend_.reset();
    run();
    EXPECT_FALSE(r.called);
}

} // namespace
