// The local-delivery route and rule in a private namespace, witnessed by `ip`.
#include "fw/steering/routing.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "fw/service/marks.hpp"
#include "linux_firewall_config.pb.h"
#include "tests/fw/descriptor_limit.hpp"
#include "tests/fw/net_capabilities.hpp"
#include "tests/fw/netns_fixture.hpp"

namespace {

using namespace fw::service;
using morva_test::sh;

constexpr int metric = 2147483647;

std::string route_line(std::uint32_t table)
{
    return sh("ip route show table " + std::to_string(table));
}

// The policy rules other than the three the kernel starts with.
std::vector<std::string> extra_rules()
{
    std::vector<std::string> rules;
    std::istringstream in(sh("ip rule"));
    for (std::string line; std::getline(in, line);)
        if (line.find("lookup local") == std::string::npos && line.find("lookup main") == std::string::npos
            && line.find("lookup default") == std::string::npos)
            rules.push_back(line.substr(line.find(':') + 2));
    return rules;
}

// The daemon's own leftovers: a route in the table range with its metric.
std::string own_routes() { return sh("ip route show table all | grep 'metric 2147483647' || true"); }

// `ip` leaves out the protocol boot, the default.
std::string installed_route() { return "local default dev lo scope host metric 2147483647 \n"; }

std::string rule_of(const char* fwmark, std::uint32_t table)
{
    return std::string("from all fwmark ") + fwmark + "/" + fwmark + " lookup " + std::to_string(table);
}

class routing_netns : public morva_test::netns_test_t {
protected:
    void SetUp() override
    {
        netns_test_t::SetUp();
        if (HasFatalFailure())
            return;
        config.set_autoconfigure_iptables(true);
        config.set_autoconfigure_routing(true);
        config.mutable_local_delivery_mark()->set_manual(0x10);
        config.mutable_client_packets_mark()->set_manual(0x100);
        config.mutable_server_packets_mark()->set_manual(0x200);
        config.set_var_lib_dir(dir.string());
        state_file = (dir / "rule_info.dat").string();
    }
    void TearDown() override
    {
        routing.reset();
        // Whatever a failing test left: every rule but the kernel's three, every table from 100 to 200.
        morva_test::sh_status("for p in 31999 32000 32764 32765; do while ip rule del priority $p 2>/dev/null; do :; done; done");
        morva_test::sh_status("for t in $(seq 100 200); do ip route flush table $t; done 2>/dev/null");
        netns_test_t::TearDown();
    }

    // One apply: the services built first, then the marks configured before
    // the routing, as in the service list.
    void apply()
    {
        if (!routing)
            routing = std::make_unique<routing_t>(config, marks);
        marks.configure();
        routing->configure();
    }

    std::optional<rule_record_t> recorded() { return peek_rule_info(state_file); }

    std::vector<std::string> warnings()
    {
        std::vector<std::string> found;
        for (const std::string& line : log->taken())
            if (line.rfind("3 ", 0) == 0)
                found.push_back(line.substr(2));
        return found;
    }

    kv::LinuxFirewallConfig config;
    std::string state_file;
    // Marks chosen automatically look at the policy rules only.
    marks_t marks{config, [](const mark_filter_t& filter) { return policy_rule_used_marks(filter); }};
    std::unique_ptr<routing_t> routing;
};

TEST_F(routing_netns, installs_in_the_first_free_table_records_it_and_removes_it_at_stop)
{
    apply();
    EXPECT_EQ(route_line(100), installed_route());
    EXPECT_EQ(extra_rules(), std::vector<std::string>{rule_of("0x10", 100)});
    EXPECT_EQ(recorded(), (rule_record_t{100, 0x10, metric}));
    EXPECT_EQ(routing->own_rule(), (rule_record_t{100, 0x10, metric}));
    const auto lines = log->taken();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "0 Local delivery route installed (table 100, metric 2147483647)"),
              lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "0 Local delivery routing policy installed (table 100, fwmark 16)"),
              lines.end());

    routing.reset();
    EXPECT_EQ(route_line(100), "");
    EXPECT_TRUE(extra_rules().empty());
    EXPECT_FALSE(boost::filesystem::exists(state_file));
    EXPECT_TRUE(warnings().empty());
}

TEST_F(routing_netns, tables_used_by_routes_or_rules_are_skipped)
{
    sh("ip route add unreachable default table 100");
    sh("ip route add unreachable 10.0.0.0/8 table 101");
    sh("ip rule add from 10.1.1.1 lookup 102 priority 32765");
    sh("ip rule add from 10.1.1.2 lookup 300 priority 32765");
    apply();
    EXPECT_EQ(route_line(103), installed_route());
    EXPECT_EQ(recorded()->table_id, 103u);
    EXPECT_EQ(route_line(100), "unreachable default \n") << "a foreign table is left alone";
}

