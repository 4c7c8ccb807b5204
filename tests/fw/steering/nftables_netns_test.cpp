// The nftables service among its real neighbours (marks, acceptor, diverter) in
// this program's own network namespace: the own table and rules, the
// local-path rules in tables of other software, their removal, and the chain
// checker keeping the local path first while `nft` changes the rule set.
#include "fw/steering/nftables.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <memory>
#include <regex>
#include <sstream>
#include <string>

#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/bad_address_cast.hpp>
#include <boost/system/system_error.hpp>

#include "linux/nftables/transaction.hpp"
#include "linux_firewall_config.pb.h"
#include "tests/common/fork.hpp"
#include "tests/fw/descriptor_limit.hpp"
#include "tests/fw/steering/neighbours.hpp"
#include "tests/fw/netns_fixture.hpp"
#include "tests/fw/nftables_expected.hpp"
#include "tests/fw/nftables_foreign.hpp"

namespace {

using namespace fw::service;
using morva_test::sh;
using namespace morva_test::nft_expected;

// `nft list` output with the numbers that change from run to run taken out.
std::string stable(std::string text)
{
    text = std::regex_replace(text, std::regex(" # handle [0-9]+"), "");
    text = std::regex_replace(text, std::regex("counter packets [0-9]+ bytes [0-9]+"), "counter");
    return text;
}

std::string ruleset() { return stable(sh("nft list ruleset")); }

// Tables of other software: base chains on every hook, a regular chain, one
// table of family inet and one of family ip6.
const std::string host_tables = R"(table ip host {
	chain pre {
		type filter hook prerouting priority filter; policy accept;
		tcp dport 22 accept
	}

	chain inbound {
		type filter hook input priority filter; policy accept;
		tcp dport 22 accept
	}

	chain through {
		type filter hook forward priority filter; policy accept;
		tcp dport 22 accept
	}

	chain outbound {
		type filter hook output priority filter; policy accept;
		tcp dport 22 accept
	}

	chain post {
		type nat hook postrouting priority srcnat; policy accept;
		tcp dport 22 accept
	}

	chain regular {
		tcp dport 22 accept
	}
}
table inet filter {
	chain input {
		type filter hook input priority filter; policy accept;
		tcp dport 22 accept
	}
}
table ip6 six {
	chain input {
		type filter hook input priority filter; policy accept;
		tcp dport 22 accept
	}
}
)";

void load(const std::string& rules) { sh("nft -f - <<'EOF'\n" + rules + "EOF"); }

class nftables_service : public morva_test::netns_test_t {
protected:
    void SetUp() override
    {
        netns_test_t::SetUp();
        if (HasFatalFailure())
            return;
        sh("nft flush ruleset");
        // No modprobe on this machine; the modules are built in.
        fw::linux::nftables::utils::set_modprobe_program("/bin/true");

        morva_test::set_steering_config(config);
        neighbours = std::make_unique<morva_test::neighbours_t>(io, config);
        make_service();
    }

    void TearDown() override
    {
        nftables.reset();
        if (neighbours)
            neighbours->diverter.reset();
        fw::linux::nftables::utils::set_modprobe_program("/sbin/modprobe");
        morva_test::sh_status("nft flush ruleset");
        netns_test_t::TearDown();
    }

    void make_service()
    {
        nftables.reset();
        nftables = std::make_unique<nftables_t>(io, config, *neighbours->marks, *neighbours->acceptor,
                                                *neighbours->diverter);
    }

    void configure() { neighbours->configure(*nftables); }

    // Lets the chain checker handle every notification that has arrived,
    // and those its own changes cause.
    void settle()
    {
        while (io.poll() > 0) {
        }
    }

    bool logged(const std::string& line)
    {
        for (const std::string& l : lines)
            if (l == line)
                return true;
        return false;
    }
    void take_log()
    {
        auto taken = log->taken();
        lines.insert(lines.end(), taken.begin(), taken.end());
    }

    std::vector<std::string> lines;
    boost::asio::io_context io;
    kv::LinuxFirewallConfig config;
    std::unique_ptr<morva_test::neighbours_t> neighbours;
    std::unique_ptr<nftables_t> nftables;
};

