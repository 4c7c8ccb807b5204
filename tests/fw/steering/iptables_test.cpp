// The own iptables rules for a table of configurations, and their installation
// and removal against stand-in tables: replacement beside foreign rules, the
// module load of a missing table, the NFQUEUE fallback, the divert chain, the
// lock around every change and the xtables lock file itself.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <thread>

#include <boost/system/system_error.hpp>

#include "fw/steering/iptables_installer.hpp"
#include "fw/steering/iptables_rules.hpp"
#include "fw/steering/xtables_lock.hpp"
#include "linux/iptables/extensions.hpp"
#include "linux/nftables/transaction.hpp"
#include "tests/common/recording_log.hpp"
#include "tests/common/temp_dir.hpp"
#include "tests/fw/steering/iptables_expected.hpp"
#include "tests/fw/steering/iptables_fakes.hpp"
#include "tests/fw/steering/iptables_save.hpp"
#include "tests/linux/iptables/print.hpp"

namespace {

using namespace fw::service;
using namespace fw::linux::iptables;
using morva_test::save_lines;
using namespace morva_test::ipt_expected;
using lines_t = std::vector<std::string>;

constexpr int prerouting = 0, input = 1, forward = 2, output = 3, postrouting = 4;

// The extensions at fixed revisions, as a kernel of that kind would have them.
class fixed_extensions_t : public ipt_extensions_t {
public:
    std::uint8_t nfqueue_revision = 3;
    std::uint8_t tproxy_revision = 1;

    xt_blob_t tproxy_target(std::uint32_t address, std::uint16_t port, std::uint32_t value,
                            std::uint32_t mask) const override
    {
        return xt::tproxy_target(tproxy_revision, address, port, value, mask);
    }
    xt_blob_t nfqueue_target(std::uint16_t queue, bool bypass) const override
    {
        return xt::nfqueue_target(nfqueue_revision, queue, bypass);
    }
    xt_blob_t mark_target(std::uint32_t mark, std::uint32_t mask) const override
    {
        return xt::mark_target(2, mark, mask);
    }
    xt_blob_t connmark_target(std::uint8_t mode, std::uint32_t ctmark, std::uint32_t nfmask,
                              std::uint32_t ctmask) const override
    {
        return xt::connmark_target(1, mode, ctmark, nfmask, ctmask);
    }
    xt_blob_t mark_match(std::uint32_t mark, std::uint32_t mask, bool invert) const override
    {
        return xt::mark_match(1, mark, mask, invert);
    }
    xt_blob_t connmark_match(std::uint32_t mark, std::uint32_t mask, bool invert) const override
    {
        return xt::connmark_match(1, mark, mask, invert);
    }
    xt_blob_t transparent_socket_match() const override { return xt::transparent_socket_match(3); }
};

boost::system::system_error kernel_error(int error, const std::string& what)
{
    return boost::system::system_error(error, boost::system::system_category(), what);
}

// Tables held in memory; reads and writes are recorded and can be made to fail.
class fake_tables_t : public ipt_tables_t {
public:
    std::map<std::string, ipt_table_t> tables;
    // Errnos handed out, one per call, before the call behaves normally.
    std::map<std::string, std::vector<int>> read_errors, write_errors;
    lines_t calls;
    std::function<void()> on_call;

    ipt_table_t read(const std::string& name) override
    {
        record("read " + name);
        fail(read_errors[name], "Cannot get IP table info");
        return tables[name];
    }
    void write(const std::string& name, const ipt_table_t& table) override
    {
        record("write " + name);
        fail(write_errors[name], "Cannot set IP table entries");
        tables[name] = table;
    }
    bool loaded(const std::string& name) override { return tables.contains(name); }

private:
    void record(const std::string& call)
    {
        calls.push_back(call);
        if (on_call)
            on_call();
    }
    static void fail(std::vector<int>& errors, const std::string& what)
    {
        if (errors.empty())
            return;
        const int error = errors.front();
        errors.erase(errors.begin());
        throw kernel_error(error, what);
    }
};

// A foreign rule: -A <chain> -s 10.1.2.0/24 -p tcp, with counters.
ipt_rule_t host_rule(std::uint64_t packets = 5)
{
    ipt_rule_t rule;
    rule.set_src(0x0A010200);
    rule.set_smsk(0xFFFFFF00);
    rule.set_proto(6);
    rule.target = ipt_verdict_t::ACCEPT;
    rule.counters = {packets, packets * 60};
    return rule;
}
const std::string host_line = " -s 10.1.2.0/24 -p tcp -j ACCEPT";

// Tests log at every level into a recording log.
class logged_test_t : public morva_test::temp_dir_test_t {
protected:
    void SetUp() override
    {
        temp_dir_test_t::SetUp();
        cf_log_install(log);
        cf_log_threshold = 0;
    }

