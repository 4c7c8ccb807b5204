// The quisad client against a socketpair peer played by the test, with a link
// provider the test answers by hand.
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/system/system_error.hpp>
#include <gtest/gtest.h>

#include "common/error.hpp"
#include "common/scoped_fd.hpp"
#include "error.pb.h"
#include "links/protobuf_error.hpp"
#include "links/quisad/quisad.hpp"
#include "links/stream_socket.hpp"
#include "quisad_client_ipc.pb.h"

namespace {

using fw::quisad::quisad_t;
using fw::util::scoped_fd_t;
using namespace std::chrono_literals;

struct provider_t : quisad_t::link_provider_t {
    int requests = 0;
    quisad_t::link_callback_t pending;
    void get_link(quisad_t::link_callback_t callback) override
    {
        ++requests;
        pending = std::move(callback);
    }
};

// quisad's end of one link.
class peer_t {
public:
    explicit peer_t(scoped_fd_t fd) : fd_(std::move(fd)) {}

    // Reads `count` requests, running the client's event loop in between.
    std::vector<qd::ClientMessage> read(boost::asio::io_context& io, std::size_t count)
    {
        std::vector<qd::ClientMessage> messages;
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (messages.size() < count && std::chrono::steady_clock::now() < deadline) {
            io.poll();
            io.restart();
            char buffer[4096];
            const ssize_t n = ::recv(fd_.get(), buffer, sizeof buffer, MSG_DONTWAIT);
            if (n > 0)
                stream_.append(buffer, static_cast<std::size_t>(n));
            else
                std::this_thread::sleep_for(1ms);
            while (stream_.size() >= 4) {
                std::uint32_t length;
                std::memcpy(&length, stream_.data(), 4);
                if (stream_.size() < 4 + length)
                    break;
                qd::ClientMessage message;
                EXPECT_TRUE(message.ParseFromArray(stream_.data() + 4, static_cast<int>(length)));
                messages.push_back(message);
                stream_.erase(0, 4 + length);
            }
        }
        return messages;
    }

    void write_raw(const std::string& body)
    {
        const auto length = static_cast<std::uint32_t>(body.size());
        std::string frame(reinterpret_cast<const char*>(&length), 4);
        frame += body;
        ASSERT_EQ(::send(fd_.get(), frame.data(), frame.size(), 0), static_cast<ssize_t>(frame.size()));
    }

    void answer(const qd::ServerMessage& message) { write_raw(message.SerializePartialAsString()); }

    // True once the client has closed its end.
    bool closed()
    {
        char c;
        return ::recv(fd_.get(), &c, 1, MSG_DONTWAIT) == 0;
    }

    void close() { fd_.reset(); }

private:
    scoped_fd_t fd_;
    std::string stream_;
};

struct lookup_result_t {
    bool called = false;
    std::exception_ptr error;
    std::vector<std::string> data;
};

struct check_result_t {
    bool called = false;
    std::exception_ptr error;
    bool result = true;
};

std::string text_of(std::exception_ptr e)
{
    if (!e)
        return "(no exception)";
    try {
        std::rethrow_exception(e);
    } catch (const std::exception& x) {
        return x.what();
    }
}

qd::ServerMessage response(qd::ServerMessage::ServerMessageTag tag, std::optional<std::uint32_t> serial)
{
    qd::ServerMessage message;
    message.set_tag(tag);
    if (serial)
        message.set_serial(*serial);
    return message;
}

class quisad_test : public ::testing::Test {
protected:
    explicit quisad_test(std::chrono::steady_clock::duration idle = quisad_t::default_idle_period,
                         std::chrono::steady_clock::duration deadline = quisad_t::default_answer_deadline)
        : client_(std::make_unique<quisad_t>(io_, provider_, idle, deadline))
    {
    }

