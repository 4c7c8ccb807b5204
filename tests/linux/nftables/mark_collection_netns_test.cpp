// The mark evaluator and the mark collection against rules written by the real
// `nft` and `iptables-nft` tools.
#include "linux/nftables/mark_eval.hpp"
#include "linux/nftables/names.hpp"
#include "linux/nftables/parser.hpp"
#include "linux/nftables/transaction.hpp"
#include "tests/support/netns.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <unistd.h>

using namespace fw::linux::nftables;
using morva_test::sh;

namespace {

struct golden_t {
    const char* rule; // nft syntax
    std::uint32_t bits;
};

const golden_t nft_rules[] = {
    {"meta mark set 0x10", 0x10},
    {"ct mark set 0x20", 0x20},
    {"meta mark set mark or 0x40", 0x40},
    {"meta mark set mark and 0xffffff7f", 0x80},
    {"meta mark set mark xor 0x800", 0x800},
    {"ct mark set ct mark or 0x100000", 0x100000},
    {"meta mark 1", 0x1},
    {"meta mark and 0xff00 == 0x100", 0xff00},
    {"ct mark and 0x3 != 0", 0x3},
    {"ct mark 0x200000", 0x200000},
    {"ct mark set meta mark", 0},
    {"meta mark != 0", 0},
    {"ip saddr 10.0.0.1 meta mark 0x1000 accept", 0x1000},
    {"tcp dport 22 counter", 0},
};

// iptables-nft: marks match natively, the MARK and CONNMARK targets and the
// connmark match are xtables extensions.
const golden_t iptables_rules[] = {
    {"-m mark --mark 0x400000 -j ACCEPT", 0x400000},
    {"-m mark --mark 0x4/0x6 -j MARK --set-mark 0x8", 0xe},
    {"-j MARK --or-mark 0x10000", 0x10000},
    {"-j MARK --set-xmark 0x100/0x300", 0x300},
    {"-j CONNMARK --set-mark 0x200", 0x200},
    {"-j CONNMARK --save-mark", 0},
    {"-m connmark --mark 0x20/0x30 -j ACCEPT", 0x30},
};

struct ruleset_guard_t {
    std::string file = "/tmp/morva-nft-golden-" + std::to_string(::getpid()) + ".nft";
    ruleset_guard_t() { sh("nft flush ruleset"); }
    ~ruleset_guard_t()
    {
        morva_test::sh_status("nft flush ruleset");
        std::remove(file.c_str());
    }
};

std::string comment_of(std::size_t i) { return "golden-" + std::to_string(i); }

TEST(mark_collection, evaluator_agrees_with_the_golden_table_of_real_rules)
{
    ruleset_guard_t guard;
    {
        std::ofstream out(guard.file);
        out << "table ip golden {\n chain c {\n";
        for (std::size_t i = 0; i < std::size(nft_rules); ++i)
            out << "  " << nft_rules[i].rule << " comment \"" << comment_of(i) << "\"\n";
        out << " }\n}\n";
    }
    sh("nft -f " + guard.file);
    for (const golden_t& r : iptables_rules)
        sh(std::string("iptables-nft -t mangle -A OUTPUT ") + r.rule);

    std::map<std::string, std::uint32_t> got;
    std::vector<std::uint32_t> mangle;
    for (auto& reply : utils::dump_nft_rules()) {
        nft_rule_t rule;
        parse_rule(rule, reply.payload.begin() + 4, reply.payload.size - 4);
        std::uint32_t bits = eval_rule_mark_bits(rule);
        if (rule.table == "golden")
            got[rule.comment.value()] = bits;
        else if (rule.table == "mangle" && rule.chain == "OUTPUT")
            mangle.push_back(bits);
    }
    ASSERT_EQ(got.size(), std::size(nft_rules));
    for (std::size_t i = 0; i < std::size(nft_rules); ++i)
        EXPECT_EQ(got[comment_of(i)], nft_rules[i].bits) << nft_rules[i].rule;
    ASSERT_EQ(mangle.size(), std::size(iptables_rules));
    for (std::size_t i = 0; i < std::size(iptables_rules); ++i)
        EXPECT_EQ(mangle[i], iptables_rules[i].bits) << iptables_rules[i].rule;
}

TEST(mark_collection, collects_foreign_ip_and_inet_rules)
{
    ruleset_guard_t guard;
    EXPECT_EQ(utils::collect_nft_marks(), 0u);
    {
        std::ofstream out(guard.file);
        out << "table ip foreign {\n chain c {\n  meta mark set mark or 0x10\n  ct mark and 0xf00 == 0x100\n }\n}\n"
               "table ip own {\n chain c {\n  meta mark set mark or 0x20000 comment \"morva-firewall\"\n }\n}\n"
               "table inet dual {\n chain c {\n  meta mark 0x40000\n }\n}\n"
               "table ip6 six {\n chain c {\n  meta mark 0x1000000\n }\n}\n"
               "table ip near {\n chain c {\n  meta mark set mark or 0x80000 comment \"morva-firewall!\"\n }\n}\n";
    }
    sh("nft -f " + guard.file);
    // Only the exact own comment keeps a rule out; inet rules are read, ip6 rules are not.
    EXPECT_EQ(utils::collect_nft_marks(), 0x10u | 0xf00u | 0x40000u | 0x80000u);
}

} // namespace