// The rules of a table or chain as `nft --debug=netlink` prints them, in
// chain order, without handles and user data (the form of nftables_expected.hpp).
std::vector<rule_t> debug_rules(const std::string& what)
{
    std::vector<rule_t> rules;
    std::istringstream in(sh("nft --debug=netlink list " + what));
    static const std::regex header("^(ip|inet|ip6) (\\S+) (\\S+) [0-9]+( [0-9]+)?$");
    for (std::string line; std::getline(in, line);) {
        std::smatch m;
        if (std::regex_match(line, m, header))
            rules.push_back(m[1].str() + " " + m[2].str() + " " + m[3].str() + "\n");
        else if (line.starts_with("  [") && !rules.empty())
            rules.back() += std::regex_replace(line, std::regex("counter pkts [0-9]+ bytes [0-9]+"),
                                               "counter pkts 0 bytes 0")
                + "\n";
    }
    return rules;
}

std::vector<rule_t> chain_rules(const std::string& family_table_chain)
{
    return debug_rules("chain " + family_table_chain);
}

const morva_test::nft_expected::test_marks_t m;

// The host tables with a local-path rule at the head of every base chain on
// hook prerouting, input, output or postrouting of families ip and inet.
const std::string host_tables_with_local_paths = R"(table ip host {
	chain pre {
		type filter hook prerouting priority filter; policy accept;
		iif "lo" meta mark & 0x00000001 == 0x00000001 accept comment "morva-firewall"
		tcp dport 22 accept
	}

	chain inbound {
		type filter hook input priority filter; policy accept;
		iif "lo" meta mark & 0x00000001 == 0x00000001 accept comment "morva-firewall"
		tcp dport 22 accept
	}

	chain through {
		type filter hook forward priority filter; policy accept;
		tcp dport 22 accept
	}

	chain outbound {
		type filter hook output priority filter; policy accept;
		oif "lo" meta mark & 0x00000001 == 0x00000001 accept comment "morva-firewall"
		tcp dport 22 accept
	}

	chain post {
		type nat hook postrouting priority srcnat; policy accept;
		oif "lo" meta mark & 0x00000001 == 0x00000001 accept comment "morva-firewall"
		tcp dport 22 accept
	}

	chain regular {
		tcp dport 22 accept
	}
}
table inet filter {
	chain input {
		type filter hook input priority filter; policy accept;
		meta nfproto ipv4 iif "lo" meta mark & 0x00000001 == 0x00000001 accept comment "morva-firewall"
		tcp dport 22 accept
	}
}
table ip6 six {
	chain input {
		type filter hook input priority filter; policy accept;
		tcp dport 22 accept
	}
}
)";

const std::string local_path_in = R"(iif "lo" meta mark & 0x00000001 == 0x00000001 accept comment "morva-firewall")";

// The rules of one chain as `nft list` prints them, one line each.
std::vector<std::string> rule_lines(const std::string& family_table_chain)
{
    std::vector<std::string> rules;
    std::istringstream in(stable(sh("nft list chain " + family_table_chain)));
    for (std::string line; std::getline(in, line);)
        if (line.starts_with("\t\t") && !line.starts_with("\t\ttype "))
            rules.push_back(line.substr(2));
    return rules;
}

const std::string own_table = R"(table ip morva-firewall {
	chain prerouting {
		type filter hook prerouting priority mangle; policy accept;
		meta mark & 0x00000006 == 0x00000000 ct mark & 0x00000006 == 0x00000004 meta mark set meta mark | 0x00000001 counter comment "morva-firewall"
		meta l4proto tcp @th,104,8 & 0x12 == 0x2 meta mark & 0x00000006 == 0x00000000 ct mark & 0x00000006 == 0x00000002 socket transparent 1 tproxy to 127.0.0.1:8080 meta mark set meta mark | 0x00000001 counter accept comment "morva-firewall"
		meta l4proto tcp @th,104,8 & 0x12 == 0x2 meta mark & 0x00000006 == 0x00000000 ct mark & 0x00000006 == 0x00000002 ct mark set ct mark & 0xfffffff9 counter comment "morva-firewall"
		meta l4proto tcp meta mark & 0x00000006 != 0x00000006 ct mark & 0x00000006 == 0x00000002 tproxy to 127.0.0.1:8080 meta mark set meta mark | 0x00000001 counter accept comment "morva-firewall"
	}

	chain output {
		type route hook output priority mangle; policy accept;
		meta mark & 0x00000006 == 0x00000002 ct mark set ct mark & 0x00000002 | 0x00000002 counter comment "morva-firewall"
		meta mark & 0x00000006 == 0x00000004 ct mark set ct mark & 0x00000004 | 0x00000004 counter comment "morva-firewall"
		meta mark & 0x00000006 == 0x00000000 ct mark & 0x00000006 != 0x00000000 meta mark set meta mark | 0x00000001 counter comment "morva-firewall"
	}

	chain input {
		type filter hook input priority mangle; policy accept;
	}

	chain forward {
		type filter hook forward priority mangle; policy accept;
	}
}
)";

