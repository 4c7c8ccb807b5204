#include "links/marend_tie.hpp"
#include "links/protobuf_error.hpp"
#include "links/stream_socket.hpp"
#include "tests/links/stream_pair.hpp"

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>

#include <cstring>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "common/error.hpp"
#include "marend_linux_firewall_ipc.pb.h"

namespace {

using boost::asio::local::stream_protocol;
using in_t = kv::Marend2FirewallMessage;

std::string hex(const std::string& bytes)
{
    std::string out;
    char b[4];
    for (unsigned char c : bytes) {
        std::snprintf(b, sizeof b, "%02x ", c);
        out += b;
    }
    return out;
}

struct failure_t {
    std::string text;
    int status = -1;
    bool parse_error = false;
};

struct tie_fixture_t : fw::marend::tie_t::delegate_t {
    boost::asio::io_context io;
    std::unique_ptr<fw::marend::tie_t> tie;
    int peer = -1;
    std::vector<failure_t> failures;

    tie_fixture_t()
    {
        tie = std::make_unique<fw::marend::tie_t>(*this, morva_test::stream_pair(io, peer));
    }
    ~tie_fixture_t()
    {
        tie.reset();
        ::close(peer);
    }

    void on_error(std::exception_ptr e) override
    {
        failure_t f;
        f.text = describe_exception_ptr(e);
        f.status = errorcode_from_exception_ptr(e);
        try {
            std::rethrow_exception(e);
        } catch (const fw::util::protobuf_parse_error_t&) {
            f.parse_error = true;
        } catch (...) {
        }
        failures.push_back(f);
    }

    void send_raw(const std::string& body)
    {
        auto length = static_cast<std::uint32_t>(body.size());
        std::string frame(reinterpret_cast<const char*>(&length), 4);
        frame += body;
        // The tie may have closed its end already: no SIGPIPE for the test.
        (void)::send(peer, frame.data(), frame.size(), MSG_NOSIGNAL);
    }
    void send(const in_t& m) { send_raw(m.SerializePartialAsString()); }

    // Runs the loop briefly: enough for every frame already written to arrive.
    void run()
    {
        io.restart();
        for (int i = 0; i < 20; ++i)
            io.run_for(std::chrono::milliseconds(2));
    }

