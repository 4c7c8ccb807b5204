// The marks other software uses, read from iptables-legacy, policy rules and
// nftables rules made by the real tools in a private namespace.
#include "fw/service/marks.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <string>

#include <boost/system/system_error.hpp>

#include "fw/steering/routing.hpp"
#include "linux/iptables/extensions.hpp"
#include "linux/iptables/table.hpp"
#include "linux/nftables/transaction.hpp"
#include "linux_firewall_config.pb.h"
#include "tests/fw/service/marks_fixture.hpp"
#include "tests/fw/netns_fixture.hpp"

namespace {

using namespace fw::service;
namespace ipt = fw::linux::iptables;
using morva_test::sh;
using morva_test::automatic_config;
using morva_test::marks_array_t;
using morva_test::marks_of;

bool every_rule(std::uint32_t, std::uint32_t) { return true; }

// Leaves iptables, policy rules and nftables as a fresh namespace has them.
class marks_netns : public morva_test::netns_test_t {
protected:
    void SetUp() override
    {
        netns_test_t::SetUp();
        if (HasFatalFailure())
            return;
        fw::linux::nftables::utils::set_modprobe_program("/bin/true");
    }
    void TearDown() override
    {
        for (const char* table : {"nat", "mangle", "filter"})
            morva_test::sh_status(std::string("iptables-legacy -t ") + table + " -F && iptables-legacy -t " + table
                                  + " -X");
        morva_test::sh_status("for p in 100 31999 32765; do while ip rule del priority $p 2>/dev/null; do :; done; done");
        morva_test::sh_status("ip route flush table 100");
        morva_test::sh_status("nft flush ruleset");
        netns_test_t::TearDown();
    }
};

TEST_F(marks_netns, foreign_iptables_rules)
{
    // Counted: mark matches (inverted too, any mask) and MARK targets of built-in chains.
    sh("iptables-legacy -t mangle -A PREROUTING -m mark --mark 0x1/0xff -j ACCEPT");
    sh("iptables-legacy -t mangle -A OUTPUT -p tcp -j MARK --set-mark 6");
    sh("iptables-legacy -t nat -A OUTPUT -m mark ! --mark 0x400 -j ACCEPT");
    // Not counted: user-defined chains, connection marks, the daemon's own rules, other tables.
    sh("iptables-legacy -t mangle -N foreign && iptables-legacy -t mangle -A foreign -m mark --mark 0x1000 -j MARK "
       "--set-mark 0x1000");
    sh("iptables-legacy -t mangle -A FORWARD -m connmark --mark 0x2000 -j CONNMARK --set-mark 0x4000");
    sh("iptables-legacy -t mangle -A INPUT -m comment --comment morva-firewall -m mark --mark 0x8000 -j MARK "
       "--set-mark 0x10000");
    sh("iptables-legacy -t filter -A INPUT -m mark --mark 0x20000 -j ACCEPT");

    EXPECT_EQ(iptables_used_marks(), 0x407u);

    kv::LinuxFirewallConfig config = automatic_config();
    marks_t marks(config);
    marks.configure();
    EXPECT_EQ(marks_of(marks), (marks_array_t{8, 16, 32, 64, 128, 256}));
    marks.configure();
    EXPECT_EQ(marks_of(marks), (marks_array_t{8, 16, 32, 64, 128, 256})) << "a second apply chooses the same";
}

TEST_F(marks_netns, tables_that_are_not_loaded)
{
    ipt::ipt_table_t mangle;
    ipt::ipt_rule_t foreign;
    foreign.matches.push_back(ipt::make_mark_match(0x30, 0x30, false));
    mangle.builtin_chains[0].rules.push_back(foreign);
    ipt::ipt_rule_t own = ipt::make_own_rule();
    own.target = ipt::make_mark_target(0x40, 0xffffffffu);
    mangle.builtin_chains[3].rules.push_back(own);

    for (int missing : {ENOENT, ENOPROTOOPT}) {
        std::vector<std::string> read;
        const auto reader = [&](const std::string& name) {
            read.push_back(name);
            if (name == "nat")
                throw boost::system::system_error(missing, boost::system::system_category(), "nat");
            return mangle;
        };
        EXPECT_EQ(iptables_used_marks(reader), 0x30u);
        EXPECT_EQ(read, (std::vector<std::string>{"nat", "mangle"}));
        EXPECT_EQ(log->taken(), std::vector<std::string>{"0 Table nat is not loaded"});
    }

    const auto refused = [](const std::string& name) -> ipt::ipt_table_t {
        throw boost::system::system_error(EPERM, boost::system::system_category(), name);
    };
    try {
        iptables_used_marks(refused);
        ADD_FAILURE() << "a refused read was taken for a missing table";
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(e.code().value(), EPERM);
    }
}

TEST_F(marks_netns, foreign_policy_rules)
{
    sh("ip rule add fwmark 0x20 lookup 100 priority 100");
    sh("ip rule add fwmark 0x40/0xff lookup 300 priority 100");
    sh("ip rule add from 10.0.0.1 lookup 100 priority 100");
    EXPECT_EQ(policy_rule_used_marks(every_rule), 0x60u);
    EXPECT_EQ(policy_rule_used_marks([](std::uint32_t table, std::uint32_t mark) {
                  return !(table == 100 && mark == 0x20);
              }),
              0x40u);
}

TEST_F(marks_netns, foreign_nftables_rules)
{
    sh("nft add table ip foreign && nft add chain ip foreign c");
    sh("nft add rule ip foreign c meta mark set 0x800");
    sh("nft add rule ip foreign c ct mark 0x4000 accept");
    sh("nft add rule ip foreign c meta mark 0x2000 comment morva-firewall");
    // inet tables see IPv4 packets too; ip6 tables do not.
    sh("nft add table inet other && nft add chain inet other c && nft add rule inet other c meta mark set 0x1000");
    sh("nft add table ip6 six && nft add chain ip6 six c && nft add rule ip6 six c meta mark set 0x8000");
    EXPECT_EQ(collect_used_marks(every_rule), 0x5800u);

    // nf_tables built into the kernel and no modprobe: the rules are read all the same.
    fw::linux::nftables::utils::set_modprobe_program("/bin/false");
    EXPECT_EQ(collect_used_marks(every_rule), 0x5800u);
}

TEST_F(marks_netns, automatic_marks_avoid_iptables_nft_and_inet_rules)
{
    sh("iptables-nft -t mangle -A PREROUTING -j MARK --set-mark 0x1");
    sh("nft add table inet other && nft add chain inet other c && nft add rule inet other c meta mark set 0x2");
    for (const char* modprobe : {"/bin/true", "/bin/false"}) {
        SCOPED_TRACE(modprobe);
        fw::linux::nftables::utils::set_modprobe_program(modprobe);
        kv::LinuxFirewallConfig config = automatic_config();
        marks_t marks(config);
        marks.configure();
        EXPECT_EQ(marks_of(marks), (marks_array_t{4, 8, 16, 32, 64, 128}));
    }
}

TEST_F(marks_netns, every_source_together)
{
    sh("iptables-legacy -t mangle -A PREROUTING -m mark --mark 0x1 -j ACCEPT");
    sh("ip rule add fwmark 0x4 lookup 100 priority 100");
    sh("nft add table ip foreign && nft add chain ip foreign c && nft add rule ip foreign c meta mark set 0x10");
    kv::LinuxFirewallConfig config = automatic_config();
    config.mutable_client_packets_mark()->set_manual(0x2);
    marks_t marks(config);
    marks.configure();
    EXPECT_EQ(marks_of(marks), (marks_array_t{8, 2, 32, 64, 128, 256}));
}

TEST_F(marks_netns, the_daemons_own_policy_rule_does_not_count)
{
    kv::LinuxFirewallConfig config = automatic_config();
    config.set_var_lib_dir(dir.string());
    sh("ip rule add fwmark 0x2 lookup 150 priority 100");
    marks_t marks(config);
    {
        routing_t routing(config, marks);
        for (int apply = 0; apply < 2; ++apply) {
            marks.configure();
            routing.configure();
            EXPECT_EQ(marks_of(marks), (marks_array_t{1, 4, 8, 16, 32, 64})) << apply;
            EXPECT_EQ(routing.own_rule(), (rule_record_t{100, 1, routing_t::metric}));
        }
    }
    // Stopped: the filter is the default again, so the same pair made by
    // someone else counts.
    sh("ip rule add fwmark 0x1 lookup 100 priority 100");
    marks.configure();
    EXPECT_EQ(marks.local_delivery_mark(), 4u);
}

} // namespace