TEST_F(routing_netns, no_free_table)
{
    std::string batch;
    for (int t = 100; t <= 200; ++t)
        batch += "route add unreachable default table " + std::to_string(t) + "\n";
    std::ofstream((dir / "batch").string()) << batch;
    sh("ip -batch " + (dir / "batch").string());
    try {
        apply();
        ADD_FAILURE() << "a table was found";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Cannot find free routing table");
    }
    EXPECT_TRUE(extra_rules().empty());
    EXPECT_FALSE(boost::filesystem::exists(state_file));
}

TEST_F(routing_netns, every_apply_removes_and_installs_again)
{
    apply();
    apply();
    EXPECT_EQ(route_line(100), installed_route());
    EXPECT_EQ(extra_rules(), std::vector<std::string>{rule_of("0x10", 100)});

    // A changed mark, and a table that became used meanwhile.
    config.mutable_local_delivery_mark()->set_manual(0x20);
    sh("ip route add unreachable 10.0.0.0/8 table 101");
    sh("ip rule add from 10.1.1.1 lookup 100 priority 32000");
    apply();
    EXPECT_EQ(route_line(100), "");
    EXPECT_EQ(route_line(102), installed_route());
    EXPECT_EQ(extra_rules(), (std::vector<std::string>{rule_of("0x20", 102), "from 10.1.1.1 lookup 100"}));
    EXPECT_EQ(recorded(), (rule_record_t{102, 0x20, metric}));
    EXPECT_TRUE(warnings().empty());
    sh("ip rule del from 10.1.1.1 lookup 100 priority 32000");
    apply();
    EXPECT_EQ(route_line(100), installed_route());
    EXPECT_EQ(route_line(102), "");

    // Off: what was installed goes, nothing comes.
    config.set_autoconfigure_routing(false);
    config.mutable_local_delivery_mark()->set_manual(0x20);
    apply();
    EXPECT_EQ(route_line(100), "");
    EXPECT_TRUE(extra_rules().empty());
    EXPECT_FALSE(boost::filesystem::exists(state_file));
    EXPECT_EQ(routing->own_rule(), std::nullopt);
    EXPECT_TRUE(warnings().empty());
}

TEST_F(routing_netns, what_an_ended_run_left_is_removed_at_the_next_apply)
{
    for (bool on : {true, false}) {
        SCOPED_TRACE(on);
        sh("ip route add local default dev lo table 130 proto boot scope host metric 2147483647");
        sh("ip rule add fwmark 0x4/0x4 lookup 130");
        write_rule_info({130, 4, metric}, state_file);
        config.set_autoconfigure_routing(on);
        apply();
        EXPECT_EQ(route_line(130), "");
        EXPECT_EQ(extra_rules(), on ? std::vector<std::string>{rule_of("0x10", 100)} : std::vector<std::string>{});
        EXPECT_EQ(boost::filesystem::exists(state_file), on);
        EXPECT_TRUE(warnings().empty());
        routing.reset();
    }
}

TEST_F(routing_netns, recorded_objects_already_gone_are_warned_about)
{
    write_rule_info({140, 4, metric}, state_file);
    apply();
    const auto found = warnings();
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].rfind("Cannot uninstall local delivery route (table 140, metric 2147483647): NETLINK error "
                             "received: ", 0),
              0u)
        << found[0];
    EXPECT_EQ(found[1].rfind("Cannot uninstall local delivery routing policy (table 140, fwmark 4): NETLINK error "
                             "received: ", 0),
              0u)
        << found[1];
    EXPECT_EQ(recorded(), (rule_record_t{100, 0x10, metric}));
}

