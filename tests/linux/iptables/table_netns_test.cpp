// Tables of the real kernel, in this program's own network namespace, with the
// host's legacy iptables tools as the witness: fixtures restored by them read
// back into the model exactly, and the model written back saves as the same
// lines; counters, revisions, own rules, concurrent changes.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include <boost/system/system_error.hpp>

#include "linux/iptables/extensions.hpp"
#include "linux/iptables/sockopt.hpp"
#include "linux/iptables/table.hpp"
#include "tests/linux/iptables/print.hpp"
#include "tests/support/netns.hpp"
#include "tests/support/witness.hpp"

namespace {

using namespace fw::linux::iptables;
using morva_test::sh;

constexpr int prerouting = 0, input = 1, forward = 2, output = 3, postrouting = 4;

// Marks: local delivery 0x1, client packets 0x2, server packets 0x4, a divert 0x8.
const std::string mangle_chains = R"(*mangle
:PREROUTING ACCEPT [3:300]
:INPUT ACCEPT [0:0]
:FORWARD DROP [7:700]
:OUTPUT ACCEPT [0:0]
:POSTROUTING ACCEPT [0:0]
:host-chain - [0:0]
:host-empty - [0:0]
)";

const std::string mangle_fixture = mangle_chains + R"([1:60] -A PREROUTING -m comment --comment morva-firewall -m mark --mark 0x0/0x6 -m connmark --mark 0x4/0x6 -j MARK --set-xmark 0x1/0x1
[2:120] -A PREROUTING -p tcp -m comment --comment morva-firewall -m mark ! --mark 0x6/0x6 -m connmark --mark 0x2/0x6 -j TPROXY --on-port 8080 --on-ip 127.0.0.1 --tproxy-mark 0x1/0x1
[0:0] -A INPUT -p tcp -m comment --comment morva-firewall -m tcp --tcp-flags SYN,ACK SYN,ACK -m mark --mark 0x0/0x6 -m connmark --mark 0xc/0xe -j NFQUEUE --queue-num 4
[0:0] -A FORWARD -j host-chain
[0:0] -A FORWARD -g host-empty
[0:0] -A FORWARD -p tcp -m comment --comment morva-firewall -m tcp --tcp-flags SYN,ACK SYN -m mark --mark 0x0/0x6 -j NFQUEUE --queue-num 5 --queue-bypass
[0:0] -A OUTPUT -p tcp -m comment --comment morva-firewall -m tcp --tcp-flags SYN,ACK SYN -m mark --mark 0x0/0x6 -j NFQUEUE --queue-num 3 --queue-bypass
[0:0] -A OUTPUT -m comment --comment morva-firewall -m mark --mark 0x2/0x6 -j CONNMARK --set-xmark 0x2/0xffffffff
[0:0] -A OUTPUT -m comment --comment morva-firewall -m mark --mark 0x4/0x6 -j CONNMARK --set-xmark 0x4/0xffffffff
[0:0] -A OUTPUT -m comment --comment morva-firewall -m mark --mark 0x0/0x6 -m connmark ! --mark 0x0/0x6 -j MARK --set-xmark 0x1/0x1
[0:0] -A OUTPUT -m comment --comment morva-firewall -m mark --mark 0xc/0xe -j CONNMARK --set-xmark 0x8/0x8
[5:300] -A host-chain -s 10.1.2.0/24 -p tcp
[0:0] -A host-chain -j host-empty
[0:0] -A host-chain -m comment --comment "morva-firewall " -j RETURN
COMMIT
)";

const std::string nat_fixture = R"(*nat
:PREROUTING ACCEPT [0:0]
:INPUT ACCEPT [0:0]
:OUTPUT ACCEPT [0:0]
:POSTROUTING ACCEPT [0:0]
[4:240] -A POSTROUTING -o lo -m comment --comment morva-firewall -m mark --mark 0x1/0x1 -j ACCEPT
[0:0] -A POSTROUTING -s 192.168.0.0/16 -j MASQUERADE
COMMIT
)";

ipt_rule_t own_rule(std::uint16_t proto, std::vector<xt_blob_t> matches, ipt_target_t target,
                    xt_counters counters = {})
{
    ipt_rule_t rule = make_own_rule();
    rule.set_proto(proto);
    rule.matches.insert(rule.matches.end(), matches.begin(), matches.end());
    rule.target = std::move(target);
    rule.counters = counters;
    return rule;
}

