// Copies of rule sets and records: deep, independent, and keeping the fields
// this daemon does not know, so peers get back exactly what they sent.
#include <gtest/gtest.h>

#include <google/protobuf/util/message_differencer.h>

#include <string>

#include "marend_linux_firewall_ipc.pb.h"
#include "pellad_client_ipc.pb.h"
#include "rules.pb.h"
#include "tests/schemas/wire.hpp"

namespace {

using google::protobuf::util::MessageDifferencer;
using schema_test::bytes;
using schema_test::hex;

// A rule set as a peer might send it: a rule whose action carries undefined
// field 7, a condition list with protocol 6 (no value), a variable with an
// unknown field of its own, and an unknown field 9 on the set.
kv::RuleSet peer_rule_set()
{
    kv::RuleSet rs;
    auto* rule = rs.add_rule();
    auto* action = rule->mutable_action();
    action->mutable_pass();
    action->GetReflection()->MutableUnknownFields(action)->AddVarint(7, 1);
    auto* protocols = rule->add_condition()->mutable_protocol_in_list();
    protocols->add_item(kv::HTTP);
    protocols->GetReflection()->MutableUnknownFields(protocols)->AddVarint(1, 6);
    auto* v = rs.add_variable();
    v->set_sni_host("example.test");
    v->GetReflection()->MutableUnknownFields(v)->AddLengthDelimited(99, "x");
    rs.GetReflection()->MutableUnknownFields(&rs)->AddVarint(9, 3);

    // Through the wire, so the unknown fields are what a parse keeps.
    kv::RuleSet parsed;
    EXPECT_TRUE(parsed.ParseFromString(rs.SerializeAsString()));
    return parsed;
}

TEST(copy, copies_keep_unknown_fields_at_every_depth)
{
    const kv::RuleSet original = peer_rule_set();
    const std::string wire = original.SerializeAsString();

    kv::RuleSet constructed(original);
    EXPECT_EQ(hex(constructed.SerializeAsString()), hex(wire));

    pd::ClientMessage m;
    m.set_tag(pd::ClientMessage::COMPLEMENTARY_CONNECTIONS);
    m.mutable_rule_set()->add_variable()->set_url("stale");
    m.mutable_rule_set()->CopyFrom(original);
    EXPECT_EQ(hex(m.rule_set().SerializeAsString()), hex(wire));

    kv::RuleSet swapped;
    kv::RuleSet source(original);
    swapped.Swap(&source);
    EXPECT_EQ(hex(swapped.SerializeAsString()), hex(wire));
    EXPECT_EQ(source.ByteSizeLong(), 0u);
}

TEST(copy, appending_to_a_copy_leaves_the_original_unchanged)
{
    const kv::RuleSet original = peer_rule_set();
    const std::string before = original.SerializeAsString();

    kv::RuleSet copy(original);
    kv::RuleVariable v;
    v.mutable_dst_address()->set_address("10.0.0.1");
    v.mutable_dst_address()->set_port(443);
    copy.add_variable()->Swap(&v);
    copy.mutable_variable(0)->set_sni_host("changed");
    copy.mutable_rule(0)->mutable_action()->mutable_reject()->set_description("no");

    EXPECT_EQ(hex(original.SerializeAsString()), hex(before));
    ASSERT_EQ(copy.variable_size(), 2);
    EXPECT_EQ(copy.variable(1).dst_address().port(), 443u);
    EXPECT_FALSE(MessageDifferencer::Equals(original, copy));
}

TEST(copy, whole_reply_with_unknown_fields_survives_parse_and_write)
{
    // Field 77 of the reply and field 3000 of the configuration are undefined.
    const std::string wire = bytes({0x08, 0x01, 0x10, 0x07, 0x22, 0x06, 0x20, 0x01, 0xc0, 0xbb, 0x01, 0x01, 0xe8, 0x04, 0x01});
    kv::Marend2FirewallMessage m;
    ASSERT_TRUE(m.ParseFromString(wire));
    EXPECT_TRUE(m.config().autoconfigure_iptables());
    kv::Marend2FirewallMessage copy(m);
    EXPECT_EQ(hex(copy.SerializeAsString()), hex(wire));
}

} // namespace