// The kernel refuses the removal (no CAP_NET_ADMIN for it): a warning, the
// record kept and tried again, and the configuration goes on.
TEST_F(routing_netns, a_refused_removal_is_warned_about_and_tried_again)
{
    const std::vector<std::string> refused = {
        "Cannot uninstall local delivery route (table 100, metric 2147483647): NETLINK error received: Operation "
        "not permitted",
        "Cannot uninstall local delivery routing policy (table 100, fwmark 16): NETLINK error received: Operation "
        "not permitted",
    };
    for (const bool on : {false, true}) {
        SCOPED_TRACE(on ? "routing stays on" : "routing turned off");
        config.set_autoconfigure_routing(true);
        apply();
        log->taken();

        config.set_autoconfigure_routing(on);
        {
            morva_test::net_admin_dropped_t dropped;
            // The new installation is allowed again once the removal is over.
            routing->set_step_hook([&dropped](routing_step_t step) {
                if (step == routing_step_t::recorded)
                    dropped.restore();
            });
            EXPECT_NO_THROW(apply());
            routing->set_step_hook({});
        }
        EXPECT_EQ(warnings(), refused);
        EXPECT_EQ(route_line(100), installed_route());
        if (on) {
            EXPECT_EQ(route_line(101), installed_route());
            // The later rule comes first.
            EXPECT_EQ(extra_rules(), (std::vector<std::string>{rule_of("0x10", 101), rule_of("0x10", 100)}));
            EXPECT_EQ(recorded(), (rule_record_t{101, 0x10, metric}));
            // Neither installation counts as foreign to the marks.
            EXPECT_FALSE(routing->own_rule_filter(100, 0x10));
            EXPECT_FALSE(routing->own_rule_filter(101, 0x10));
        } else {
            EXPECT_EQ(extra_rules(), std::vector<std::string>{rule_of("0x10", 100)});
            // Still named by the state file, for a run that follows a crash.
            EXPECT_EQ(recorded(), (rule_record_t{100, 0x10, metric}));
            // The next apply removes it.
            apply();
            EXPECT_EQ(route_line(100), "");
            EXPECT_TRUE(extra_rules().empty());
            EXPECT_FALSE(boost::filesystem::exists(state_file));
        }
        // The stop removes what is left, whichever installation it was.
        routing.reset();
        EXPECT_EQ(own_routes(), "");
        EXPECT_TRUE(extra_rules().empty());
        EXPECT_FALSE(boost::filesystem::exists(state_file));
        EXPECT_TRUE(warnings().empty());
    }
}

// A run killed while it wrote the state file left the temporary file: the
// next run takes it away at its first configuration in any mode, and only
// when it is a regular file.
TEST_F(routing_netns, a_temporary_state_file_left_by_a_killed_run_goes_at_start)
{
    const std::string temporary = state_file + ".new";
    const std::string target = (dir / "target").string();
    const struct {
        const char* what;
        bool routing;
        std::string make;
        bool removed;
    } cases[] = {
        {"regular file, routing on", true, "printf x > " + temporary, true},
        {"regular file, routing off", false, "printf x > " + temporary, true},
        {"symbolic link", false, "printf x > " + target + "; ln -s " + target + " " + temporary, false},
        {"directory", false, "mkdir " + temporary, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        sh(c.make);
        config.set_autoconfigure_routing(c.routing);
        apply();
        EXPECT_EQ(boost::filesystem::exists(boost::filesystem::symlink_status(temporary)), !c.removed);
        if (boost::filesystem::exists(target)) {
            EXPECT_EQ(sh("cat " + target), "x") << "a link is never followed";
        }
        routing.reset();
        sh("rm -rf " + temporary + " " + target);
    }
    EXPECT_TRUE(warnings().empty());
}

TEST_F(routing_netns, a_state_file_that_does_not_parse)
{
    std::ofstream(state_file) << "garbage";
    apply();
    EXPECT_EQ(warnings(), std::vector<std::string>{"Cannot parse file " + state_file});
    EXPECT_EQ(recorded(), (rule_record_t{100, 0x10, metric}));
}

TEST_F(routing_netns, a_changed_state_directory)
{
    apply();
    const auto other = dir / "other";
    boost::filesystem::create_directory(other);
    config.set_var_lib_dir(other.string());
    config.mutable_local_delivery_mark()->set_manual(0x40);
    apply();
    EXPECT_FALSE(boost::filesystem::exists(state_file));
    state_file = (other / "rule_info.dat").string();
    EXPECT_EQ(recorded(), (rule_record_t{100, 0x40, metric}));
    EXPECT_EQ(extra_rules(), std::vector<std::string>{rule_of("0x40", 100)});

    routing.reset();
    EXPECT_FALSE(boost::filesystem::exists(state_file));
    EXPECT_TRUE(extra_rules().empty());
}

TEST_F(routing_netns, a_state_file_that_cannot_be_written_takes_route_and_rule_back)
{
    config.set_var_lib_dir((dir / "missing").string());
    try {
        apply();
        ADD_FAILURE() << "installed without a state file";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "Cannot install local delivery rule: Cannot create file "
                                             + (dir / "missing" / "rule_info.dat.new").string()
                                             + ": No such file or directory");
    }
    EXPECT_EQ(route_line(100), "");
    EXPECT_TRUE(extra_rules().empty());
    EXPECT_EQ(routing->own_rule(), std::nullopt);
    EXPECT_TRUE(warnings().empty());
}