    // Every byte the tie has written so far.
    std::string written()
    {
        run();
        int available = 0;
        ::ioctl(peer, FIONREAD, &available);
        std::string out(static_cast<std::size_t>(available), '\0');
        if (available > 0 && ::read(peer, out.data(), out.size()) != available)
            throw std::runtime_error("short read");
        return out;
    }
};

in_t config_response(unsigned revision)
{
    in_t m;
    m.set_tag(in_t::GET_CONFIG_RESPONSE);
    m.set_config_revision(revision);
    m.mutable_config()->set_exe_path("/rev/" + std::to_string(revision));
    return m;
}

in_t path_response(in_t::MessageTag tag)
{
    in_t m;
    m.set_tag(tag);
    return m;
}

TEST(marend_tie, request_bytes)
{
    struct case_t {
        const char* name;
        std::function<void(fw::marend::tie_t&)> request;
        std::string frame;
    };
    const case_t cases[] = {
        {"config", [](auto& t) { t.request_config([](auto&, unsigned) {}); },
         std::string("\x02\0\0\0\x08\x01", 6)},
        {"pellad", [](auto& t) { t.request_pellad_path([](auto, auto) {}); },
         std::string("\x02\0\0\0\x08\x04", 6)},
        {"quisad", [](auto& t) { t.request_quisad_path([](auto, auto) {}); },
         std::string("\x02\0\0\0\x08\x06", 6)},
        {"info", [](auto& t) {
             kv::LinuxFirewallAppInfo info;
             info.set_pellad_state(kv::EC_OK);
             t.send_info(info, 7);
         },
         std::string("\x08\0\0\0\x08\x02\x10\x07\x22\x02\x08\x00", 12)},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        tie_fixture_t f;
        c.request(*f.tie);
        EXPECT_EQ(hex(f.written()), hex(c.frame));
    }
}

TEST(marend_tie, configuration_responses_answer_requests_in_order)
{
    tie_fixture_t f;
    std::vector<std::string> got;
    for (int i = 0; i < 2; ++i)
        f.tie->request_config([&got, i](kv::LinuxFirewallConfig& c, unsigned rev) {
            got.push_back(std::to_string(i) + ":" + std::to_string(rev) + ":" + c.exe_path());
        });
    f.send(config_response(1));
    f.send(config_response(2));
    f.run();
    EXPECT_EQ(got, (std::vector<std::string>{"0:1:/rev/1", "1:2:/rev/2"}));
    EXPECT_TRUE(f.failures.empty());
}

TEST(marend_tie, a_request_made_inside_a_callback_queues_behind_the_others)
{
    tie_fixture_t f;
    std::vector<unsigned> got;
    f.tie->request_config([&](kv::LinuxFirewallConfig&, unsigned rev) {
        got.push_back(rev);
        f.tie->request_config([&](kv::LinuxFirewallConfig&, unsigned r) { got.push_back(100 + r); });
    });
    f.tie->request_config([&](kv::LinuxFirewallConfig&, unsigned rev) { got.push_back(rev); });
    f.written();
    for (unsigned rev : {1u, 2u, 3u})
        f.send(config_response(rev));
    f.run();
    EXPECT_EQ(got, (std::vector<unsigned>{1, 2, 103}));
}

TEST(marend_tie, path_responses)
{
    struct case_t {
        const char* name;
        std::function<void(in_t&)> fill;
        int code;
        std::string path;
    };
    const case_t cases[] = {
        {"path", [](in_t& m) { m.set_socket_path("/run/p.sock"); }, 0, "/run/p.sock"},
        {"error", [](in_t& m) { m.mutable_error()->set_code(kv::ErrorCode(115)); }, 115, ""},
        {"error wins over path",
         [](in_t& m) {
             m.mutable_error()->set_code(kv::ErrorCode(115));
             m.mutable_error()->set_what("ignored");
             m.set_socket_path("/run/p.sock");
         },
         115, ""},
        // An error record with EC_OK is no error.
        {"EC_OK error and path",
         [](in_t& m) {
             m.mutable_error()->set_code(kv::EC_OK);
             m.set_socket_path("/run/ok.sock");
         },
         0, "/run/ok.sock"},
    };
    for (auto tag : {in_t::GET_PELLAD_RESPONSE, in_t::GET_QUISAD_RESPONSE}) {
        for (auto& c : cases) {
            SCOPED_TRACE(std::string(c.name) + " " + in_t::MessageTag_Name(tag));
            tie_fixture_t f;
            std::vector<std::pair<boost::system::error_code, std::string>> got;
            auto cb = [&](boost::system::error_code ec, std::string path) { got.emplace_back(ec, path); };
            if (tag == in_t::GET_PELLAD_RESPONSE)
                f.tie->request_pellad_path(cb);
            else
                f.tie->request_quisad_path(cb);
            auto m = path_response(tag);
            c.fill(m);
            f.send(m);
            f.run();
            ASSERT_EQ(got.size(), 1u);
            EXPECT_TRUE(f.failures.empty());
            EXPECT_EQ(got[0].first.value(), c.code);
            if (c.code) {
                EXPECT_EQ(got[0].first.category(), kv::cf_proto_error_category());
            }
            EXPECT_EQ(got[0].second, c.path);
        }
    }
}

TEST(marend_tie, faults_fail_the_tie_with_their_code_and_text)
{
    const std::string violation = "message kv.Marend2FirewallMessage tagged ";
    struct case_t {
        const char* name;
        std::function<void(fw::marend::tie_t&)> request;
        std::function<std::string()> body;
        int status;
        std::string text;
        bool parse_error = false;
    };
    auto none = [](fw::marend::tie_t&) {};
    auto quisad = [](fw::marend::tie_t& t) { t.request_quisad_path([](auto, auto) {}); };
    auto pellad = [](fw::marend::tie_t& t) { t.request_pellad_path([](auto, auto) {}); };
    auto config = [](fw::marend::tie_t& t) { t.request_config([](auto&, unsigned) {}); };
    const case_t cases[] = {
        {"pellad response while only quisad asked", quisad,
         [] { return path_response(in_t::GET_PELLAD_RESPONSE).SerializeAsString(); }, 11, "GET_PELLAD_RESPONSE"},
        {"quisad response unasked", pellad,
         [] { return path_response(in_t::GET_QUISAD_RESPONSE).SerializeAsString(); }, 11, "GET_QUISAD_RESPONSE"},
        {"config response unasked", none, [] { return config_response(1).SerializeAsString(); }, 11,
         "GET_CONFIG_RESPONSE"},
        {"path response without path", quisad,
         [] { return path_response(in_t::GET_QUISAD_RESPONSE).SerializeAsString(); }, 12,
         violation + "GET_QUISAD_RESPONSE does not have field socket_path set"},
        {"EC_OK error without path", pellad,
         [] {
             auto m = path_response(in_t::GET_PELLAD_RESPONSE);
             m.mutable_error()->set_code(kv::EC_OK);
             return m.SerializeAsString();
         },
         12, violation + "GET_PELLAD_RESPONSE does not have field socket_path set"},
        {"config response without revision", config,
         [] {
             auto m = config_response(1);
             m.clear_config_revision();
             return m.SerializeAsString();
         },
         12, violation + "GET_CONFIG_RESPONSE does not have field config_revision set"},
        {"config response without config, even suspended", config,
         [] {
             auto m = config_response(1);
             m.clear_config();
             m.mutable_control()->set_app(kv::APP_MAREND);
             m.mutable_control()->set_suspended(true);
             return m.SerializeAsString();
         },
         12, violation + "GET_CONFIG_RESPONSE does not have field config set"},
        {"random bytes", none, [] { return std::string("\xff\xfe\x01\x80garbage", 11); }, 125,
         "kv.Marend2FirewallMessage: invalid message format", true},
        {"no tag", config,
         [] {
             in_t m;
             m.set_config_revision(3);
             return m.SerializePartialAsString();
         },
         125, "kv.Marend2FirewallMessage: invalid message format", true},
        {"tag outside the enumeration", none, [] { return std::string("\x08\x03", 2); }, 125,
         "kv.Marend2FirewallMessage: invalid message format", true},
        {"error record without code", pellad,
         [] {
             auto m = path_response(in_t::GET_PELLAD_RESPONSE);
             m.mutable_error()->set_what("x");
             return m.SerializePartialAsString();
         },
         125, "kv.Marend2FirewallMessage: invalid message format", true},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        tie_fixture_t f;
        c.request(*f.tie);
        f.send_raw(c.body());
        f.run();
        ASSERT_EQ(f.failures.size(), 1u);
        EXPECT_EQ(f.failures[0].text, c.text);
        EXPECT_EQ(f.failures[0].status, c.status);
        EXPECT_EQ(f.failures[0].parse_error, c.parse_error);
        // The tie has dropped its link: further frames and requests go nowhere.
        f.send(config_response(9));
        c.request(*f.tie);
        f.run();
        EXPECT_EQ(f.failures.size(), 1u);
    }
}

TEST(marend_tie, a_runtime_error_of_a_callback_fails_the_tie)
{
    tie_fixture_t f;
    f.tie->request_pellad_path([](boost::system::error_code ec, std::string) {
        if (ec)
            throw std::runtime_error("cannot get Pellad");
    });
    auto m = path_response(in_t::GET_PELLAD_RESPONSE);
    m.mutable_error()->set_code(kv::ErrorCode(115));
    f.send(m);
    f.run();
    ASSERT_EQ(f.failures.size(), 1u);
    EXPECT_EQ(f.failures[0].text, "cannot get Pellad");
}

TEST(marend_tie, suspension_ends_the_loop_with_88_whether_or_not_a_request_waits)
{
    for (bool asked : {false, true}) {
        SCOPED_TRACE(asked);
        tie_fixture_t f;
        bool called = false;
        if (asked)
            f.tie->request_config([&](kv::LinuxFirewallConfig&, unsigned) { called = true; });
        auto m = config_response(4);
        m.mutable_control()->set_app(kv::APP_MAREND);
        m.mutable_control()->set_suspended(true);
        f.send(m);
        int thrown = -1;
        try {
            f.run();
        } catch (kv::ErrorCode c) {
            thrown = c;
        }
        EXPECT_EQ(thrown, 88);
        EXPECT_FALSE(called);
        EXPECT_TRUE(f.failures.empty());
    }
}

TEST(marend_tie, a_control_record_that_does_not_suspend_lets_the_configuration_through)
{
    tie_fixture_t f;
    unsigned got = 0;
    f.tie->request_config([&](kv::LinuxFirewallConfig&, unsigned rev) { got = rev; });
    auto m = config_response(5);
    m.mutable_control()->set_app(kv::APP_MAREND);
    m.mutable_control()->set_suspended(false);
    f.send(m);
    f.run();
    EXPECT_EQ(got, 5u);
}

TEST(marend_tie, a_closed_peer_fails_the_tie_with_the_read_error)
{
    tie_fixture_t f;
    ::shutdown(f.peer, SHUT_RDWR);
    f.run();
    ASSERT_EQ(f.failures.size(), 1u);
    EXPECT_EQ(f.failures[0].text.rfind("read failed: ", 0), 0u) << f.failures[0].text;
}

} // namespace