    // The lines logged at a level, in order.
    lines_t logged(int level)
    {
        lines_t out;
        for (const std::string& line : log->taken())
            if (line.starts_with(std::to_string(level) + " "))
                out.push_back(line.substr(2));
        return out;
    }

    std::shared_ptr<morva_test::recording_log_t> log = std::make_shared<morva_test::recording_log_t>();
};

// ---- the rule set ------------------------------------------------------------

struct mangle_case_t {
    const char* name;
    steering_params_t params;
    lines_t lines;
};

void PrintTo(const mangle_case_t& c, std::ostream* os) { *os << c.name; }

class mangle_rules : public morva_test::temp_dir_test_t, public testing::WithParamInterface<mangle_case_t> {};

TEST_P(mangle_rules, are_appended_after_the_host_rules)
{
    fake_tables_t tables;
    ipt_table_t& mangle = tables.tables["mangle"];
    mangle.builtin_chains[output].rules = {host_rule()};
    fixed_extensions_t extensions;
    iptables_installer_t installer(tables, extensions);
    installer.install(GetParam().params, false, (dir / "xtables.lock").string());

    lines_t expected = GetParam().lines;
    // The host's rule stays first in OUTPUT.
    const auto first_output = std::find_if(expected.begin(), expected.end(),
                                           [](const std::string& line) { return line.starts_with("-A OUTPUT"); });
    expected.insert(first_output, "-A OUTPUT" + host_line);
    EXPECT_EQ(save_lines(tables.tables["mangle"]), expected);
    EXPECT_EQ(tables.tables["mangle"].builtin_chains[output].rules.front(), host_rule());
}

INSTANTIATE_TEST_SUITE_P(
    configurations, mangle_rules,
    testing::Values(
        mangle_case_t{"no_divert", params_with({}), {m1, m2_answered, m2_unanswered, m2, m4, m5, m6}},
        mangle_case_t{"output_and_forward",
                      params_with({queued_output, queued_forward}),
                      {m1, m2_answered, m2_unanswered, m2, m3("FORWARD", 5), m3("OUTPUT", 3), m4, m5, m6}},
        mangle_case_t{"security_option_three_diverts",
                      params_with({queued_output, queued_input, queued_forward}, true),
                      {m1, m2_answered, m2_unanswered, m2, m3("INPUT", 4), m8(0x8, 3), m8(0x10, 4), m8(0x20, 5),
                       m3("FORWARD", 5), m3("OUTPUT", 3), m4, m5, m6, m7(0x8), m7(0x10), m7(0x20)}},
        mangle_case_t{"security_option_skips_a_divert_without_mark",
                      params_with({{3, 3, 0}, queued_input}, true),
                      {m1, m2_answered, m2_unanswered, m2, m3("INPUT", 4), m8(0x10, 4), m3("OUTPUT", 3), m4, m5, m6,
                       m7(0x10)}},
        mangle_case_t{"security_option_without_diverts", params_with({}, true),
                      {m1, m2_answered, m2_unanswered, m2, m4, m5, m6}}),
    [](const auto& info) { return std::string(info.param.name); });

class installer_test : public logged_test_t {
protected:
    std::string lock_path() const { return (dir / "xtables.lock").string(); }