    // Answers the pending link request with a fresh socketpair.
    peer_t& give_link()
    {
        int fds[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        peers_.push_back(std::make_unique<peer_t>(scoped_fd_t(fds[1])));
        auto stream = std::make_unique<
            fw::util::asio_stream_socket_wrapper_t<boost::asio::local::stream_protocol::socket>>(
            boost::asio::local::stream_protocol::socket(io_, boost::asio::local::stream_protocol(), fds[0]));
        auto callback = std::exchange(provider_.pending, nullptr);
        callback(nullptr, std::move(stream));
        return *peers_.back();
    }

    lookup_result_t& lookup(const std::string& type, quisad_t::parameters_t parameters = {},
                            const std::string& tag = "tag")
    {
        lookups_.push_back(std::make_unique<lookup_result_t>());
        auto* result = lookups_.back().get();
        client_->lookup(type, tag, std::move(parameters), [result](std::exception_ptr e, std::vector<std::string> d) {
            EXPECT_FALSE(result->called) << "callback called twice";
            *result = {true, e, std::move(d)};
        });
        return *result;
    }

    check_result_t& check(const std::string& type, const std::string& value = "value",
                          quisad_t::parameters_t parameters = {})
    {
        checks_.push_back(std::make_unique<check_result_t>());
        auto* result = checks_.back().get();
        client_->check(type, "tag", value, std::move(parameters), [result](std::exception_ptr e, bool r) {
            EXPECT_FALSE(result->called) << "callback called twice";
            *result = {true, e, r};
        });
        return *result;
    }

    // Runs the loop until `done` holds or a deadline passes.
    template <typename Done>
    void run_until(Done done)
    {
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (!done() && std::chrono::steady_clock::now() < deadline) {
            io_.run_for(1ms);
            io_.restart();
        }
    }

    boost::asio::io_context io_;
    provider_t provider_;
    std::unique_ptr<quisad_t> client_;
    std::vector<std::unique_ptr<peer_t>> peers_;
    std::vector<std::unique_ptr<lookup_result_t>> lookups_;
    std::vector<std::unique_ptr<check_result_t>> checks_;
};

TEST_F(quisad_test, jobs_wait_for_the_link_and_leave_in_serial_order_with_their_parameters)
{
    lookup("ldap", {{"user", "alice"}, {"color", "ignored"}}, "people");
    check("CIDR", "10.0.0.1", {{"domain", "example.org"}});
    lookup("ad", {{"user", ""}, {"domain", "corp"}});
    EXPECT_EQ(provider_.requests, 1); // one request serves every job waiting

    auto& peer = give_link();
    const auto requests = peer.read(io_, 3);
    ASSERT_EQ(requests.size(), 3u);

    EXPECT_EQ(requests[0].tag(), qd::ClientMessage::LOOKUP_REQUEST);
    EXPECT_EQ(requests[0].serial(), 0u);
    EXPECT_EQ(requests[0].lookup_type(), qd::LOOKUP_LDAP);
    EXPECT_TRUE(requests[0].has_lookup_type());
    EXPECT_EQ(requests[0].lookup_tag(), "people");
    EXPECT_EQ(requests[0].user(), "alice");
    EXPECT_FALSE(requests[0].has_domain());
    EXPECT_FALSE(requests[0].has_check());

    EXPECT_EQ(requests[1].tag(), qd::ClientMessage::CHECK_REQUEST);
    EXPECT_EQ(requests[1].serial(), 1u);
    EXPECT_EQ(requests[1].lookup_type(), qd::LOOKUP_CIDR);
    EXPECT_EQ(requests[1].check(), "10.0.0.1");
    EXPECT_FALSE(requests[1].has_user());
    EXPECT_EQ(requests[1].domain(), "example.org");

    EXPECT_EQ(requests[2].serial(), 2u);
    EXPECT_TRUE(requests[2].has_user());
    EXPECT_EQ(requests[2].user(), "");
    EXPECT_EQ(requests[2].domain(), "corp");

    // With the link up, a new job goes out at once, without a new link request.
    lookup("mask");
    EXPECT_EQ(peer.read(io_, 1).at(0).serial(), 3u);
    EXPECT_EQ(provider_.requests, 1);
}

TEST_F(quisad_test, type_names_are_matched_in_lower_case_against_the_fixed_table)
{
    const std::pair<const char*, qd::LookupType> names[] = {
        {"LDAP", qd::LOOKUP_LDAP},        {"Ldap", qd::LOOKUP_LDAP},     {"ldap", qd::LOOKUP_LDAP},
        {"AD", qd::LOOKUP_AD},            {"pq", qd::LOOKUP_PQ},         {"SQLite", qd::LOOKUP_SQLITE},
        {"mysql", qd::LOOKUP_MYSQL},      {"Redis", qd::LOOKUP_REDIS},   {"allmatch", qd::LOOKUP_ALLMATCH},
        {"REGEX", qd::LOOKUP_REGEX},      {"cidr", qd::LOOKUP_CIDR},     {"Mask", qd::LOOKUP_MASK},
    };
    for (const auto& [name, type] : names)
        lookup(name);
    auto& peer = give_link();
    const auto requests = peer.read(io_, std::size(names));
    ASSERT_EQ(requests.size(), std::size(names));
    for (std::size_t i = 0; i < requests.size(); ++i)
        EXPECT_EQ(requests[i].lookup_type(), names[i].second) << names[i].first;
}

TEST_F(quisad_test, unknown_type_is_reported_on_a_later_turn_without_a_request)
{
    auto& l = lookup("postgres");
    auto& c = check("ldap ");
    EXPECT_FALSE(l.called);
    EXPECT_FALSE(c.called);
    io_.poll();
    ASSERT_TRUE(l.called);
    ASSERT_TRUE(c.called);
    EXPECT_EQ(text_of(l.error), "Unexpected lookup type");
    EXPECT_TRUE(l.data.empty());
    EXPECT_EQ(text_of(c.error), "Unexpected lookup type");
    EXPECT_FALSE(c.result);
    EXPECT_EQ(provider_.requests, 0);
}

TEST_F(quisad_test, serials_are_never_reused_so_a_late_answer_meets_no_newer_job)
{
    auto& peer = [&]() -> peer_t& {
        lookup("ldap");
        return give_link();
    }();
    // One after another, each answered first: each travels with a serial of its own.
    for (std::uint32_t i = 0; i < 3; ++i) {
        if (i > 0)
            lookup("ldap");
        const auto r = peer.read(io_, 1);
        ASSERT_EQ(r.size(), 1u);
        EXPECT_EQ(r[0].serial(), i);
        peer.answer(response(qd::ServerMessage::LOOKUP_RESPONSE, i));
        run_until([&] { return lookups_.back()->called; });
    }
    // A duplicate of the answer to serial 2 arrives while job 3 waits: job 3
    // does not take it.
    auto& waiting = lookup("ldap");
    EXPECT_EQ(peer.read(io_, 1).at(0).serial(), 3u);
    auto duplicate = response(qd::ServerMessage::LOOKUP_RESPONSE, 2);
    duplicate.add_data("stale");
    peer.answer(duplicate);
    io_.run_for(50ms);
    io_.restart();
    EXPECT_FALSE(waiting.called);
    auto fresh = response(qd::ServerMessage::LOOKUP_RESPONSE, 3);
    fresh.add_data("fresh");
    peer.answer(fresh);
    run_until([&] { return waiting.called; });
    EXPECT_EQ(waiting.data, std::vector<std::string>{"fresh"});
}

// One answer and what the job's callback must get.
struct answer_case_t {
    const char* name;
    bool check;
    std::vector<std::string> data;
    std::optional<bool> result;
    std::optional<int> error_code;
    std::optional<std::string> error_what;
    // expected
    std::optional<std::string> failure;
    int failure_code;
    std::vector<std::string> got_data;
    bool got_result;
};

class quisad_answer_test : public quisad_test, public ::testing::WithParamInterface<answer_case_t> {};

TEST_P(quisad_answer_test, reaches_the_callback)
{
    const auto& p = GetParam();
    auto& peer = [&]() -> peer_t& {
        if (p.check)
            check("regex");
        else
            lookup("regex");
        return give_link();
    }();
    ASSERT_EQ(peer.read(io_, 1).size(), 1u);

    auto message = response(p.check ? qd::ServerMessage::CHECK_RESPONSE : qd::ServerMessage::LOOKUP_RESPONSE, 0);
    for (const auto& d : p.data)
        message.add_data(d);
    if (p.result)
        message.set_result(*p.result);
    if (p.error_code) {
        message.mutable_error()->set_code(static_cast<kv::ErrorCode>(*p.error_code));
        if (p.error_what)
            message.mutable_error()->set_what(*p.error_what);
    }
    peer.answer(message);

    std::exception_ptr error;
    if (p.check) {
        run_until([&] { return checks_[0]->called; });
        ASSERT_TRUE(checks_[0]->called);
        error = checks_[0]->error;
        EXPECT_EQ(checks_[0]->result, p.got_result);
    } else {
        run_until([&] { return lookups_[0]->called; });
        ASSERT_TRUE(lookups_[0]->called);
        error = lookups_[0]->error;
        EXPECT_EQ(lookups_[0]->data, p.got_data);
    }
    if (!p.failure) {
        EXPECT_FALSE(error) << text_of(error);
    } else {
        ASSERT_TRUE(error);
        try {
            std::rethrow_exception(error);
        } catch (const cf_proto_exception_t& e) {
            EXPECT_EQ(std::string(e.what()), *p.failure);
            EXPECT_EQ(e.code(), p.failure_code);
        }
    }
    EXPECT_FALSE(peer.closed()); // an answer, even a failed one, keeps the link
}

INSTANTIATE_TEST_SUITE_P(
    cases, quisad_answer_test,
    ::testing::Values(
        answer_case_t{"lookup_values", false, {"a", "b"}, {}, {}, {}, {}, 0, {"a", "b"}, false},
        answer_case_t{"lookup_nothing_found", false, {}, {}, {}, {}, {}, 0, {}, false},
        answer_case_t{"lookup_error_wins_over_data", false, {"a"}, {}, 115, {}, "Quisad is not available", 115, {}, false},
        answer_case_t{"lookup_error_text", false, {}, {}, 12, "no such tag", "no such tag", 12, {}, false},
        answer_case_t{"lookup_error_empty_text", false, {}, {}, 12, "", "", 12, {}, false},
        answer_case_t{"lookup_error_code_0_is_no_error", false, {"a"}, {}, 0, "ok", {}, 0, {"a"}, false},
        answer_case_t{"check_true", true, {}, true, {}, {}, {}, 0, {}, true},
        answer_case_t{"check_false", true, {}, false, {}, {}, {}, 0, {}, false},
        answer_case_t{"check_error_wins_over_result", true, {}, true, 115, {}, "Quisad is not available", 115, {}, false},
        answer_case_t{"check_error_code_0_is_no_error", true, {}, true, 0, {}, {}, 0, {}, true},
        answer_case_t{"check_error_code_0_alone", true, {}, {}, 0, {}, {}, 0, {}, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(quisad_test, answer_for_no_job_changes_nothing)
{
    lookup("ldap");
    auto& peer = give_link();
    ASSERT_EQ(peer.read(io_, 1).size(), 1u);
    auto stray = response(qd::ServerMessage::CHECK_RESPONSE, 7);
    stray.set_result(true);
    peer.answer(stray);
    auto real = response(qd::ServerMessage::LOOKUP_RESPONSE, 0);
    real.add_data("x");
    peer.answer(real);
    run_until([&] { return lookups_[0]->called; });
    EXPECT_EQ(lookups_[0]->data, std::vector<std::string>{"x"});
    EXPECT_FALSE(lookups_[0]->error);
}

TEST_F(quisad_test, answer_of_the_wrong_kind_fails_every_job_and_drops_the_link)
{
    auto& l = lookup("ldap");
    auto& c = check("ldap");
    auto& peer = give_link();
    ASSERT_EQ(peer.read(io_, 2).size(), 2u);
    peer.answer(response(qd::ServerMessage::LOOKUP_RESPONSE, 1)); // serial 1 is the check
    run_until([&] { return l.called && c.called; });
    ASSERT_TRUE(l.called && c.called);
    for (auto e : {l.error, c.error}) {
        try {
            std::rethrow_exception(e);
        } catch (const cf_proto_exception_t& x) {
            EXPECT_EQ(std::string(x.what()), "Wrong response from Quisad: unexpected LOOKUP_RESPONSE");
            EXPECT_EQ(x.code(), kv::EC_PROTOCOL_VIOLATION);
        }
    }
    EXPECT_TRUE(peer.closed());

    // And the other way round, on a new link.
    auto& l2 = lookup("ldap");
    EXPECT_EQ(provider_.requests, 2);
    auto& peer2 = give_link();
    const auto sent = peer2.read(io_, 1);
    ASSERT_EQ(sent.size(), 1u);
    auto wrong = response(qd::ServerMessage::CHECK_RESPONSE, sent[0].serial());
    wrong.set_result(true);
    peer2.answer(wrong);
    run_until([&] { return l2.called; });
    EXPECT_EQ(text_of(l2.error), "Wrong response from Quisad: unexpected CHECK_RESPONSE");
}

// A body the client cannot take ends the daemon: the error leaves the event loop.
struct malformed_case_t {
    const char* name;
    std::string body;
    std::string text;
    int status;
};

class quisad_malformed_test : public quisad_test, public ::testing::WithParamInterface<malformed_case_t> {};

TEST_P(quisad_malformed_test, leaves_the_event_loop)
{
    const auto& p = GetParam();
    check("ldap");
    auto& peer = give_link();
    ASSERT_EQ(peer.read(io_, 1).size(), 1u);
    peer.write_raw(p.body);
    std::exception_ptr escaped;
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!escaped && std::chrono::steady_clock::now() < deadline) {
        try {
            io_.run_for(10ms);
            io_.restart();
        } catch (...) {
            escaped = std::current_exception();
        }
    }
    ASSERT_TRUE(escaped);
    EXPECT_EQ(text_of(escaped), p.text);
    EXPECT_EQ(errorcode_from_exception_ptr(escaped), p.status);
    EXPECT_FALSE(checks_[0]->called);
}

std::string serialized(const qd::ServerMessage& m)
{
    return m.SerializePartialAsString();
}

INSTANTIATE_TEST_SUITE_P(
    cases, quisad_malformed_test,
    ::testing::Values(
        malformed_case_t{"garbage", std::string("\xff\xff\xff", 3), "qd.ServerMessage: invalid message format", 125},
        malformed_case_t{"no_tag", serialized([] {
                             qd::ServerMessage m;
                             m.set_serial(0);
                             return m;
                         }()),
                         "qd.ServerMessage: invalid message format", 125},
        // Tag 3 (field 1, varint 3) with serial 0: an unknown tag counts as a missing one.
        malformed_case_t{"unknown_tag", std::string("\x08\x03\x10\x00", 4), "qd.ServerMessage: invalid message format", 125},
        malformed_case_t{"lookup_without_serial", serialized(response(qd::ServerMessage::LOOKUP_RESPONSE, {})),
                         "message qd.ServerMessage tagged LOOKUP_RESPONSE does not have field serial set", 12},
        malformed_case_t{"check_without_serial", serialized([] {
                             auto m = response(qd::ServerMessage::CHECK_RESPONSE, {});
                             m.set_result(true);
                             return m;
                         }()),
                         "message qd.ServerMessage tagged CHECK_RESPONSE does not have field serial set", 12},
        malformed_case_t{"check_with_neither", serialized(response(qd::ServerMessage::CHECK_RESPONSE, 0)),
                         "message qd.ServerMessage tagged CHECK_RESPONSE has neither result nor error fields set", 12}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(quisad_test, link_failure_fails_every_job_in_serial_order_and_the_next_job_asks_again)
{
    std::vector<int> order;
    for (int i = 0; i < 3; ++i)
        client_->lookup("ldap", "t", {}, [&order, i](std::exception_ptr e, std::vector<std::string> d) {
            EXPECT_TRUE(e);
            EXPECT_TRUE(d.empty());
            order.push_back(i);
        });
    auto& peer = give_link();
    ASSERT_EQ(peer.read(io_, 3).size(), 3u);
    peer.close();
    run_until([&] { return order.size() == 3; });
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));

    lookup("ldap");
    EXPECT_EQ(provider_.requests, 2);
}

TEST_F(quisad_test, provider_failure_fails_the_jobs_and_a_job_submitted_then_asks_afresh)
{
    lookups_.push_back(std::make_unique<lookup_result_t>());
    auto* again = lookups_.back().get();
    std::exception_ptr first;
    client_->lookup("ldap", "t", {}, [&](std::exception_ptr e, std::vector<std::string>) {
        first = e;
        // From inside the failure: a new job waits for a new link.
        client_->lookup("ldap", "t", {}, [again](std::exception_ptr e, std::vector<std::string> d) {
            *again = {true, e, std::move(d)};
        });
    });
    auto callback = std::exchange(provider_.pending, nullptr);
    callback(std::make_exception_ptr(std::runtime_error("Cannot get quisad socket path")), nullptr);
    EXPECT_EQ(text_of(first), "Cannot get quisad socket path");
    EXPECT_EQ(provider_.requests, 2);
    auto& peer = give_link();
    const auto r = peer.read(io_, 1);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].serial(), 1u);
}

TEST_F(quisad_test, destroying_the_client_calls_no_pending_callback)
{
    auto& l = lookup("ldap");
    auto& c = check("ad");
    auto late = std::exchange(provider_.pending, nullptr);
    auto& u = lookup("nosuch");
    client_.reset();
    io_.run_for(20ms);
    // The provider answering after the client is gone does nothing either.
    late(std::make_exception_ptr(std::runtime_error("late")), nullptr);
    EXPECT_FALSE(l.called);
    EXPECT_FALSE(c.called);
    EXPECT_FALSE(u.called);
}

class quisad_idle_test : public quisad_test {
protected:
    static constexpr auto period = 400ms;
    quisad_idle_test() : quisad_test(period) {}

