// The daemon under a harness in marend's place: start-up, configuration
// apply, SIGHUP, stop, and the exit status of every failure path.
#include "tests/app/marend_harness.hpp"

#include <sys/stat.h>

#include <functional>
#include <string>

#include "linux_firewall_config.pb.h"
#include "tests/common/temp_dir.hpp"

namespace {

using morva_test::daemon_options_t;
using morva_test::daemon_t;
using in_t = kv::Marend2FirewallMessage;
using namespace std::chrono_literals;

const std::string ready = "Notice: LinuxFirewall " MORVA_VERSION ": Ready for service";

kv::LinuxFirewallConfig stderr_config()
{
    kv::LinuxFirewallConfig c;
    c.set_log_level(kv::LOG_LEVEL_DEBUG);
    c.mutable_actual_log()->set_type(kv::Log::STDERR);
    c.mutable_tproxy_listen_address()->set_address("127.0.0.1");
    c.mutable_tproxy_listen_address()->set_port(0);
    c.mutable_intercept_hook()->set_buffer("function intercept_hook(ctx) return 'check' end");
    c.mutable_local_delivery_mark()->set_manual(0x1);
    c.mutable_client_packets_mark()->set_manual(0x2);
    c.mutable_server_packets_mark()->set_manual(0x4);
    return c;
}

// Tests that need a directory of their own.
class supervised_files : public morva_test::temp_dir_test_t {};

std::string read_file(const boost::filesystem::path& p)
{
    std::string out;
    if (FILE* f = std::fopen(p.c_str(), "r")) {
        char buf[4096];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
            out.append(buf, n);
        std::fclose(f);
    }
    return out;
}

TEST(supervised, applies_a_configuration_reports_it_and_stops_on_sigterm)
{
    daemon_t d;
    d.expect_config_request();
    d.send_config(5, stderr_config());
    d.expect_notification(5);
    ASSERT_TRUE(d.wait_for_err(ready)) << d.err();
    d.signal(SIGTERM);
    EXPECT_EQ(d.wait(), 107);
    const std::string err = d.err();
    EXPECT_NE(err.find("Notice: Termination signal received, exiting..."), std::string::npos) << err;
    EXPECT_NE(err.find("Exit with status 107 (Process terminated by signal)"), std::string::npos) << err;
    // The notification goes out before the ready line: the reporter is the last service.
    EXPECT_LT(err.find("sending message: tag: MY_INFO_NOTIFICATION"), err.find(ready)) << err;
}

TEST(supervised, each_sighup_orders_a_configuration_and_answers_apply_in_order)
{
    daemon_t d;
    d.expect_config_request();
    d.send_config(1, stderr_config());
    d.expect_notification(1);
    ASSERT_TRUE(d.wait_for_err(ready));

    d.signal(SIGHUP);
    d.expect_config_request();
    d.signal(SIGHUP);
    d.expect_config_request();
    // The log reader is a thread of its own: the line may follow the request.
    EXPECT_TRUE(d.wait_for_err("Notice: SIGHUP received, config will be ordered from Marend")) << d.err();
    d.send_config(2, stderr_config());
    d.send_config(3, stderr_config());
    d.expect_notification(2);
    d.expect_notification(3);

    d.signal(SIGINT);
    EXPECT_EQ(d.wait(), 107);
}

TEST(supervised, termination_signals_end_with_107_and_a_second_one_changes_nothing)
{
    for (int sig : {SIGTERM, SIGINT}) {
        for (bool configured : {false, true}) {
            SCOPED_TRACE(std::string(strsignal(sig)) + (configured ? " configured" : " before the configuration"));
            daemon_t d;
            d.expect_config_request();
            if (configured) {
                d.send_config(1, stderr_config());
                d.expect_notification(1);
            }
            d.signal(sig);
            d.signal(sig);
            EXPECT_EQ(d.wait(), 107);
            const std::string err = d.err();
            EXPECT_NE(err.find("Termination signal received, exiting..."), std::string::npos) << err;
            EXPECT_NE(err.find("Exit with status 107"), std::string::npos) << err;
            // Stopping closed the link to marend.
            EXPECT_FALSE(d.receive(100ms));
        }
    }
}

TEST_F(supervised_files, a_configuration_a_service_rejects_ends_with_102_unreported)
{
    daemon_t d;
    d.expect_config_request();
    auto c = stderr_config();
    c.mutable_actual_log()->set_type(kv::Log::FILE);
    c.mutable_actual_log()->set_path((dir / "missing" / "log").string());
    d.send_config(4, c);
    EXPECT_EQ(d.wait(), 102);
    EXPECT_FALSE(d.receive(100ms)) << "no notification for a rejected configuration";
    const std::string err = d.err();
    EXPECT_NE(err.find("Error: Cannot apply configuration (revision 4): Cannot create log"), std::string::npos) << err;
    EXPECT_NE(err.find("Exit with status 102 (Invalid configuration)"), std::string::npos) << err;
    EXPECT_EQ(err.find("Ready for service"), std::string::npos) << err;
}

// A fixed mark left out: accepted where nothing uses it (every divert off,
// both automatic modes off), refused where a mark 0 would be used, with the
// same verdict as the first configuration and as revision 2.
TEST(supervised, fixed_marks_left_out_same_verdict_at_start_and_on_sighup)
{
    const auto without_marks = [](const std::function<void(kv::LinuxFirewallConfig&)>& edit) {
        auto c = stderr_config();
        c.clear_local_delivery_mark();
        c.clear_client_packets_mark();
        c.clear_server_packets_mark();
        edit(c);
        return c;
    };
    const struct {
        const char* what;
        kv::LinuxFirewallConfig config;
        const char* error; // null: applied
    } cases[] = {
        {"switched off", without_marks([](auto&) {}), nullptr},
        {"a divert on", without_marks([](auto& c) { c.set_input_divert_enable(true); }),
         "LocalDeliveryMark value is not configured: set it to auto or to a manual mark"},
    };
    for (const auto& c : cases) {
        for (const unsigned revision : {1u, 2u}) {
            SCOPED_TRACE(std::string(c.what) + ", revision " + std::to_string(revision));
            daemon_t d;
            d.expect_config_request();
            if (revision == 2) {
                d.send_config(1, stderr_config());
                d.expect_notification(1);
                d.signal(SIGHUP);
                d.expect_config_request();
            }
            d.send_config(revision, c.config);
            if (!c.error) {
                d.expect_notification(revision);
                d.signal(SIGTERM);
                EXPECT_EQ(d.wait(), 107) << d.err();
                continue;
            }
            EXPECT_EQ(d.wait(), 102);
            const std::string err = d.err();
            EXPECT_NE(err.find("Error: Cannot apply configuration (revision " + std::to_string(revision)
                               + "): " + c.error),
                      std::string::npos)
                << err;
        }
    }
}

TEST(supervised, suspension_ends_with_88)
{
    daemon_t d;
    d.expect_config_request();
    in_t m;
    m.set_tag(in_t::GET_CONFIG_RESPONSE);
    m.set_config_revision(2);
    *m.mutable_config() = stderr_config();
    m.mutable_control()->set_app(kv::APP_MAREND);
    m.mutable_control()->set_suspended(true);
    d.send(m);
    EXPECT_EQ(d.wait(), 88);
    EXPECT_FALSE(d.receive(100ms));
    const std::string err = d.err();
    EXPECT_NE(err.find("Notice: Component suspended, exiting..."), std::string::npos) << err;
    EXPECT_NE(err.find("Exit with status 88"), std::string::npos) << err;
}

TEST(supervised, faults_on_the_marend_link_end_the_daemon)
{
    struct case_t {
        const char* name;
        std::function<void(daemon_t&)> act;
        std::string line;
        int status;
    };
    const std::string violation = "Error: Marend: message kv.Marend2FirewallMessage tagged ";
    const case_t cases[] = {
        {"marend closes", [](daemon_t& d) { d.close_marend(); }, "Error: Marend: read failed: End of file", 125},
        {"garbage", [](daemon_t& d) { d.send_frame("\xff\xff\xff garbage"); },
         "Error: Marend: kv.Marend2FirewallMessage: invalid message format", 125},
        {"length 0", [](daemon_t& d) { d.send_raw(std::string(4, '\0')); },
         "Error: Marend: invalid message size received", 125},
        {"length above 64 MiB", [](daemon_t& d) { d.send_raw(std::string("\x01\x00\x00\x04", 4)); },
         "Error: Marend: invalid message size received", 125},
        {"unsolicited response",
         [](daemon_t& d) {
             in_t m;
             m.set_tag(in_t::GET_PELLAD_RESPONSE);
             m.set_socket_path("/run/p");
             d.send(m);
         },
         "Error: Marend: GET_PELLAD_RESPONSE", 11},
        {"missing revision",
         [](daemon_t& d) {
             in_t m;
             m.set_tag(in_t::GET_CONFIG_RESPONSE);
             *m.mutable_config() = stderr_config();
             d.send(m);
         },
         violation + "GET_CONFIG_RESPONSE does not have field config_revision set", 12},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        daemon_t d;
        d.expect_config_request();
        c.act(d);
        EXPECT_EQ(d.wait(), c.status);
        const std::string err = d.err();
        EXPECT_NE(err.find(c.line), std::string::npos) << err;
        EXPECT_NE(err.find("Exit with status " + std::to_string(c.status)), std::string::npos) << err;
    }
}

TEST(supervised, the_monitor_variable_is_a_decimal_descriptor)
{
    const std::string bad_cast = "Error: Initialization failed: bad lexical cast: source type value could not be "
                                 "interpreted as target";
    struct case_t {
        std::string monitor;
        std::string line;
    };
    const case_t failing[] = {
        {"", bad_cast},
        {"3x", bad_cast},
        {" 3", bad_cast},
        {"-1", "Error: Initialization failed: assign: Bad file descriptor"},
        {"99", "Error: Initialization failed: assign: Bad file descriptor"},
    };
    for (auto& c : failing) {
        SCOPED_TRACE("'" + c.monitor + "'");
        daemon_t d(daemon_options_t{c.monitor, false});
        EXPECT_EQ(d.wait(), 125);
        EXPECT_NE(d.err().find(c.line), std::string::npos) << d.err();
    }
    daemon_t d(daemon_options_t{"+3", false});
    d.expect_config_request();
    d.signal(SIGTERM);
    EXPECT_EQ(d.wait(), 107);
}

TEST_F(supervised_files, log_targets_as_the_running_daemon_writes_them)
{
    const auto path = dir / "fw.log";
    {
        SCOPED_TRACE("file, with a copy of every line on the extra log pipe");
        daemon_t d(daemon_options_t{"3", true});
        d.expect_config_request();
        auto c = stderr_config();
        c.mutable_actual_log()->set_type(kv::Log::FILE);
        c.mutable_actual_log()->set_path(path.string());
        d.send_config(6, c);
        d.expect_notification(6);
        ASSERT_TRUE(d.log_pipe().wait_for(ready + "\n")) << d.log_pipe().text();
        const std::string file = read_file(path);
        EXPECT_NE(file.find("[" + std::to_string(d.pid()) + "] " + ready), std::string::npos) << file;
        EXPECT_EQ(d.err().find("Ready for service"), std::string::npos) << d.err();
        struct stat st{};
        ASSERT_EQ(::stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        d.signal(SIGTERM);
        EXPECT_EQ(d.wait(), 107);
    }
    {
        SCOPED_TRACE("standard error, nothing on the extra log pipe");
        daemon_t d(daemon_options_t{"3", true});
        d.expect_config_request();
        d.send_config(7, stderr_config());
        d.expect_notification(7);
        ASSERT_TRUE(d.wait_for_err(ready + "\n")) << d.err();
        d.signal(SIGTERM);
        EXPECT_EQ(d.wait(), 107);
        EXPECT_EQ(d.log_pipe().text(), "");
    }
}

TEST(supervised, lines_below_the_configured_level_are_not_written)
{
    daemon_t d;
    d.expect_config_request();
    auto c = stderr_config();
    c.set_log_level(kv::LOG_LEVEL_WARNING);
    d.send_config(1, c);
    d.expect_notification(1);
    d.signal(SIGTERM);
    EXPECT_EQ(d.wait(), 107);
    const std::string err = d.err();
    EXPECT_EQ(err.find("Ready for service"), std::string::npos) << err;
    EXPECT_EQ(err.find("sending message"), std::string::npos) << err;
}

} // namespace
