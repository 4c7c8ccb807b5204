// The module "morva.lookup" (against a fake delegate and against the quisad
// client with a socketpair peer) and the module "coroutine.make".
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

#include <boost/asio/local/stream_protocol.hpp>

#include "common/scoped_fd.hpp"
#include "links/quisad/quisad.hpp"
#include "links/stream_socket.hpp"
#include "error.pb.h"
#include "quisad_client_ipc.pb.h"
#include "tests/lua/lua_fixture.hpp"

namespace {

using morva_test::lua_fixture;
using morva_test::script_t;

class lookup_test : public lua_fixture {
public:
    lookup_test()
    {
        EXPECT_EQ(run_plain("morva = require('morva') lookup = require('morva.lookup') make = require('coroutine.make')"),
                  "");
    }
};

TEST_F(lookup_test, requests_reach_the_delegate)
{
    struct case_t {
        const char* call;
        const char* type;
        const char* tag;
        kv::lua::lookup::params_t params;
    } const cases[] = {
        {"lookup.lookup('ldap@people')", "ldap", "people", {}},
        {"lookup.lookup('a@b@c')", "a", "b@c", {}},
        {"lookup.lookup('@tag')", "", "tag", {}},
        {"lookup.lookup('type@')", "type", "", {}},
        {"lookup.lookup(setmetatable({}, { __tostring = function() return 'cidr@nets' end }))", "cidr", "nets", {}},
        {"lookup.lookup('ad@x', { User = 'alice', DOMAIN = 'Corp' })", "ad", "x", {{"user", "alice"}, {"domain", "Corp"}}},
        {"lookup.lookup('ad@x', {})", "ad", "x", {}},
    };
    for (const auto& c : cases) {
        delegate.lookups.clear();
        auto& script = start(c.call);
        EXPECT_EQ(script.suspensions, 1) << c.call;
        ASSERT_EQ(delegate.lookups.size(), 1u) << c.call << ": " << script.error;
        EXPECT_EQ(delegate.lookups[0].type, c.type) << c.call;
        EXPECT_EQ(delegate.lookups[0].tag, c.tag) << c.call;
        EXPECT_EQ(delegate.lookups[0].params, c.params) << c.call;
    }

    start("lookup.check(morva.ip('10.0.0.1'), 'cidr@nets', { Zone = 'x' })");
    start("lookup.check('plain', 'regex@r')");
    ASSERT_EQ(delegate.checks.size(), 2u);
    EXPECT_EQ(delegate.checks[0].value, "10.0.0.1");
    EXPECT_EQ(delegate.checks[0].type, "cidr");
    EXPECT_EQ(delegate.checks[0].tag, "nets");
    EXPECT_EQ(delegate.checks[0].params, (kv::lua::lookup::params_t{{"zone", "x"}}));
    EXPECT_EQ(delegate.checks[1].value, "plain");

    // Keys equal after lower-casing: one of them stays.
    start("lookup.lookup('a@b', { User = 'x', USER = 'y' })");
    EXPECT_EQ(delegate.lookups.back().params.size(), 1u);
}

TEST_F(lookup_test, bad_arguments)
{
    struct case_t {
        const char* call;
        const char* error;
        bool exception; // raised as an exception userdata
    } const cases[] = {
        {"lookup.lookup('nospec')", "test:1: bad argument #1 to 'lookup' (at character not found)", false},
        {"lookup.lookup(5)", "test:1: bad argument #1 to 'lookup' (at character not found)", false},
        {"lookup.lookup({})", "test:1: bad argument #1 to 'lookup' (string expected, got table)", false},
        {"lookup.lookup()", "test:1: bad argument #1 to 'lookup' (value expected)", false},
        {"lookup.lookup('a@b', 'x')", "test:1: bad argument #2 to 'lookup' (table expected, got string)", false},
        {"lookup.lookup('a@b', nil)", "test:1: bad argument #2 to 'lookup' (table expected, got nil)", false},
        {"lookup.lookup('a@b', { user = 5 })",
         "test:1: bad argument #2 to 'lookup' (all keys and values must be strings)", false},
        {"lookup.lookup('a@b', { 'x' })", "test:1: bad argument #2 to 'lookup' (all keys and values must be strings)",
         false},
        {"lookup.check('v', 'nospec')", "test:1: bad argument #2 to 'check' (at character not found)", false},
        {"lookup.check('v', 'a@b', { X = 1 })",
         "test:1: bad argument #3 to 'check' (all keys and values must be strings)", false},
        {"lookup.check(5, 'a@b')", "Check: first arg must be a string or have __tostring metamethod", true},
        {"lookup.check({}, 'a@b')", "Check: first arg must be a string or have __tostring metamethod", true},
        {"lookup.check()", "Check: first arg must be a string or have __tostring metamethod", true},
    };
    for (const auto& c : cases) {
        auto& script = start(c.call);
        EXPECT_EQ(script.outcome, script_t::failed) << c.call;
        EXPECT_EQ(script.error, c.error) << c.call;
        EXPECT_EQ(script.error_was_exception, c.exception) << c.call;
    }
    EXPECT_TRUE(delegate.lookups.empty());
    EXPECT_TRUE(delegate.checks.empty());

    // Outside every program coroutine, after the argument checks.
    EXPECT_EQ(run_plain("lookup.lookup('a@b')"), "test:1: No coroutine is running");
    EXPECT_EQ(run_plain("lookup.check('v', 'a@b')"), "test:1: No coroutine is running");
    EXPECT_EQ(run_plain("lookup.lookup('nospec')"), "test:1: bad argument #1 to 'lookup' (at character not found)");
    EXPECT_TRUE(delegate.lookups.empty());
}

TEST_F(lookup_test, answers_resume_the_script)
{
    auto& values = start("local r = lookup.lookup('a@b') return #r, r[1], r[2]");
    auto& empty = start("local r = lookup.lookup('a@b') return type(r), #r");
    auto& failed = start("return lookup.lookup('a@b')");
    auto& yes = start("return lookup.check('v', 'a@b')");
    auto& no = start("return lookup.check('v', 'a@b')");
    auto& check_failed = start("return lookup.check('v', 'a@b')");
    auto& caught = start("local ok, e = pcall(lookup.check, 'v', 'a@b') return ok, tostring(e)");
    ASSERT_EQ(delegate.lookups.size(), 3u);
    ASSERT_EQ(delegate.checks.size(), 4u);

    delegate.lookups[0].callback(nullptr, {"first", "second"});
    delegate.lookups[1].callback(nullptr, {});
    delegate.lookups[2].callback(std::make_exception_ptr(std::runtime_error("link down")), {});
    delegate.checks[0].callback(nullptr, true);
    delegate.checks[1].callback(nullptr, false);
    delegate.checks[2].callback(std::make_exception_ptr(std::runtime_error("no list")), false);
    delegate.checks[3].callback(std::make_exception_ptr(std::runtime_error("no list")), false);

    EXPECT_EQ(values.results, (std::vector<std::string>{"2", "first", "second"}));
    EXPECT_EQ(empty.results, (std::vector<std::string>{"table", "0"}));
    EXPECT_EQ(failed.outcome, script_t::failed);
    EXPECT_TRUE(failed.error_was_exception);
    EXPECT_EQ(failed.error, "Lookup: link down");
    EXPECT_EQ(yes.results, std::vector<std::string>{"true"});
    EXPECT_EQ(no.results, std::vector<std::string>{"false"});
    EXPECT_EQ(check_failed.error, "Check: no list");
    EXPECT_EQ(caught.results, (std::vector<std::string>{"false", "Check: no list"}));
}

TEST_F(lookup_test, an_answer_for_a_destroyed_script_changes_nothing)
{
    start("lookup.lookup('a@b') error('must not run')");
    start("lookup.check('v', 'a@b') error('must not run')");
    scripts.clear();
    lua_gc(L, LUA_GCCOLLECT, 0);
    delegate.lookups[0].callback(nullptr, {"late"});
    delegate.checks[0].callback(nullptr, true);
    EXPECT_EQ(lua_gettop(L), 0);
}

TEST_F(lookup_test, a_failing_delegate_becomes_a_lua_error)
{
    struct throwing_t : morva_test::fake_delegate_t {
        void lookup(std::string, std::string, kv::lua::lookup::params_t, lookup_callback_t) override
        {
            throw std::runtime_error("Job serial number overflow");
        }
    } throwing;
    kv::lua::lookup::set_delegate(L, &throwing);
    auto& script = start("return pcall(lookup.lookup, 'a@b')");
    EXPECT_EQ(script.results, (std::vector<std::string>{"false", "Job serial number overflow"}));
    kv::lua::lookup::set_delegate(L, &delegate);
}

// quisad's end of a socketpair: reads one request, answers it.
class quisad_peer_t {
public:
    explicit quisad_peer_t(fw::util::scoped_fd_t fd) : fd_(std::move(fd)) {}