    // A link comes up (arming the timer) and fails with its one job.
    void fail_first_link()
    {
        lookup("ldap");
        auto& first = give_link();
        ASSERT_EQ(first.read(io_, 1).size(), 1u);
        first.close();
        run_until([&] { return lookups_[0]->called; });
        ASSERT_TRUE(lookups_[0]->called);
    }
};

TEST_F(quisad_idle_test, link_closes_at_the_first_tick_without_pending_jobs)
{
    const auto start = std::chrono::steady_clock::now();
    auto& l = lookup("ldap");
    auto& peer = give_link();
    ASSERT_EQ(peer.read(io_, 1).size(), 1u);
    // The first tick finds the job pending: the link stays.
    io_.run_for(period + period / 4);
    io_.restart();
    EXPECT_FALSE(peer.closed());
    peer.answer(response(qd::ServerMessage::LOOKUP_RESPONSE, 0));
    run_until([&] { return l.called; });
    ASSERT_LT(std::chrono::steady_clock::now() - start, 2 * period) << "machine too slow for this timing";
    EXPECT_FALSE(peer.closed());
    // The second tick finds nothing pending, though the answer came just before it.
    run_until([&] { return peer.closed(); });
    EXPECT_TRUE(peer.closed());
    EXPECT_GE(std::chrono::steady_clock::now() - start, 2 * period);

    // The next job opens a new link.
    lookup("ldap");
    EXPECT_EQ(provider_.requests, 2);
}

TEST_F(quisad_idle_test, new_link_while_the_timer_runs_rearms_it_without_a_fatal_error)
{
    fail_first_link();

    // The timer of the first link is still armed; the new link re-arms it.
    auto& l = lookup("ldap");
    auto& second = give_link();
    ASSERT_EQ(second.read(io_, 1).size(), 1u);
    second.answer(response(qd::ServerMessage::LOOKUP_RESPONSE, 1));
    EXPECT_NO_THROW(run_until([&] { return l.called; }));
    // Only the re-armed wait ticks: with nothing pending the link is closed.
    EXPECT_NO_THROW(run_until([&] { return second.closed(); }));
    EXPECT_TRUE(second.closed());
}

TEST_F(quisad_idle_test, tick_during_a_link_request_keeps_the_request)
{
    fail_first_link();
    lookup("ldap");
    EXPECT_EQ(provider_.requests, 2);
    io_.run_for(period + period / 2); // a tick falls while the request is in progress
    io_.restart();
    auto& second = give_link();
    const auto r = second.read(io_, 1);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].serial(), 1u);
}