ipt_rule_t nfqueue_rule(std::uint8_t flags_cmp, std::vector<xt_blob_t> marks, std::uint16_t queue, bool bypass)
{
    std::vector<xt_blob_t> matches{make_tcp_match(0x12, flags_cmp)};
    matches.insert(matches.end(), marks.begin(), marks.end());
    return own_rule(6, matches, make_nfqueue_target(queue, bypass));
}

xt_blob_t connmark_set(std::uint32_t mark, std::uint32_t mask)
{
    return make_connmark_target(XT_CONNMARK_SET, mark, 0xFFFFFFFF, mask);
}

// The model of mangle_fixture, built with the library's own builders.
ipt_table_t mangle_model()
{
    ipt_table_t table;
    for (int hook : {prerouting, input, forward, output, postrouting})
        table.builtin_chains[hook];
    table.builtin_chains[prerouting].counters = {3, 300};
    table.builtin_chains[prerouting].rules = {
        own_rule(0, {make_mark_match(0, 6, false), make_connmark_match(4, 6, false)}, make_mark_target(1, 1), {1, 60}),
        own_rule(6, {make_mark_match(6, 6, true), make_connmark_match(2, 6, false)},
                 make_tproxy_target(0x7F000001, 8080, 1, 1), {2, 120}),
    };
    table.builtin_chains[input].rules = {
        nfqueue_rule(0x12, {make_mark_match(0, 6, false), make_connmark_match(0xC, 0xE, false)}, 4, false),
    };
    ipt_rule_t to_chain, to_empty;
    to_chain.target = ipt_jump_t{"host-chain"};
    to_empty.target = ipt_jump_t{"host-empty"};
    to_empty.set_goto(true);
    table.builtin_chains[forward].policy = ipt_verdict_t::DROP;
    table.builtin_chains[forward].counters = {7, 700};
    table.builtin_chains[forward].rules = {
        to_chain, to_empty, nfqueue_rule(0x02, {make_mark_match(0, 6, false)}, 5, true)};
    table.builtin_chains[output].rules = {
        nfqueue_rule(0x02, {make_mark_match(0, 6, false)}, 3, true),
        own_rule(0, {make_mark_match(2, 6, false)}, connmark_set(2, 0xFFFFFFFF)),
        own_rule(0, {make_mark_match(4, 6, false)}, connmark_set(4, 0xFFFFFFFF)),
        own_rule(0, {make_mark_match(0, 6, false), make_connmark_match(0, 6, true)}, make_mark_target(1, 1)),
        own_rule(0, {make_mark_match(0xC, 0xE, false)}, connmark_set(8, 8)),
    };

    ipt_rule_t subnet;
    subnet.set_src(0x0A010200);
    subnet.set_smsk(0xFFFFFF00);
    subnet.set_proto(6);
    subnet.target = ipt_fall_through_t{};
    subnet.counters = {5, 300};
    ipt_rule_t to_empty_again;
    to_empty_again.target = ipt_jump_t{"host-empty"};
    ipt_rule_t not_ours;
    not_ours.matches = {make_comment_match("morva-firewall ")};
    not_ours.target = ipt_verdict_t::RETURN;
    table.user_chains["host-chain"].rules = {subnet, to_empty_again, not_ours};
    table.user_chains["host-empty"];
    return table;
}

std::string empty_table(const std::string& name)
{
    return name == "nat" ? "*nat\n:PREROUTING ACCEPT [0:0]\n:INPUT ACCEPT [0:0]\n:OUTPUT ACCEPT [0:0]\n"
                           ":POSTROUTING ACCEPT [0:0]\nCOMMIT\n"
                         : "*mangle\n:PREROUTING ACCEPT [0:0]\n:INPUT ACCEPT [0:0]\n:FORWARD ACCEPT [0:0]\n"
                           ":OUTPUT ACCEPT [0:0]\n:POSTROUTING ACCEPT [0:0]\nCOMMIT\n";
}

const auto restore = morva_test::ipt_restore;
const auto save = morva_test::ipt_save_table;

class KernelTable : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(morva_test::in_private_netns());
        reset();
    }
    void TearDown() override { reset(); }
    static void reset() { restore(empty_table("mangle") + empty_table("nat")); }
};