    fake_tables_t tables;
    fixed_extensions_t extensions;
    iptables_installer_t installer{tables, extensions};
};

TEST_F(installer_test, the_nat_rule_goes_first_in_postrouting)
{
    tables.tables["nat"].builtin_chains[postrouting].rules = {host_rule(), host_rule(2)};
    installer.install(params_with({queued_output}), false, lock_path());
    const auto& rules = tables.tables["nat"].builtin_chains[postrouting].rules;
    ASSERT_EQ(rules.size(), 3u);
    EXPECT_EQ(save_lines(tables.tables["nat"]).front(), n1);
    EXPECT_EQ(rules[1], host_rule());
    EXPECT_EQ(rules[2], host_rule(2));
    EXPECT_EQ(tables.calls, (lines_t{"read mangle", "write mangle", "read nat", "write nat"}));
}

TEST_F(installer_test, with_nf_tables_only_nat_is_touched)
{
    installer.install(params_with({queued_output}), true, lock_path());
    EXPECT_EQ(tables.calls, (lines_t{"read nat", "write nat"}));
    EXPECT_EQ(save_lines(tables.tables["nat"]), lines_t{n1});
    EXPECT_TRUE(installer.installed());
}

TEST_F(installer_test, a_new_configuration_replaces_only_the_own_rules)
{
    ipt_table_t& mangle = tables.tables["mangle"];
    mangle.builtin_chains[prerouting].rules = {host_rule(1)};
    mangle.builtin_chains[output].rules = {host_rule(2)};
    mangle.builtin_chains[output].counters = {9, 900};
    // Rules of user chains are never ours, whatever their comment says.
    ipt_rule_t commented = make_own_rule();
    commented.target = ipt_verdict_t::RETURN;
    mangle.user_chains["host-chain"].rules = {commented};
    ipt_rule_t to_host_chain = host_rule(3);
    to_host_chain.target = ipt_jump_t{"host-chain"};
    mangle.builtin_chains[forward].rules = {to_host_chain};
    const ipt_table_t host_only = mangle;

    installer.install(params_with({queued_output, queued_forward}), false, lock_path());
    installer.install(params_with({queued_output, queued_forward}), false, lock_path());
    const lines_t twice = save_lines(tables.tables["mangle"]);
    EXPECT_EQ(std::count(twice.begin(), twice.end(), m4), 1);

    installer.install(params_with({{3, 7, 0x8}}), false, lock_path());
    ipt_table_t after = tables.tables["mangle"];
    EXPECT_EQ(save_lines(after), (lines_t{":host-chain -", "-A PREROUTING" + host_line, m1, m2_answered, m2_unanswered,
                                          m2, "-A FORWARD -s 10.1.2.0/24 -p tcp -j host-chain", "-A OUTPUT" + host_line,
                                          m3("OUTPUT", 7), m4, m5, m6,
                                          "-A host-chain" + own + " -j RETURN"}));
    remove_own_rules(after);
    EXPECT_EQ(after, host_only);
    EXPECT_EQ(save_lines(tables.tables["nat"]), lines_t{n1});
}

TEST_F(installer_test, a_kernel_without_queue_bypass_gets_queues_without_it)
{
    extensions.nfqueue_revision = 1;
    installer.install(params_with({queued_output, queued_input}, true), false, lock_path());
    const lines_t saved = save_lines(tables.tables["mangle"]);
    for (const std::string& rule : {m3("INPUT", 4, ""), m3("OUTPUT", 3, ""), m8(0x8, 3, ""), m8(0x10, 4, "")})
        EXPECT_EQ(std::count(saved.begin(), saved.end(), rule), 1) << rule;
    const std::string line = "NFQUEUE target: Cannot set --queue-bypass option: kernel is too old";
    EXPECT_EQ(logged(0), (lines_t{line, line, line, line}));
}

TEST_F(installer_test, a_queue_target_the_kernel_lacks_fails_the_installation)
{
    extensions.nfqueue_revision = 9; // no layout: neither build succeeds
    EXPECT_THROW(installer.install(params_with({queued_output}), false, lock_path()), std::invalid_argument);
    EXPECT_EQ(tables.calls, lines_t{"read mangle"});
}

// ---- missing tables ----------------------------------------------------------

class missing_table : public installer_test {
protected:
    void SetUp() override
    {
        installer_test::SetUp();
        modprobe.emplace(dir);
    }
    void TearDown() override
    {
        modprobe.reset();
        installer_test::TearDown();
    }

