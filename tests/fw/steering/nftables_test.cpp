// The messages of the nftables service against a stand-in kernel: the rules of
// configurations this machine's kernel cannot take (queue rules), the
// local-path rule for each kind of chain, and the removal steps with replies
// the real kernel never gives.
#include "fw/steering/nftables.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "common/log.hpp"
#include "linux/nftables/parser.hpp"
#include "linux/nftables/transaction.hpp"
#include "tests/common/recording_log.hpp"
#include "tests/fw/nftables_expected.hpp"
#include "tests/fw/nftables_fake_kernel.hpp"

namespace {

using namespace fw::service;
using namespace morva_test::nft_expected;
using morva_test::bytes_t;
using morva_test::nft_fake_kernel_t;
using morva_test::nft_sent_t;
using morva_test::raw_reply;
using morva_test::rule_attributes;
using morva_test::rule_reply;
using chains_t = std::map<std::string, std::vector<rule_t>>;

const morva_test::nft_expected::test_marks_t m;

steering_params_t params_with(std::vector<steering_divert_t> diverts, bool security_option)
{
    steering_params_t p;
    p.local_delivery_mark = m.ld;
    p.client_packets_mark = m.cp;
    p.server_packets_mark = m.sp;
    p.tproxy_address = 0x7f000001;
    p.tproxy_port = 8080;
    p.diverts = std::move(diverts);
    p.process_ip_security_option = security_option;
    return p;
}

const steering_divert_t output_divert{3, 3, 0x8};
const steering_divert_t input_divert{1, 4, 0x10};
const steering_divert_t forward_divert{2, 5, 0x20};

nft_socket_source_t sockets_of(nft_fake_kernel_t& kernel)
{
    return [&kernel] { return kernel.socket(); };
}

struct install_case_t {
    const char* name;
    steering_params_t params;
    chains_t chains;
};

class install : public testing::TestWithParam<install_case_t> {};

TEST_P(install, leaves_each_chain_with_its_rules_in_order)
{
    nft_fake_kernel_t kernel;
    install_nft_rules(GetParam().params, sockets_of(kernel));
    for (const char* chain : {"prerouting", "output", "input", "forward"}) {
        const auto it = GetParam().chains.find(chain);
        const std::vector<rule_t> expected = it == GetParam().chains.end() ? std::vector<rule_t>{} : it->second;
        EXPECT_EQ(kernel.chain(std::string("ip morva-firewall ") + chain), expected) << chain;
    }
    for (const nft_sent_t& sent : kernel.sent()) {
        if (sent.type == NFT_MSG_NEWRULE) {
            EXPECT_EQ(sent.comment(), "morva-firewall");
        }
    }
    for (std::size_t size : kernel.batch_sizes())
        EXPECT_LE(size, 8192u);
}

INSTANTIATE_TEST_SUITE_P(
    nftables, install,
    testing::Values(
        install_case_t{"no_divert", params_with({}, true),
                       {{"prerouting", prerouting(m)}, {"output", {n7(m), n6(m), n5(m)}}}},
        // The security-option rules only for a divert with a mark of its own.
        install_case_t{"output_and_input_security_option",
                       params_with({output_divert, {1, 4, 0}}, true),
                       {{"prerouting", prerouting(m)},
                        {"output", {n8(m, "output", 3), n7(m), n6(m), n5(m), n1(m, 0x8)}},
                        {"input", {n8(m, "input", 4), n2(m, 0x8, 3)}}}},
        install_case_t{"all_diverts_security_option",
                       params_with({output_divert, input_divert, forward_divert}, true),
                       {{"prerouting", prerouting(m)},
                        {"output",
                         {n8(m, "output", 3), n7(m), n6(m), n5(m), n1(m, 0x20), n1(m, 0x10), n1(m, 0x8)}},
                        {"input", {n8(m, "input", 4), n2(m, 0x20, 5), n2(m, 0x10, 4), n2(m, 0x8, 3)}},
                        {"forward", {n8(m, "forward", 5)}}}},
        install_case_t{"all_diverts",
                       params_with({output_divert, input_divert, forward_divert}, false),
                       {{"prerouting", prerouting(m)},
                        {"output", {n8(m, "output", 3), n7(m), n6(m), n5(m)}},
                        {"input", {n8(m, "input", 4)}},
                        {"forward", {n8(m, "forward", 5)}}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(nftables, install_creates_the_table_and_four_base_chains_first)
{
    nft_fake_kernel_t kernel;
    install_nft_rules(params_with({}, false), sockets_of(kernel));
    const auto sent = kernel.sent();
    ASSERT_GE(sent.size(), 5u);
    EXPECT_EQ(sent[0].type, NFT_MSG_NEWTABLE);
    EXPECT_EQ(sent[0].family, 2);
    EXPECT_EQ(sent[0].str(NFTA_TABLE_NAME), "morva-firewall");
    // An existing table is kept.
    EXPECT_EQ(sent[0].flags & (NLM_F_CREATE | NLM_F_EXCL), NLM_F_CREATE);

    struct chain_t {
        std::string name, type;
        std::uint32_t hook;
    };
    const chain_t chains[] = {{"prerouting", "filter", 0}, {"output", "route", 3}, {"input", "filter", 1},
                              {"forward", "filter", 2}};
    for (std::size_t i = 0; i < 4; ++i) {
        const nft_sent_t& c = sent[1 + i];
        SCOPED_TRACE(chains[i].name);
        EXPECT_EQ(c.type, NFT_MSG_NEWCHAIN);
        EXPECT_EQ(c.family, 2);
        EXPECT_EQ(c.str(NFTA_CHAIN_TABLE), "morva-firewall");
        EXPECT_EQ(c.str(NFTA_CHAIN_NAME), chains[i].name);
        EXPECT_EQ(c.str(NFTA_CHAIN_TYPE), chains[i].type);
        EXPECT_EQ(c.attributes.count(NFTA_CHAIN_POLICY), 0u);
        auto hook = morva_test::nft_attributes(morva_test::nft_attribute(c.attributes, NFTA_CHAIN_HOOK));
        EXPECT_EQ(morva_test::be32_of(morva_test::nft_attribute(hook, NFTA_HOOK_HOOKNUM)), chains[i].hook);
        EXPECT_EQ(static_cast<std::int32_t>(morva_test::be32_of(morva_test::nft_attribute(hook, NFTA_HOOK_PRIORITY))),
                  -150);
    }
}

// ---- the local-path rule of one chain ----

struct local_path_case_t {
    const char* name;
    std::uint8_t family;
    std::string table;
    std::optional<std::uint32_t> hook;
    std::optional<rule_t> expected; // nothing when the chain gets no rule
};

class local_path_rule : public testing::TestWithParam<local_path_case_t> {};

TEST_P(local_path_rule, is_written_for_base_chains_of_other_tables_on_the_four_hooks)
{
    const auto& c = GetParam();
    nft_fake_kernel_t kernel;
    fw::linux::nftables::utils::nft_msg_t msg(kernel.socket());
    fw::linux::nftables::nft_chain_t chain;
    chain.table = c.table;
    chain.name = "c";
    chain.hooknum = c.hook;
    add_local_path_rules(msg, chain, c.family, params_with({}, false));
    msg.batch.flush_batch();

    std::vector<rule_t> rules;
    for (const nft_sent_t& sent : kernel.sent()) {
        rules.push_back(sent.rule());
        EXPECT_EQ(sent.comment(), "morva-firewall");
        // Without NLM_F_APPEND the kernel puts it at the head of the chain.
        EXPECT_EQ(sent.flags & NLM_F_APPEND, 0);
    }
    EXPECT_EQ(rules, c.expected ? std::vector<rule_t>{*c.expected} : std::vector<rule_t>{});
}

INSTANTIATE_TEST_SUITE_P(
    nftables, local_path_rule,
    testing::Values(local_path_case_t{"ip_prerouting", 2, "t", 0, local_path("ip t c", false)},
                    local_path_case_t{"ip_input", 2, "t", 1, local_path("ip t c", false)},
                    local_path_case_t{"ip_output", 2, "t", 3, local_path("ip t c", true)},
                    local_path_case_t{"ip_postrouting", 2, "t", 4, local_path("ip t c", true)},
                    local_path_case_t{"inet_input_ipv4_only", 1, "t", 1, local_path("inet t c", false)},
                    local_path_case_t{"inet_postrouting_ipv4_only", 1, "t", 4, local_path("inet t c", true)},
                    local_path_case_t{"ip_forward", 2, "t", 2, std::nullopt},
                    local_path_case_t{"inet_ingress", 1, "t", 5, std::nullopt},
                    local_path_case_t{"regular_chain", 2, "t", std::nullopt, std::nullopt},
                    local_path_case_t{"own_table", 2, "morva-firewall", 1, std::nullopt},
                    local_path_case_t{"ip6", 10, "t", 1, std::nullopt},
                    local_path_case_t{"bridge", 7, "t", 1, std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(nftables, local_path_needs_the_table_and_the_name_of_the_chain)
{
    nft_fake_kernel_t kernel;
    fw::linux::nftables::utils::nft_msg_t msg(kernel.socket());
    fw::linux::nftables::nft_chain_t chain;
    chain.hooknum = 1;
    chain.name = "c";
    EXPECT_THROW(add_local_path_rules(msg, chain, 2, params_with({}, false)), std::bad_optional_access);
    chain.table = "t";
    chain.name.reset();
    EXPECT_THROW(add_local_path_rules(msg, chain, 2, params_with({}, false)), std::bad_optional_access);
}

// ---- removal ----

class removal : public testing::Test {
protected:
    void SetUp() override
    {
        cf_log_install(log);
        cf_log_threshold = 0;
    }
    std::shared_ptr<morva_test::recording_log_t> log = std::make_shared<morva_test::recording_log_t>();
};

TEST_F(removal, own_rules_of_both_families_are_deleted_and_unusable_replies_skipped)
{
    nft_fake_kernel_t kernel([](const nft_sent_t& request, std::uint32_t seq) {
        EXPECT_EQ(request.type, NFT_MSG_GETRULE);
        if (request.family == 2)
            return std::vector<bytes_t>{
                rule_reply(seq, 2, rule_attributes("host", "inbound", 7, "morva-firewall")),
                rule_reply(seq, 2, rule_attributes("host", "inbound", 8, "someone else")),
                rule_reply(seq, 2, rule_attributes("host", "inbound", std::nullopt, "morva-firewall")),
                raw_reply(seq, {2, 0}),
                // An attribute longer than the message.
                raw_reply(seq, {2, 0, 0, 0, 0x40, 0, 1, 0}),
                rule_reply(seq, 2, rule_attributes("morva-firewall", "output", 9, "morva-firewall")),
            };
        return std::vector<bytes_t>{rule_reply(seq, 1, rule_attributes("filter", "input", 3, "morva-firewall"))};
    });
    clear_nft_rules(sockets_of(kernel));

    std::vector<std::string> deleted;
    for (const nft_sent_t& sent : kernel.sent()) {
        if (sent.type != NFT_MSG_DELRULE)
            continue;
        const bytes_t handle = morva_test::nft_attribute(sent.attributes, NFTA_RULE_HANDLE);
        ASSERT_EQ(handle.size(), 8u);
        EXPECT_EQ(morva_test::be32_of(bytes_t(handle.begin(), handle.begin() + 4)), 0u);
        deleted.push_back(morva_test::family_name(sent.family) + " " + sent.str(NFTA_RULE_TABLE) + " "
                          + sent.str(NFTA_RULE_CHAIN) + " "
                          + std::to_string(morva_test::be32_of(bytes_t(handle.begin() + 4, handle.end()))));
    }
    EXPECT_EQ(deleted, (std::vector<std::string>{"ip host inbound 7", "ip morva-firewall output 9",
                                                 "inet filter input 3"}));

    const auto lines = log->taken();
    ASSERT_EQ(lines.size(), 5u) << testing::PrintToString(lines);
    EXPECT_EQ(lines[0], "0 start clear rules");
    EXPECT_EQ(lines[1], "0 skip rule because: bad optional access");
    EXPECT_EQ(lines[2], "0 skip rule because: nf_tables message shorter than its nfgenmsg (2 bytes)");
    EXPECT_TRUE(lines[3].starts_with("0 skip rule because: ")) << lines[3];
    EXPECT_EQ(lines[4], "0 rules are cleaned");
}

// The own table is of family ip only: one of our name in family inet is
// another program's, and is never asked for.
TEST_F(removal, only_the_own_table_of_family_ip_is_deleted_and_a_refusal_is_logged)
{
    nft_fake_kernel_t kernel({}, [](const nft_sent_t&) { return EPERM; });
    EXPECT_NO_THROW(clear_nft_tables(sockets_of(kernel)));
    std::vector<int> families;
    for (const nft_sent_t& sent : kernel.sent()) {
        EXPECT_EQ(sent.type, NFT_MSG_DELTABLE);
        EXPECT_EQ(sent.str(NFTA_TABLE_NAME), "morva-firewall");
        families.push_back(sent.family);
    }
    EXPECT_EQ(families, (std::vector<int>{2}));
    EXPECT_EQ(log->taken(), (std::vector<std::string>{
                                "0 start clear tables",
                                "0 delete table with error : NETLINK error received: Operation not permitted",
                                "0 tables are cleaned"}));
}

} // namespace