    qd::ClientMessage read(boost::asio::io_context& io)
    {
        std::string frame;
        for (int turns = 0; turns < 5000; ++turns) {
            io.poll();
            io.restart();
            pollfd p{fd_.get(), POLLIN, 0};
            if (::poll(&p, 1, 1) == 1) {
                char buffer[4096];
                const ssize_t n = ::recv(fd_.get(), buffer, sizeof buffer, 0);
                if (n <= 0)
                    break;
                frame.append(buffer, static_cast<std::size_t>(n));
            }
            std::uint32_t length = 0;
            if (frame.size() >= 4)
                std::memcpy(&length, frame.data(), 4);
            if (frame.size() >= 4 && frame.size() >= 4 + length) {
                qd::ClientMessage message;
                EXPECT_TRUE(message.ParseFromArray(frame.data() + 4, static_cast<int>(length)));
                return message;
            }
        }
        ADD_FAILURE() << "no request from the client";
        return {};
    }

    void answer(const qd::ServerMessage& message)
    {
        const std::string body = message.SerializePartialAsString();
        const auto length = static_cast<std::uint32_t>(body.size());
        std::string frame(reinterpret_cast<const char*>(&length), 4);
        frame += body;
        ASSERT_EQ(::send(fd_.get(), frame.data(), frame.size(), 0), static_cast<ssize_t>(frame.size()));
    }

private:
    fw::util::scoped_fd_t fd_;
};

// The Lua service's forwarding, reduced to what the module needs.
struct quisad_delegate_t : kv::lua::lookup::delegate_t, fw::quisad::quisad_t::link_provider_t {
    explicit quisad_delegate_t(boost::asio::io_context& io) : io(io), client(io, *this) {}