    std::string modprobe_calls() { return modprobe->calls(); }
    void modprobe_fails() { modprobe->set_failing(true); }

    std::optional<morva_test::fake_modprobe_t> modprobe;
};

TEST_F(missing_table, is_loaded_and_installed_again)
{
    struct case_t {
        std::string table;
        int error;
    };
    for (const case_t& c : {case_t{"nat", ENOENT}, case_t{"mangle", ENOPROTOOPT}}) {
        SCOPED_TRACE(c.table);
        tables = {};
        tables.read_errors[c.table] = {c.error};
        installer.install(params_with({queued_output}), false, lock_path());
        EXPECT_EQ(modprobe_calls(), "iptable_" + c.table + "\n");
        EXPECT_EQ(tables.calls.size(), 5u); // one read more
        EXPECT_EQ(save_lines(tables.tables["nat"]), lines_t{n1});
        EXPECT_EQ(save_lines(tables.tables["mangle"]).size(), 8u);
        const std::string text = kernel_error(c.error, "Cannot get IP table info").what();
        EXPECT_EQ(logged(0), (lines_t{"Cannot install iptables " + c.table + " rules: " + text + "; requesting iptable_"
                                          + c.table + " kernel module",
                                      "Kernel module iptable_" + c.table + " loaded"}));
    }
}

TEST_F(missing_table, nat_is_left_out_when_its_module_cannot_be_loaded)
{
    modprobe_fails();
    tables.read_errors["nat"] = {ENOENT};
    installer.install(params_with({queued_output}), false, lock_path());
    EXPECT_EQ(tables.calls, (lines_t{"read mangle", "write mangle", "read nat"}));
    EXPECT_EQ(logged(3), lines_t{"Unable to load iptable_nat kernel module: " + modprobe->path()
                                 + " exited with status 256: modprobe: FATAL: Module iptable_nat not found"
                                 + "; iptables nat rules won't be installed"});
    EXPECT_TRUE(installer.installed());
}

TEST_F(missing_table, mangle_fails_when_its_module_cannot_be_loaded)
{
    modprobe_fails();
    tables.read_errors["mangle"] = {ENOENT};
    try {
        installer.install(params_with({queued_output}), false, lock_path());
        FAIL() << "installed";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("Module iptable_mangle not found"), std::string::npos) << e.what();
    }
    EXPECT_EQ(tables.calls, lines_t{"read mangle"});
    EXPECT_FALSE(installer.installed());
}

TEST_F(missing_table, other_errors_and_a_second_failure_go_to_the_caller)
{
    struct case_t {
        const char* name;
        std::vector<int> errors;
        const char* modprobe;
    };
    for (const case_t& c : {case_t{"permission", {EPERM}, ""}, case_t{"still_missing", {ENOENT, ENOENT}, "iptable_nat\n"}}) {
        SCOPED_TRACE(c.name);
        tables = {};
        tables.read_errors["nat"] = c.errors;
        try {
            installer.install(params_with({}), true, lock_path());
            FAIL() << "installed";
        } catch (const boost::system::system_error& e) {
            EXPECT_EQ(e.code().value(), c.errors.back());
        }
        EXPECT_EQ(modprobe_calls(), c.modprobe);
    }
}

// ---- the installed flag ------------------------------------------------------

TEST_F(installer_test, a_table_written_before_a_failure_counts_as_installed)
{
    tables.read_errors["mangle"] = {EPERM};
    EXPECT_THROW(installer.install(params_with({}), false, lock_path()), boost::system::system_error);
    EXPECT_FALSE(installer.installed());

    tables.write_errors["nat"] = {EPERM};
    EXPECT_THROW(installer.install(params_with({}), false, lock_path()), boost::system::system_error);
    EXPECT_TRUE(installer.installed()) << "the new mangle rules must go at stop";

    installer.uninstall(lock_path());
    EXPECT_FALSE(installer.installed());
    EXPECT_TRUE(save_lines(tables.tables["mangle"]).empty());
}