TEST_F(KernelTable, FixturesReadBackIntoTheModel)
{
    restore(mangle_fixture + nat_fixture);
    const ipt_table_t mangle = read_ipt_table("mangle");
    EXPECT_EQ(mangle, mangle_model());
    // What the marks service looks for in rules it did not make.
    const ipt_rule_t& mark_rule = mangle.builtin_chains.at(output).rules.at(3);
    EXPECT_EQ(read_mark_target(std::get<xt_blob_t>(mark_rule.target)), 1u);
    EXPECT_EQ(read_mark_match(mark_rule.matches.at(1)), 0u);
    EXPECT_EQ(read_mark_match(mark_rule.matches.at(2)), std::nullopt); // connmark
    EXPECT_EQ(read_mark_target(std::get<xt_blob_t>(mangle.builtin_chains.at(output).rules.at(1).target)),
              std::nullopt); // CONNMARK

    const ipt_table_t nat = read_ipt_table("nat");
    const auto& postrouting_rules = nat.builtin_chains.at(postrouting).rules;
    ASSERT_EQ(postrouting_rules.size(), 2u);
    ipt_rule_t lo = own_rule(0, {make_mark_match(1, 1, false)}, ipt_verdict_t::ACCEPT, {4, 240});
    lo.set_outiface({'l', 'o'});
    lo.set_outiface_mask({0xFF, 0xFF, 0xFF});
    EXPECT_EQ(postrouting_rules[0], lo);
    EXPECT_FALSE(is_own_rule(postrouting_rules[1]));
    EXPECT_EQ(postrouting_rules[1].src(), 0xC0A80000u);
    EXPECT_EQ(postrouting_rules[1].smsk(), 0xFFFF0000u);
}

TEST_F(KernelTable, ModelWritesWhatTheToolsSave)
{
    write_ipt_table("mangle", mangle_model());
    EXPECT_EQ(save("mangle"), mangle_fixture);
    // What the tools saved, they can restore: nothing of ours is beyond them.
    const std::string saved = sh("iptables-legacy-save -c -t mangle");
    reset();
    restore(saved);
    EXPECT_EQ(save("mangle"), mangle_fixture);
}

TEST_F(KernelTable, UnchangedRewriteKeepsTablesAndCounters)
{
    restore(mangle_fixture + nat_fixture);
    for (const char* name : {"mangle", "nat"}) {
        const std::string before = save(name);
        write_ipt_table(name, read_ipt_table(name));
        EXPECT_EQ(save(name), before) << name;
    }
}

TEST_F(KernelTable, CountersSurviveAnEdit)
{
    restore(mangle_fixture);
    ipt_table_t table = read_ipt_table("mangle");
    auto& rules = table.builtin_chains[prerouting].rules;
    rules.insert(rules.begin(), own_rule(0, {}, ipt_verdict_t::ACCEPT));
    table.user_chains.erase("host-empty");
    table.builtin_chains[forward].rules.erase(table.builtin_chains[forward].rules.begin() + 1);
    table.user_chains["host-chain"].rules.erase(table.user_chains["host-chain"].rules.begin() + 1);
    write_ipt_table("mangle", table);

    const std::string saved = save("mangle");
    for (const char* line : {
             ":PREROUTING ACCEPT [3:300]\n",
             ":FORWARD DROP [7:700]\n",
             "[0:0] -A PREROUTING -m comment --comment morva-firewall -j ACCEPT\n"
             "[1:60] -A PREROUTING -m comment --comment morva-firewall -m mark --mark 0x0/0x6",
             "[2:120] -A PREROUTING -p tcp",
             "[5:300] -A host-chain -s 10.1.2.0/24 -p tcp\n",
         })
        EXPECT_NE(saved.find(line), std::string::npos) << line << "\nin\n" << saved;
    EXPECT_EQ(saved.find("host-empty"), std::string::npos) << saved;
}

TEST_F(KernelTable, OwnRulesFoundByCommentOthersLeftAlone)
{
    restore(mangle_fixture + nat_fixture);
    for (const char* name : {"mangle", "nat"}) {
        ipt_table_t table = read_ipt_table(name);
        for (auto& [hook, chain] : table.builtin_chains)
            std::erase_if(chain.rules, is_own_rule);
        write_ipt_table(name, table);
    }
    EXPECT_EQ(save("mangle"), mangle_chains + R"([0:0] -A FORWARD -j host-chain
[0:0] -A FORWARD -g host-empty
[5:300] -A host-chain -s 10.1.2.0/24 -p tcp
[0:0] -A host-chain -j host-empty
[0:0] -A host-chain -m comment --comment "morva-firewall " -j RETURN
COMMIT
)");
    EXPECT_EQ(save("nat"), R"(*nat
:PREROUTING ACCEPT [0:0]
:INPUT ACCEPT [0:0]
:OUTPUT ACCEPT [0:0]
:POSTROUTING ACCEPT [0:0]
[0:0] -A POSTROUTING -s 192.168.0.0/16 -j MASQUERADE
COMMIT
)");
}