TEST_F(nftables_service, without_diverts_installs_the_own_table_and_the_local_paths)
{
    load(host_tables);
    configure();
    EXPECT_TRUE(nftables->installed());
    EXPECT_EQ(ruleset(), host_tables_with_local_paths + own_table);

    // Expression by expression, as the kernel holds them.
    EXPECT_EQ(chain_rules("ip morva-firewall prerouting"), prerouting(m));
    EXPECT_EQ(chain_rules("ip morva-firewall output"), (std::vector<rule_t>{n7(m), n6(m), n5(m)}));
    EXPECT_EQ(chain_rules("ip host outbound")[0], local_path("ip host outbound", true));
    EXPECT_EQ(chain_rules("ip host pre")[0], local_path("ip host pre", false));
    EXPECT_EQ(chain_rules("inet filter input")[0], local_path("inet filter input", false));

    take_log();
    EXPECT_TRUE(logged("0 check chain : through"));
    EXPECT_TRUE(logged("0 delete table with error : NETLINK error received: No such file or directory"));
    EXPECT_TRUE(logged("0 nftables rules installed"));
}

TEST_F(nftables_service, a_second_apply_leaves_one_copy_of_every_own_rule)
{
    load(host_tables);
    configure();
    configure();
    EXPECT_EQ(ruleset(), host_tables_with_local_paths + own_table);
}

TEST_F(nftables_service, own_objects_of_an_earlier_run_are_removed_first)
{
    load(host_tables);
    load(R"(table ip morva-firewall {
	chain stale {
		counter
	}
}
add rule ip host inbound tcp dport 23 accept comment "morva-firewall"
add rule inet filter input iif "lo" accept comment "morva-firewall"
)");
    configure();
    EXPECT_EQ(ruleset(), host_tables_with_local_paths + own_table);
}

TEST_F(nftables_service, manual_configuration_removes_the_own_objects_once)
{
    load(host_tables);
    configure();
    config.set_autoconfigure_iptables(false);
    configure();
    EXPECT_EQ(ruleset(), stable(host_tables));
    EXPECT_FALSE(nftables->installed());
    take_log();
    EXPECT_TRUE(logged("0 rules are cleaned"));

    lines.clear();
    configure();
    take_log();
    EXPECT_FALSE(logged("0 start clear rules"));
}

TEST_F(nftables_service, stop_removes_the_own_objects_and_keeps_the_others)
{
    load(host_tables);
    configure();
    nftables.reset();
    EXPECT_EQ(ruleset(), stable(host_tables));
}

TEST_F(nftables_service, without_the_modules_nothing_is_touched)
{
    fw::linux::nftables::utils::set_modprobe_program("/bin/false");
    make_service();
    EXPECT_FALSE(nftables->chain_checker().listening());
    load(host_tables);
    configure();
    EXPECT_FALSE(nftables->installed());
    sh("nft insert rule ip host inbound tcp dport 80 drop");
    settle();
    EXPECT_EQ(ruleset().find("morva-firewall"), std::string::npos);
}

TEST_F(nftables_service, modules_failing_later_leave_the_own_objects_until_the_stop)
{
    load(host_tables);
    configure();
    fw::linux::nftables::utils::set_modprobe_program("/bin/false");
    config.set_autoconfigure_iptables(false);
    configure();
    EXPECT_EQ(ruleset(), host_tables_with_local_paths + own_table);
    EXPECT_TRUE(nftables->installed());

    nftables.reset();
    EXPECT_EQ(ruleset(), stable(host_tables));
}