// ---- the divert chain --------------------------------------------------------

TEST(remove_own_rules, removes_the_divert_chain_unless_a_rule_jumps_to_it)
{
    struct case_t {
        const char* name;
        int hook;           // a built-in chain that jumps to it, or -1
        const char* chain;  // a user chain that jumps to it, or null
        const char* error;  // the chain named in the error, or null
    };
    const std::string divert(divert_user_chain);
    for (const case_t& c : {case_t{"unreferenced", -1, nullptr, nullptr},
                            case_t{"from_forward", forward, nullptr, "FORWARD"},
                            case_t{"from_postrouting", postrouting, nullptr, "POSTROUTING"},
                            case_t{"from_a_host_chain", -1, "host-chain", "host-chain"},
                            case_t{"from_itself", -1, "morva-firewall-divert", "morva-firewall-divert"}}) {
        SCOPED_TRACE(c.name);
        ipt_table_t table;
        table.builtin_chains[output].rules = {host_rule(), make_own_rule()};
        table.user_chains[divert].rules = {host_rule()};
        table.user_chains["host-chain"].rules = {host_rule()};
        ipt_rule_t jump;
        jump.target = ipt_jump_t{divert};
        if (c.hook >= 0)
            table.builtin_chains[c.hook].rules.push_back(jump);
        if (c.chain)
            table.user_chains[c.chain].rules.push_back(jump);
        if (!c.error) {
            remove_own_rules(table);
            EXPECT_FALSE(table.user_chains.contains(divert));
            EXPECT_EQ(table.user_chains.size(), 1u);
            EXPECT_EQ(table.builtin_chains[output].rules, std::vector<ipt_rule_t>{host_rule()});
            continue;
        }
        try {
            remove_own_rules(table);
            FAIL() << "removed";
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), "chain morva-firewall-divert is referenced from chain " + std::string(c.error)
                                                 + " (this might be caused by improper iptables manual configuration)");
        }
    }
}

// ---- removal -----------------------------------------------------------------

TEST_F(installer_test, uninstall_removes_the_own_rules_of_both_tables)
{
    tables.tables["mangle"].builtin_chains[output].rules = {host_rule()};
    tables.tables["nat"].builtin_chains[postrouting].rules = {host_rule()};
    installer.install(params_with({queued_output, queued_input}, true), false, lock_path());
    tables.tables["mangle"].user_chains[std::string(divert_user_chain)].rules = {host_rule()};
    tables.calls.clear();

    installer.uninstall(lock_path());
    EXPECT_EQ(tables.calls, (lines_t{"read nat", "write nat", "read mangle", "write mangle"}));
    EXPECT_EQ(save_lines(tables.tables["mangle"]), lines_t{"-A OUTPUT" + host_line});
    EXPECT_EQ(save_lines(tables.tables["nat"]), lines_t{"-A POSTROUTING" + host_line});
    EXPECT_FALSE(installer.installed());
    EXPECT_TRUE(logged(3).empty());
}

TEST_F(installer_test, uninstall_goes_on_after_a_failing_table)
{
    installer.install(params_with({queued_output}), false, lock_path());
    // nat cannot be read; mangle still has a host rule jumping to the divert chain.
    tables.read_errors["nat"] = {EPERM};
    ipt_rule_t jump;
    jump.target = ipt_jump_t{std::string(divert_user_chain)};
    tables.tables["mangle"].builtin_chains[input].rules.push_back(jump);
    tables.tables["mangle"].user_chains[std::string(divert_user_chain)];
    const ipt_table_t mangle = tables.tables["mangle"];
    tables.calls.clear();
    log->taken();

    installer.uninstall(lock_path());
    EXPECT_EQ(tables.calls, (lines_t{"read nat", "read mangle"}));
    EXPECT_EQ(tables.tables["mangle"], mangle) << "a table that cannot be cleaned keeps its rules";
    EXPECT_EQ(logged(3),
              (lines_t{"Cannot uninstall iptables rules from table nat: "
                           + std::string(kernel_error(EPERM, "Cannot get IP table info").what()),
                       "Cannot uninstall iptables rules from table mangle: chain morva-firewall-divert is referenced "
                       "from chain INPUT (this might be caused by improper iptables manual configuration)"}));
    EXPECT_FALSE(installer.installed());
}