    void lookup(std::string type, std::string tag, kv::lua::lookup::params_t params, lookup_callback_t callback) override
    {
        client.lookup(type, tag, std::move(params), std::move(callback));
    }
    void check(std::string type, std::string tag, std::string value, kv::lua::lookup::params_t params,
               check_callback_t callback) override
    {
        client.check(type, tag, value, std::move(params), std::move(callback));
    }
    void get_link(fw::quisad::quisad_t::link_callback_t callback) override
    {
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        peer = std::make_unique<quisad_peer_t>(fw::util::scoped_fd_t(fds[1]));
        using socket_t = boost::asio::local::stream_protocol::socket;
        callback(nullptr, std::make_unique<fw::util::asio_stream_socket_wrapper_t<socket_t>>(
                              socket_t(io, boost::asio::local::stream_protocol(), fds[0])));
    }

    boost::asio::io_context& io;
    fw::quisad::quisad_t client;
    std::unique_ptr<quisad_peer_t> peer;
};

TEST_F(lookup_test, lookups_and_checks_through_the_quisad_client)
{
    quisad_delegate_t quisad(io);
    kv::lua::lookup::set_delegate(L, &quisad);

    auto& script = start(R"(
        local values = lookup.lookup("cidr@nets", { User = "alice" })
        local found = lookup.check(morva.ip("10.0.0.1"), "cidr@nets")
        local ok, e = pcall(lookup.check, "x", "cidr@nets")
        local bogus_ok, bogus = pcall(lookup.lookup, "bogus@x")
        return table.concat(values, ","), found, ok, tostring(e), bogus_ok, tostring(bogus)
    )");
    ASSERT_NE(quisad.peer, nullptr);

    const auto first = quisad.peer->read(io);
    EXPECT_EQ(first.tag(), qd::ClientMessage::LOOKUP_REQUEST);
    EXPECT_EQ(first.lookup_type(), qd::LOOKUP_CIDR);
    EXPECT_EQ(first.lookup_tag(), "nets");
    EXPECT_EQ(first.user(), "alice");
    qd::ServerMessage answer;
    answer.set_tag(qd::ServerMessage::LOOKUP_RESPONSE);
    answer.set_serial(first.serial());
    answer.add_data("10.0.0.0/8");
    answer.add_data("192.168.0.0/16");
    quisad.peer->answer(answer);

    const auto second = quisad.peer->read(io);
    EXPECT_EQ(second.tag(), qd::ClientMessage::CHECK_REQUEST);
    EXPECT_EQ(second.check(), "10.0.0.1");
    answer.Clear();
    answer.set_tag(qd::ServerMessage::CHECK_RESPONSE);
    answer.set_serial(second.serial());
    answer.set_result(true);
    quisad.peer->answer(answer);

    const auto third = quisad.peer->read(io);
    answer.Clear();
    answer.set_tag(qd::ServerMessage::CHECK_RESPONSE);
    answer.set_serial(third.serial());
    answer.mutable_error()->set_code(kv::EC_NO_SUCH_ENTRY);
    answer.mutable_error()->set_what("no such list");
    quisad.peer->answer(answer);

    for (int turns = 0; turns < 5000 && script.outcome == script_t::pending; ++turns) {
        io.run_for(std::chrono::milliseconds(1));
        io.restart();
    }
    ASSERT_EQ(script.outcome, script_t::finished) << script.error;
    ASSERT_EQ(script.results.size(), 6u);
    EXPECT_EQ(script.results[0], "10.0.0.0/8,192.168.0.0/16");
    EXPECT_EQ(script.results[1], "true");
    EXPECT_EQ(script.results[2], "false");
    EXPECT_EQ(script.results[3].rfind("Check: ", 0), 0u) << script.results[3];
    EXPECT_NE(script.results[3].find("no such list"), std::string::npos) << script.results[3];
    EXPECT_EQ(script.results[4], "false");
    EXPECT_EQ(script.results[5], "Lookup: Unexpected lookup type");

    scripts.clear();
    kv::lua::lookup::set_delegate(L, &delegate);
}

TEST_F(lookup_test, tagged_coroutines_pass_program_waits_outward)
{
    // A generator that sleeps between its values.
    auto& generator = start(R"(
        local C = make()
        local gen = C.wrap(function(n)
            for i = 1, n do morva.sleep(0) C.yield(i) end
            return "done"
        end)
        return gen(3), gen(), gen(), gen()
    )");
    drain();
    EXPECT_EQ(generator.results, (std::vector<std::string>{"1", "2", "3", "done"}));
    EXPECT_EQ(generator.suspensions, 3);

    // A lookup inside a script coroutine suspends the whole script and
    // returns its answer inside that coroutine.
    auto& inner = start(R"(
        local C = make("mine")
        local co = C.create(function()
            local r = lookup.lookup("cidr@x")
            C.yield(#r)
            return r[1]
        end)
        local ok1, n = C.resume(co)
        local ok2, first = C.resume(co)
        return ok1, n, ok2, first, C.status(co), C.tag
    )");
    ASSERT_EQ(delegate.lookups.size(), 1u);
    delegate.lookups[0].callback(nullptr, {"a", "b"});
    EXPECT_EQ(inner.results, (std::vector<std::string>{"true", "2", "true", "a", "dead", "mine"}));
}

TEST_F(lookup_test, a_plain_coroutine_receives_the_program_yield_itself)
{
    auto& script = start(R"(
        local co = coroutine.create(function() return lookup.lookup("cidr@x") end)
        local ok, yielded = coroutine.resume(co)
        return ok, type(yielded), coroutine.status(co)
    )");
    EXPECT_EQ(script.results, (std::vector<std::string>{"true", "table", "suspended"}));
    ASSERT_EQ(delegate.lookups.size(), 1u);
    delegate.lookups[0].callback(nullptr, {"late"}); // resumes nothing: the script has ended
    EXPECT_EQ(script.ends, 1);
}

TEST_F(lookup_test, a_swallowed_wait_never_resumes_a_later_one)
{
    auto& script = start(R"(
        local swallow = coroutine.wrap(function() return lookup.lookup("cidr@x") end)
        swallow()
        morva.sleep(0.05)
        return "slept"
    )");
    const auto begin = std::chrono::steady_clock::now();
    ASSERT_EQ(delegate.lookups.size(), 1u);
    delegate.lookups[0].callback(nullptr, {"early"});
    EXPECT_EQ(script.outcome, script_t::pending) << "woken by the swallowed lookup";
    drain();
    EXPECT_EQ(script.results, std::vector<std::string>{"slept"});
    EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(40));
}

TEST_F(lookup_test, tagged_coroutine_functions)
{
    const auto results = finish(R"(
        local C = make()
        assert(type(C.tag) == "table" and type(make(false).tag) == "table" and make("t").tag == "t")
        assert(C.isyieldable == coroutine.isyieldable and C.running == coroutine.running)
        assert(C.status == coroutine.status)

        local failing = C.create(function() error("inside", 0) end)
        local ok, e = C.resume(failing)
        assert(not ok and e == "inside")
        local wrapped = C.wrap(function() error("wrapped", 0) end)
        local wok, we = pcall(wrapped)
        assert(not wok and we == "wrapped")

        -- Layers nest: an outer layer's yield passes through an inner layer.
        local A, B = make(), make()
        local inner = B.wrap(function() A.yield("from A") return "B done" end)
        local outer = A.create(function() return inner() end)
        local ok1, v1 = A.resume(outer)
        local ok2, v2 = A.resume(outer)
        return ok1, v1, ok2, v2
    )");
    EXPECT_EQ(results, (std::vector<std::string>{"true", "from A", "true", "B done"}));
}

} // namespace