TEST_F(nftables_service, a_refused_queue_rule_fails_the_configuration_naming_the_rule)
{
    // This kernel has no "queue" expression: the rules of a running divert are refused.
    config.set_output_divert_enable(true);
    config.mutable_output_divert_nfqueue_number()->set_manual(3);
    load(host_tables);
    try {
        configure();
        ADD_FAILURE() << "configured";
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(e.code().value(), ENOENT);
        EXPECT_STREQ(e.what(), "Cannot install nftables rules: the kernel refused rule \"tcp flags & (syn|ack) == "
                               "syn mark & (CP|SP|LD) == 0 counter queue 3\" in chain output: No such file or directory");
    }
    take_log();
    EXPECT_TRUE(logged("0 cannot install nftables"));
    EXPECT_FALSE(logged("0 nftables rules installed"));
    // What was written stays until the stop takes it away.
    EXPECT_TRUE(nftables->installed());
    EXPECT_EQ(chain_rules("ip host inbound")[0], local_path("ip host inbound", false));

    nftables.reset();
    EXPECT_EQ(ruleset(), stable(host_tables));
}

// ---- the chain checker ----

TEST_F(nftables_service, a_rule_inserted_ahead_of_the_local_path_is_followed_by_a_new_one)
{
    load(host_tables);
    configure();
    settle();
    take_log();
    EXPECT_FALSE(logged("0 add fix local path rules to chain : inbound"));

    sh("nft insert rule ip host inbound tcp dport 80 drop");
    settle();
    EXPECT_EQ(rule_lines("ip host inbound"),
              (std::vector<std::string>{local_path_in, "tcp dport 80 drop", "tcp dport 22 accept"}));
    EXPECT_EQ(chain_rules("ip host inbound")[0], local_path("ip host inbound", false));
    take_log();
    int fixes = 0;
    for (const std::string& line : lines)
        fixes += line == "0 add fix local path rules to chain : inbound";
    EXPECT_EQ(fixes, 1);
}

TEST_F(nftables_service, a_rule_appended_after_the_local_path_changes_nothing)
{
    load(host_tables);
    configure();
    settle();
    const std::string before = sh("nft -a list chain ip host inbound");
    sh("nft add rule ip host inbound tcp dport 80 drop");
    settle();
    const std::string after = sh("nft -a list chain ip host inbound");
    // The own rule keeps its handle: it was neither deleted nor added again.
    const std::regex own_rule("comment \"morva-firewall\" # handle [0-9]+");
    std::smatch b, a;
    ASSERT_TRUE(std::regex_search(before, b, own_rule));
    ASSERT_TRUE(std::regex_search(after, a, own_rule));
    EXPECT_EQ(b.str(), a.str());
    EXPECT_EQ(rule_lines("ip host inbound"),
              (std::vector<std::string>{local_path_in, "tcp dport 22 accept", "tcp dport 80 drop"}));
    take_log();
    EXPECT_TRUE(logged("0 receive message (NFT_MSG_NEWRULE) : type=2566, msg_type=6, family=2, chain name = inbound"));
    EXPECT_FALSE(logged("0 add fix local path rules to chain : inbound"));
}

TEST_F(nftables_service, chains_that_get_no_local_path_are_left_as_they_are)
{
    load(host_tables);
    configure();
    settle();
    take_log();
    lines.clear();
    sh("nft insert rule ip morva-firewall input counter");
    sh("nft insert rule ip host regular tcp dport 80 drop");
    sh("nft insert rule ip host through tcp dport 80 drop");
    sh("nft insert rule ip6 six input tcp dport 80 drop");
    settle();
    EXPECT_EQ(rule_lines("ip host regular"), (std::vector<std::string>{"tcp dport 80 drop", "tcp dport 22 accept"}));
    EXPECT_EQ(rule_lines("ip host through"), (std::vector<std::string>{"tcp dport 80 drop", "tcp dport 22 accept"}));
    EXPECT_EQ(rule_lines("ip6 six input"), (std::vector<std::string>{"tcp dport 80 drop", "tcp dport 22 accept"}));
    take_log();
    // The own table's rule is only logged; ip6 is not even that.
    EXPECT_EQ(lines,
              (std::vector<std::string>{
                  "0 receive message (NFT_MSG_NEWRULE) : type=2566, msg_type=6, family=2, chain name = input",
                  "0 receive message (NFT_MSG_NEWRULE) : type=2566, msg_type=6, family=2, chain name = regular",
                  "0 add fix local path rules to chain : regular",
                  "0 receive message (NFT_MSG_NEWRULE) : type=2566, msg_type=6, family=2, chain name = through",
                  "0 add fix local path rules to chain : through"}));
}