TEST_F(routing_netns, a_var_lib_dir_that_is_not_absolute_is_refused_before_anything_is_installed)
{
    const struct {
        const char* dir;
        bool routing;
        const char* error; // none: accepted
    } cases[] = {
        {"", true, "var_lib_dir must be an absolute path: \"\""},
        {"relative/dir", true, "var_lib_dir must be an absolute path: \"relative/dir\""},
        {"relative/dir", false, "var_lib_dir must be an absolute path: \"relative/dir\""},
        {"", false, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.dir) + (c.routing ? ", routing" : ", no routing"));
        config.set_var_lib_dir(c.dir);
        config.set_autoconfigure_routing(c.routing);
        routing.reset();
        if (c.error) {
            try {
                apply();
                ADD_FAILURE() << "accepted";
            } catch (const std::runtime_error& e) {
                EXPECT_STREQ(e.what(), c.error);
            }
        } else {
            apply();
        }
        EXPECT_TRUE(extra_rules().empty());
        EXPECT_EQ(own_routes(), "");
        EXPECT_FALSE(boost::filesystem::exists("/rule_info.dat"));
        EXPECT_FALSE(boost::filesystem::exists(boost::filesystem::current_path() / "relative"));
    }
}

TEST_F(routing_netns, a_state_file_naming_what_the_daemon_never_installs_touches_nothing)
{
    // Table 254 and mark 0: read blindly, the main table's rule would go.
    std::ofstream(state_file, std::ios::binary) << std::string("\x08\xfe\x01\x10\x00", 5);
    const std::string rules_before = sh("ip rule");
    const std::string main_before = sh("ip route show table main");
    config.set_autoconfigure_routing(false);
    apply();
    EXPECT_EQ(sh("ip rule"), rules_before);
    EXPECT_EQ(sh("ip route show table main"), main_before);
    EXPECT_FALSE(boost::filesystem::exists(state_file));
    EXPECT_EQ(warnings(), std::vector<std::string>{"Ignoring file " + state_file
                                                   + ": it records no local delivery routing of this daemon "
                                                     "(table 254, fwmark 0)"});
}

// A run killed at each step of installing and of its stop: the next run
// chooses the same mark and, once stopped, leaves nothing.
TEST_F(routing_netns, no_crash_leaves_the_route_or_the_rule_and_the_mark_stays)
{
    config.mutable_local_delivery_mark()->mutable_auto_();
    const routing_step_t steps[] = {routing_step_t::recorded, routing_step_t::route_installed,
                                    routing_step_t::rule_installed, routing_step_t::route_removed,
                                    routing_step_t::rule_removed};
    for (const routing_step_t step : steps) {
        SCOPED_TRACE(static_cast<int>(step));
        const auto killed = morva_test::run_guarded_in_child([&] {
            {
                routing_t crashing(config, marks);
                crashing.set_step_hook([step](routing_step_t reached) {
                    if (reached == step)
                        ::raise(SIGKILL);
                });
                marks.configure();
                crashing.configure();
            }
            ::_exit(0);
        });
        ASSERT_EQ(killed.status, 128 + SIGKILL) << killed.err;

        apply();
        EXPECT_EQ(marks.local_delivery_mark(), 0x1u) << "the crashed run's rule counted as foreign";
        EXPECT_EQ(extra_rules(), std::vector<std::string>{rule_of("0x1", 100)});
        EXPECT_EQ(own_routes(), "local default dev lo table 100 scope host metric 2147483647 \n");
        routing.reset();
        EXPECT_TRUE(extra_rules().empty());
        EXPECT_EQ(own_routes(), "");
        EXPECT_FALSE(boost::filesystem::exists(state_file));
    }
}

TEST_F(routing_netns, a_stop_at_the_open_file_limit_removes_route_rule_and_record)
{
    const auto stopped = morva_test::run_guarded_in_child([&] {
        apply();
        if (!morva_test::exhaust_descriptors())
            ::_exit(2);
        routing.reset();
        for (const std::string& line : warnings())
            ::write(2, (line + "\n").data(), line.size() + 1);
        ::_exit(warnings().empty() ? 0 : 1);
    });
    EXPECT_EQ(stopped.status, 0) << stopped.err;
    EXPECT_TRUE(extra_rules().empty());
    EXPECT_EQ(own_routes(), "");
    EXPECT_FALSE(boost::filesystem::exists(state_file));
}

} // namespace