TEST_F(KernelTable, MissingTable)
{
    try {
        read_ipt_table("morva-none");
        ADD_FAILURE() << "read a table that does not exist";
    } catch (const boost::system::system_error& e) {
        EXPECT_TRUE(is_table_missing(e.code())) << e.what();
    }
}

// Counts the kernel's EAGAIN answers on the way through.
class counting_socket_t : public sockopt_t {
public:
    std::atomic<int>& again;
    explicit counting_socket_t(std::atomic<int>& counter) : again(counter) {}
    int get(int option, void* data, socklen_t& length) override
    {
        const int error = socket_.get(option, data, length);
        again += error == EAGAIN;
        return error;
    }
    int set(int option, const void* data, socklen_t length) override { return socket_.set(option, data, length); }

private:
    raw_socket_t socket_;
};

TEST_F(KernelTable, ReadsWhileAnotherProgramChangesTheTable)
{
    ipt_table_t small = read_ipt_table("mangle");
    ipt_table_t large = small;
    for (int i = 0; i < 40; ++i)
        large.builtin_chains[output].rules.push_back(own_rule(6, {make_tcp_match(0x12, 0x02)}, ipt_verdict_t::ACCEPT));

    std::atomic<bool> stop = false;
    std::thread writer([&] {
        for (int i = 0; !stop; ++i)
            write_ipt_table("mangle", i % 2 ? small : large);
    });
    std::atomic<int> again = 0;
    int failures = 0;
    // Until the kernel has answered EAGAIN a few times, so the retry is really
    // exercised; the deadline only guards a machine where the race never shows.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (int reads = 0; again < 5 && std::chrono::steady_clock::now() < deadline; ++reads) {
        counting_socket_t socket(again);
        try {
            const ipt_table_t table = read_ipt_table(socket, "mangle");
            const auto count = table.builtin_chains.at(output).rules.size();
            EXPECT_TRUE(count == 0 || count == 40) << count;
        } catch (const boost::system::system_error& e) {
            ADD_FAILURE() << e.what();
            if (++failures > 3)
                break;
        }
    }
    stop = true;
    writer.join();
    EXPECT_GT(again, 0) << "the table never changed between info and entries";
}

// ---- revisions ---------------------------------------------------------------

TEST(KernelRevisions, AsTheKernelReports)
{
    const struct {
        const char* name;
        bool match;
        std::uint8_t lowest, highest, expected;
    } cases[] = {
        {"NFQUEUE", false, 0, 3, 3}, {"TPROXY", false, 0, 1, 1}, {"CONNMARK", false, 1, 2, 2},
        {"MARK", false, 2, 2, 2},    {"mark", true, 1, 1, 1},    {"connmark", true, 1, 1, 1},
        {"socket", true, 1, 3, 3},
    };
    for (const auto& c : cases) {
        const auto revision = c.match ? probe_match_revision(c.name, c.lowest, c.highest)
                                      : probe_target_revision(c.name, c.lowest, c.highest);
        EXPECT_EQ(revision, c.expected) << c.name;
    }
    // The builders take what the kernel offers.
    EXPECT_EQ(make_nfqueue_target(1, true)[31], 3);
    EXPECT_EQ(make_tproxy_target(0x7F000001, 1, 1, 1)[31], 1);
    EXPECT_EQ(make_connmark_target(XT_CONNMARK_SET, 1, 0xFFFFFFFF, 1)[31], 2);
    EXPECT_EQ(make_mark_target(1, 1)[31], 2);
    EXPECT_EQ(make_mark_match(1, 1, false)[31], 1);
    EXPECT_EQ(make_connmark_match(1, 1, false)[31], 1);
    EXPECT_EQ(make_transparent_socket_match()[31], 3);
}

TEST(KernelRevisions, UnknownExtensionOrRevision)
{
    const struct {
        const char* name;
        bool match;
        std::uint8_t lowest, highest;
        int error;
        std::string text;
    } cases[] = {
        {"MORVA_NONE", false, 0, 1, ENOENT, "target 'MORVA_NONE'"},
        {"morva_none", true, 0, 1, ENOENT, "match 'morva_none'"},
        {"NFQUEUE", false, 4, 9, EOPNOTSUPP, "target 'NFQUEUE'"},
    };
    for (const auto& c : cases) {
        try {
            c.match ? probe_match_revision(c.name, c.lowest, c.highest)
                    : probe_target_revision(c.name, c.lowest, c.highest);
            ADD_FAILURE() << c.name;
        } catch (const boost::system::system_error& e) {
            EXPECT_EQ(e.code().value(), c.error) << c.name;
            EXPECT_EQ(std::string(e.what()).rfind(c.text, 0), 0u) << e.what();
        }
    }
}

} // namespace