TEST_F(nftables_service, a_table_made_after_the_configuration_gets_its_local_path)
{
    configure();
    settle();
    load(R"(table inet late {
	chain out {
		type filter hook output priority filter; policy accept;
		tcp dport 22 accept
	}
}
)");
    settle();
    EXPECT_EQ(chain_rules("inet late out")[0], local_path("inet late out", true));
    EXPECT_EQ(rule_lines("inet late out").size(), 2u);
}

// A table of our name in family inet is another program's: its base chains get
// their local paths, at the configuration and when made later, and keep their
// own rules at the stop.
TEST_F(nftables_service, a_foreign_inet_table_of_our_name_is_treated_as_any_other)
{
    load(R"(table inet morva-firewall {
	chain in {
		type filter hook input priority filter; policy accept;
		tcp dport 22 accept
	}
}
)");
    configure();
    settle();
    EXPECT_EQ(chain_rules("inet morva-firewall in")[0], local_path("inet morva-firewall in", false));
    load(R"(table inet morva-firewall {
	chain out {
		type filter hook output priority filter; policy accept;
		tcp dport 22 accept
	}
}
)");
    settle();
    EXPECT_EQ(chain_rules("inet morva-firewall out")[0], local_path("inet morva-firewall out", true));

    nftables.reset();
    for (const char* chain : {"inet morva-firewall in", "inet morva-firewall out"})
        EXPECT_EQ(rule_lines(chain), std::vector<std::string>{"tcp dport 22 accept"}) << chain;
}

TEST_F(nftables_service, the_checker_waits_for_the_first_install)
{
    EXPECT_TRUE(nftables->chain_checker().listening());
    load(host_tables);
    sh("nft insert rule ip host inbound tcp dport 80 drop");
    settle();
    EXPECT_EQ(ruleset().find("morva-firewall"), std::string::npos);
}

TEST_F(nftables_service, after_a_switch_to_manual_configuration_the_checker_adds_nothing)
{
    load(host_tables);
    configure();
    config.set_autoconfigure_iptables(false);
    configure();
    settle();
    sh("nft insert rule ip host inbound tcp dport 80 drop");
    settle();
    EXPECT_EQ(ruleset().find("morva-firewall"), std::string::npos);
    nftables.reset();
    EXPECT_EQ(rule_lines("ip host inbound"), (std::vector<std::string>{"tcp dport 80 drop", "tcp dport 22 accept"}));
}

TEST_F(nftables_service, a_chain_gone_before_the_checker_looks_is_passed_over)
{
    load(host_tables);
    configure();
    settle();
    sh("nft insert rule ip host inbound tcp dport 80 drop");
    sh("nft delete table ip host");
    EXPECT_NO_THROW(settle());
    take_log();
    bool passed_over = false;
    for (const std::string& line : lines)
        passed_over |= line.starts_with("0 chain check: chain inbound is gone: ");
    EXPECT_TRUE(passed_over);
}

TEST_F(nftables_service, lost_notifications_are_followed_by_a_check_of_every_chain)
{
    load(host_tables);
    configure();
    settle();
    // One transaction of far more rules than the notification socket holds,
    // one of them ahead of a local path.
    std::string rules = "insert rule ip host inbound tcp dport 80 drop\n"
                        "table ip burst {\n\tchain c {\n\t\ttype filter hook input priority filter; policy accept;\n";
    for (int i = 0; i < 3000; ++i)
        rules += "\t\tcounter\n";
    rules += "\t}\n}\n";
    load(rules);
    EXPECT_NO_THROW(settle());
    take_log();
    EXPECT_TRUE(logged("3 chain check: nf_tables notifications were lost (No buffer space available); checking "
                       "every chain again"));
    EXPECT_EQ(rule_lines("ip host inbound"),
              (std::vector<std::string>{local_path_in, "tcp dport 80 drop", "tcp dport 22 accept"}));
    EXPECT_EQ(rule_lines("ip burst c").front(), local_path_in);
    EXPECT_EQ(rule_lines("ip burst c").size(), 3001u);

    // It listens again.
    ASSERT_TRUE(nftables->chain_checker().listening());
    sh("nft insert rule ip host pre tcp dport 80 drop");
    settle();
    EXPECT_EQ(chain_rules("ip host pre")[0], local_path("ip host pre", false));
}