class quisad_deadline_test : public quisad_test {
protected:
    static constexpr auto deadline = 300ms;
    quisad_deadline_test() : quisad_test(quisad_t::default_idle_period, deadline) {}
};

TEST_F(quisad_deadline_test, a_job_without_an_answer_fails_at_its_deadline_and_the_late_answer_is_dropped)
{
    const auto start = std::chrono::steady_clock::now();
    auto& silent = lookup("ldap");
    auto& peer = give_link();
    ASSERT_EQ(peer.read(io_, 1).size(), 1u);
    auto& answered = check("ad");
    ASSERT_EQ(peer.read(io_, 1).at(0).serial(), 1u);
    auto yes = response(qd::ServerMessage::CHECK_RESPONSE, 1);
    yes.set_result(true);
    peer.answer(yes);
    run_until([&] { return silent.called; });
    ASSERT_TRUE(silent.called);
    EXPECT_GE(std::chrono::steady_clock::now() - start, deadline);
    EXPECT_EQ(text_of(silent.error), "Quisad: no answer within 300 ms: Connection timed out");
    EXPECT_TRUE(silent.data.empty());
    EXPECT_TRUE(answered.called);
    EXPECT_FALSE(answered.error) << text_of(answered.error);
    EXPECT_TRUE(answered.result);

    // The link stays; the late answer to serial 0 reaches no one, and the next
    // job, on the same link, takes its own answer.
    auto& next = lookup("ldap");
    EXPECT_EQ(peer.read(io_, 1).at(0).serial(), 2u);
    auto late = response(qd::ServerMessage::LOOKUP_RESPONSE, 0);
    late.add_data("late");
    peer.answer(late);
    auto own = response(qd::ServerMessage::LOOKUP_RESPONSE, 2);
    own.add_data("own");
    peer.answer(own);
    run_until([&] { return next.called; });
    EXPECT_EQ(next.data, std::vector<std::string>{"own"});
    EXPECT_FALSE(peer.closed());
    EXPECT_EQ(provider_.requests, 1);
}

TEST_F(quisad_deadline_test, the_deadline_counts_while_the_link_is_requested)
{
    // The provider never answers (marend silent): the jobs fail all the same,
    // each at its own deadline.
    auto& first = lookup("ldap");
    io_.run_for(deadline / 2);
    io_.restart();
    auto& second = check("ldap");
    run_until([&] { return first.called; });
    ASSERT_TRUE(first.called);
    EXPECT_FALSE(second.called);
    run_until([&] { return second.called; });
    ASSERT_TRUE(second.called);
    EXPECT_EQ(text_of(second.error), "Quisad: no answer within 300 ms: Connection timed out");
    EXPECT_FALSE(second.result);
    EXPECT_EQ(provider_.requests, 1);
}

} // namespace