TEST_F(installer_test, uninstall_without_the_lock_reports_and_touches_nothing)
{
    const std::string missing = (dir / "no-such-dir" / "xtables.lock").string();
    installer.uninstall(missing);
    EXPECT_TRUE(tables.calls.empty());
    EXPECT_EQ(logged(3), lines_t{"Cannot uninstall iptables rules: Cannot open file " + missing
                                 + ": No such file or directory"});
}

TEST_F(installer_test, every_table_access_happens_under_the_lock)
{
    int checked = 0;
    tables.on_call = [&] {
        fw::util::scoped_fd_t other(::open(lock_path().c_str(), O_RDONLY | O_CLOEXEC));
        ASSERT_TRUE(other);
        EXPECT_EQ(::flock(other.get(), LOCK_EX | LOCK_NB), -1);
        EXPECT_EQ(errno, EWOULDBLOCK);
        ++checked;
    };
    installer.install(params_with({queued_output}), false, lock_path());
    installer.uninstall(lock_path());
    EXPECT_EQ(checked, 8);

    fw::util::scoped_fd_t after(::open(lock_path().c_str(), O_RDONLY | O_CLOEXEC));
    EXPECT_EQ(::flock(after.get(), LOCK_EX | LOCK_NB), 0) << "released after each change";
}

// ---- the lock file -----------------------------------------------------------

class xtables_lock_test : public logged_test_t {};

TEST_F(xtables_lock_test, a_configured_path_is_created_and_the_only_one_tried)
{
    const std::string path = (dir / "own.lock").string();
    {
        xtables_lock_t lock(path, {(dir / "first").string(), (dir / "second").string()});
        EXPECT_EQ(lock.path(), path);
        struct stat st {};
        ASSERT_EQ(::stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
    }
    EXPECT_FALSE(boost::filesystem::exists(dir / "first"));

    const std::string missing = (dir / "none" / "own.lock").string();
    try {
        xtables_lock_t lock(missing, {(dir / "first").string(), (dir / "second").string()});
        FAIL() << "locked";
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(e.code().value(), ENOENT);
        EXPECT_EQ(std::string(e.what()), "Cannot open file " + missing + ": No such file or directory");
    }
    EXPECT_FALSE(boost::filesystem::exists(dir / "first"));
}

TEST_F(xtables_lock_test, the_second_default_is_taken_when_the_first_fails)
{
    const std::string first = (dir / "run" / "xtables.lock").string();
    const std::string second = (dir / "xtables.lock").string();
    {
        xtables_lock_t lock("", {first, second});
        EXPECT_EQ(lock.path(), second);
    }
    EXPECT_EQ(logged(0), lines_t{"Cannot lock " + first + ": Cannot open file " + first + ": No such file or directory"});

    boost::filesystem::create_directories(dir / "run");
    xtables_lock_t lock("", {first, second});
    EXPECT_EQ(lock.path(), first);
    EXPECT_TRUE(logged(0).empty());
}

TEST_F(xtables_lock_test, only_the_second_default_failure_is_reported)
{
    const std::string first = (dir / "a" / "xtables.lock").string();
    const std::string second = (dir / "b" / "xtables.lock").string();
    try {
        xtables_lock_t lock("", {first, second});
        FAIL() << "locked";
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(std::string(e.what()), "Cannot open file " + second + ": No such file or directory");
    }
}

TEST_F(xtables_lock_test, waits_while_another_holder_has_the_file)
{
    const std::string path = (dir / "xtables.lock").string();
    auto holder = std::make_unique<fw::util::scoped_fd_t>(lock_file(path));
    std::atomic<bool> locked{false};
    std::thread waiter([&] {
        xtables_lock_t lock(path);
        locked = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(locked) << "taken while held elsewhere";
    holder.reset();
    waiter.join();
    EXPECT_TRUE(locked);
}

} // namespace