// ---- other software's objects the nft tool does not make ----

TEST_F(nftables_service, a_table_another_program_owns_is_skipped_with_a_warning)
{
    load(host_tables);
    morva_test::owner_table_t owned("owned");
    EXPECT_NO_THROW(configure());
    EXPECT_TRUE(nftables->installed());
    EXPECT_EQ(rule_lines("ip owned inbound"), std::vector<std::string>{"counter"});
    EXPECT_EQ(chain_rules("ip host inbound")[0], local_path("ip host inbound", false));
    EXPECT_EQ(chain_rules("inet filter input")[0], local_path("inet filter input", false));
    EXPECT_EQ(chain_rules("ip morva-firewall prerouting"), prerouting(m));
    take_log();
    EXPECT_TRUE(logged("3 Cannot add the local-path rule to chain ip owned inbound, the chain is skipped: NETLINK "
                       "error received: Operation not permitted"));

    // The owner adds a rule: the checker cannot put the local path there either, and goes on.
    settle();
    owned.add_rule();
    EXPECT_NO_THROW(settle());
    EXPECT_EQ(rule_lines("ip owned inbound"), (std::vector<std::string>{"counter", "counter"}));
    sh("nft insert rule ip host inbound tcp dport 80 drop");
    settle();
    EXPECT_EQ(rule_lines("ip host inbound").front(), local_path_in);
}

TEST_F(nftables_service, rules_with_more_user_data_than_a_comment_are_read)
{
    load(host_tables);
    configure();
    settle();
    // Another program's rule ahead of the local path: followed.
    morva_test::add_rule_with_two_tlvs(fw::linux::nftables::family_ip, "host", "inbound", "foreign");
    // A rule with the own comment and more: the daemon's, removed at the stop.
    morva_test::add_rule_with_two_tlvs(fw::linux::nftables::family_inet, "filter", "input", "morva-firewall");
    EXPECT_NO_THROW(settle());
    const auto inbound = rule_lines("ip host inbound");
    ASSERT_EQ(inbound.size(), 3u);
    EXPECT_EQ(inbound[0], local_path_in);
    EXPECT_EQ(inbound[1], "counter comment \"foreign\"");

    nftables.reset();
    EXPECT_EQ(ruleset().find("morva-firewall"), std::string::npos) << ruleset();
    EXPECT_EQ(rule_lines("ip host inbound"), (std::vector<std::string>{"counter comment \"foreign\"", "tcp dport 22 accept"}));
}

TEST_F(nftables_service, the_own_table_deleted_by_another_program_is_installed_again)
{
    load(host_tables);
    configure();
    settle();
    // Reloaded with a table whose base chain holds no rule: no rule notification names it.
    const std::string quiet = "table ip quiet {\n\tchain in {\n\t\ttype filter hook input priority filter; policy drop;\n";
    load("flush ruleset\n" + host_tables + quiet + "\t}\n}\n");
    settle();
    EXPECT_EQ(ruleset(), host_tables_with_local_paths + quiet + "\t\t" + local_path_in + "\n\t}\n}\n" + own_table);
    take_log();
    EXPECT_TRUE(logged("3 nftables table morva-firewall was deleted by another program; installing it again"));

    // The configuration's own replacement of the table is not taken for a deletion.
    lines.clear();
    configure();
    settle();
    take_log();
    EXPECT_FALSE(logged("3 nftables table morva-firewall was deleted by another program; installing it again"));
    EXPECT_EQ(rule_lines("ip quiet in"), std::vector<std::string>{local_path_in});
}

