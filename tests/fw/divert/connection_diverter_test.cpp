// The diverter's pure parts: divert names, the order in which configure
// handles the diverts, and the rule set that goes to pellad with a connection.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "fw/divert/connection_diverter.hpp"
#include "fw/divert/divert_entry.hpp"

namespace {

using namespace fw::service;
using boost::asio::ip::make_address_v4;
using boost::asio::ip::tcp;

TEST(DivertChainName, NamesEveryKindAndNothingElse)
{
    const struct {
        int kind;
        const char* name;
    } cases[] = {{0, "OUTPUT"}, {1, "INPUT"}, {2, "FORWARD"}, {3, ""}, {-1, ""}, {1000, ""}};
    for (const auto& c : cases) {
        EXPECT_EQ(divert_chain_name(c.kind), c.name) << c.kind;
        std::ostringstream out;
        out << divert_name_t{c.kind};
        EXPECT_EQ(out.str(), c.name) << c.kind;
    }
    // Callers keep the reference: the same string every time.
    EXPECT_EQ(&divert_chain_name(2), &divert_chain_name(2));
}

struct order_case_t {
    const char* what;
    // Per divert (output, input, forward): -1 automatic, -2 nothing selected, else manual.
    int numbers[3];
    int expected[3];
};

kv::LinuxFirewallConfig config_with_numbers(const int (&numbers)[3])
{
    kv::LinuxFirewallConfig config;
    kv::NfqueueNumber* fields[3] = {config.mutable_output_divert_nfqueue_number(),
                                    config.mutable_input_divert_nfqueue_number(),
                                    config.mutable_forward_divert_nfqueue_number()};
    for (int kind = 0; kind < 3; ++kind) {
        if (numbers[kind] == -1)
            fields[kind]->mutable_auto_();
        else if (numbers[kind] >= 0)
            fields[kind]->set_manual(static_cast<std::uint32_t>(numbers[kind]));
    }
    return config;
}

TEST(DivertConfig, ManualNumbersFirstLowestFirstOthersInDivertOrder)
{
    const order_case_t cases[] = {
        {"all automatic", {-1, -1, -1}, {0, 1, 2}},
        {"output automatic, input 5, forward 2", {-1, 5, 2}, {2, 1, 0}},
        {"nothing selected counts as not manual", {-2, 7, -1}, {1, 0, 2}},
        {"all manual, descending", {9, 4, 1}, {2, 1, 0}},
        {"equal manual numbers keep divert order", {3, 3, -1}, {0, 1, 2}},
        {"forward alone manual", {-2, -1, 0}, {2, 0, 1}},
    };
    for (const auto& c : cases) {
        auto configs = make_divert_configs(config_with_numbers(c.numbers));
        std::stable_sort(configs.begin(), configs.end(), divert_config_less);
        ASSERT_EQ(configs.size(), 3u);
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(configs[i].divert_kind, c.expected[i]) << c.what << " at " << i;
    }
}

TEST(DivertConfig, FieldsOfEachDivert)
{
    kv::LinuxFirewallConfig config;
    config.set_output_divert_enable(true);
    config.set_input_divert_connect_transparently(true);
    config.set_forward_divert_enable(true);
    config.set_forward_divert_connect_transparently(true);
    config.mutable_forward_divert_nfqueue_number()->set_manual(12);
    const auto configs = make_divert_configs(config);
    ASSERT_EQ(configs.size(), 3u);

    EXPECT_EQ(configs[0].divert_kind, output_divert);
    EXPECT_TRUE(configs[0].enable);
    EXPECT_FALSE(configs[0].connect_transparently);
    EXPECT_EQ(configs[0].divert, kv::D_OUTPUT);
    EXPECT_EQ(configs[0].number.num_case(), kv::NfqueueNumber::NUM_NOT_SET);

    EXPECT_EQ(configs[1].divert_kind, input_divert);
    EXPECT_FALSE(configs[1].enable);
    EXPECT_TRUE(configs[1].connect_transparently);
    EXPECT_EQ(configs[1].divert, kv::D_INPUT);

    EXPECT_EQ(configs[2].divert_kind, forward_divert);
    EXPECT_TRUE(configs[2].enable);
    EXPECT_TRUE(configs[2].connect_transparently);
    EXPECT_EQ(configs[2].divert, kv::D_FORWARD);
    EXPECT_EQ(configs[2].number.manual(), 12u);
}

const connection_diverter_t::endpoint_pair_t pair{tcp::endpoint(make_address_v4("10.1.2.3"), 40000),
                                                  tcp::endpoint(make_address_v4("192.0.2.7"), 443)};

TEST(RuleSet, ConfiguredRulesThenEndpointsDivertAndArtifacts)
{
    kv::RuleSet rules;
    rules.add_rule();
    rules.add_rule();
    rules.add_variable()->set_user_name("configured");

    fw::lua::intercept::artifacts_t artifacts;
    artifacts.user = "alice";
    artifacts.exe_path = "/usr/bin/curl";
    const auto result = make_rule_set(rules, pair, output_divert, artifacts);

    EXPECT_EQ(result.rule_size(), 2);
    ASSERT_EQ(result.variable_size(), 6);
    EXPECT_EQ(result.variable(0).user_name(), "configured");
    EXPECT_EQ(result.variable(1).src_address().address(), "10.1.2.3");
    EXPECT_EQ(result.variable(1).src_address().port(), 40000u);
    EXPECT_EQ(result.variable(2).dst_address().address(), "192.0.2.7");
    EXPECT_EQ(result.variable(2).dst_address().port(), 443u);
    EXPECT_EQ(result.variable(3).divert(), kv::D_OUTPUT);
    EXPECT_EQ(result.variable(4).exe_path(), "/usr/bin/curl");
    EXPECT_EQ(result.variable(5).user_name(), "alice");
    // The configured set itself is left as it was.
    EXPECT_EQ(rules.variable_size(), 1);
}

TEST(RuleSet, NoRulesNoArtifactsAndTheDivertOfEachKind)
{
    const struct {
        int kind;
        kv::Divert divert;
    } cases[] = {{output_divert, kv::D_OUTPUT}, {input_divert, kv::D_INPUT}, {forward_divert, kv::D_FORWARD}};
    for (const auto& c : cases) {
        const auto result = make_rule_set(kv::RuleSet{}, pair, c.kind, {});
        EXPECT_EQ(result.rule_size(), 0);
        ASSERT_EQ(result.variable_size(), 3) << c.kind;
        EXPECT_EQ(result.variable(0).variable_case(), kv::RuleVariable::kSrcAddress);
        EXPECT_EQ(result.variable(1).variable_case(), kv::RuleVariable::kDstAddress);
        EXPECT_EQ(result.variable(2).divert(), c.divert) << c.kind;
    }
    // Only the user name known: it alone follows.
    fw::lua::intercept::artifacts_t artifacts;
    artifacts.user = "bob";
    const auto result = make_rule_set(kv::RuleSet{}, pair, input_divert, artifacts);
    ASSERT_EQ(result.variable_size(), 4);
    EXPECT_EQ(result.variable(3).user_name(), "bob");
}

TEST(DivertTexts, EndpointsAndFlagWords)
{
    EXPECT_EQ(endpoint_pair_text(pair), "10.1.2.3:40000 -> 192.0.2.7:443");
    const struct {
        std::uint16_t flags;
        const char* word;
    } cases[] = {{0x12, "SYN,ACK"}, {0x02, "SYN"}, {0x10, "ACK"}, {0x00, ""}, {0x1ff, "SYN,ACK"}, {0x104, ""}};
    for (const auto& c : cases)
        EXPECT_STREQ(syn_ack_word(c.flags), c.word) << c.flags;
}

} // namespace