TEST_F(nftables_service, the_stop_removes_everything_at_the_descriptor_limit)
{
    load(host_tables);
    configure();
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const bool limited = morva_test::exhaust_descriptors();
        nftables.reset();
        ::_exit(limited ? 0 : 2);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the limit did not hold";
    EXPECT_EQ(ruleset(), stable(host_tables));
}

// ---- what a killed run left ----

// The next run's mode and backend.
struct leftover_case_t {
    const char* name;
    const char* modprobe; // the nftables backend where it succeeds
    bool autoconfigure_iptables;
};

void PrintTo(const leftover_case_t& c, std::ostream* os) { *os << c.name; }

class nftables_leftovers : public nftables_service, public testing::WithParamInterface<leftover_case_t> {};

// A run killed on the nftables backend left its table and its local paths. The
// next run, whatever its mode and backend, removes them at its first
// configuration, and only them: a rule with a comment that merely begins like
// ours and tables of our name in families ip6 and inet are other software's.
TEST_P(nftables_leftovers, go_with_the_first_configuration_and_nothing_else_does)
{
    load(host_tables);
    load(R"(add rule ip host inbound tcp dport 23 accept comment "morva-firewall-admin"
table ip6 morva-firewall {
	chain c {
		counter
	}
}
table inet morva-firewall {
	chain c {
		counter
	}
}
)");
    const std::string others = ruleset();
    const auto killed = morva_test::run_in_child([this] {
        configure();
        ::raise(SIGKILL);
    });
    ASSERT_EQ(killed.status, 128 + SIGKILL) << killed.err;
    ASSERT_NE(ruleset(), others) << "the killed run left nothing";
    ASSERT_EQ(chain_rules("ip host inbound")[0], local_path("ip host inbound", false));

    fw::linux::nftables::utils::set_modprobe_program(GetParam().modprobe);
    config.set_autoconfigure_iptables(GetParam().autoconfigure_iptables);
    make_service();
    configure();
    EXPECT_FALSE(nftables->installed());
    EXPECT_EQ(ruleset(), others);
    take_log();
    EXPECT_TRUE(logged("1 Removing the nftables rules an earlier run left"));

    // Once: a later configuration finds nothing to remove.
    lines.clear();
    configure();
    take_log();
    EXPECT_FALSE(logged("1 Removing the nftables rules an earlier run left"));
    EXPECT_FALSE(logged("0 start clear rules"));

    nftables.reset();
    EXPECT_EQ(ruleset(), others);
}

// One own rule the kernel will not let us delete (its table's owner refuses
// every change from another socket) costs that rule alone: the other
// leftovers of its family go.
TEST_F(nftables_service, a_leftover_the_kernel_keeps_does_not_keep_the_others)
{
    load(host_tables);
    morva_test::owner_table_t owned("owned");
    owned.add_rule("morva-firewall");
    load(R"(table ip morva-firewall {
	chain stale {
		counter
	}
}
add rule ip host inbound iif "lo" accept comment "morva-firewall"
add rule ip host outbound oif "lo" accept comment "morva-firewall"
add rule inet filter input iif "lo" accept comment "morva-firewall"
)");
    config.set_autoconfigure_iptables(false);
    make_service();
    configure();
    take_log();
    EXPECT_TRUE(logged("1 Removing the nftables rules an earlier run left"));
    EXPECT_TRUE(logged("3 Cannot remove the own rule from chain ip owned inbound: NETLINK error received: "
                       "Operation not permitted"));
    for (const char* chain : {"ip host inbound", "ip host outbound", "inet filter input"})
        EXPECT_EQ(rule_lines(chain), std::vector<std::string>{"tcp dport 22 accept"}) << chain;
    EXPECT_NE(morva_test::sh_status("nft list table ip morva-firewall"), 0);
    EXPECT_EQ(rule_lines("ip owned inbound"),
              (std::vector<std::string>{"counter comment \"morva-firewall\"", "counter"}));
}

INSTANTIATE_TEST_SUITE_P(
    nftables, nftables_leftovers,
    testing::Values(leftover_case_t{"manual_configuration", "/bin/true", false},
                    leftover_case_t{"iptables_backend", "/bin/false", true},
                    leftover_case_t{"no_modprobe_manual_configuration", "/nonexistent/modprobe", false}),
    [](const testing::TestParamInfo<leftover_case_t>& info) { return std::string(info.param.name); });

} // namespace
