// Strict reading: a message from a peer parses only when every required field
// is present, in the message and in every sub-message it holds; a number that is
// no value of a required enumeration field counts as missing. Absent
// enumeration fields read as the first declared value.
#include <gtest/gtest.h>

#include <google/protobuf/message.h>

#include <functional>
#include <memory>
#include <string>

#include "application.pb.h"
#include "fw/service/rule_info.pb.h"
#include "incident.pb.h"
#include "marend_linux_firewall_ipc.pb.h"
#include "quisad_client_ipc.pb.h"
#include "tests/schemas/wire.hpp"

namespace {

using google::protobuf::Message;
using schema_test::bytes;
using schema_test::type;

std::string config_reply(const std::function<void(kv::LinuxFirewallConfig&)>& fill)
{
    kv::Marend2FirewallMessage m;
    m.set_tag(kv::Marend2FirewallMessage::GET_CONFIG_RESPONSE);
    m.set_config_revision(1);
    fill(*m.mutable_config());
    return m.SerializePartialAsString();
}

std::string config_rule(const std::function<void(kv::Rule&)>& fill)
{
    return config_reply([&](kv::LinuxFirewallConfig& c) { fill(*c.mutable_rules()->add_rule()); });
}

std::string config_variable(const std::function<void(kv::RuleVariable&)>& fill)
{
    return config_reply([&](kv::LinuxFirewallConfig& c) { fill(*c.mutable_rules()->add_variable()); });
}

void set_ip_list(kv::IPList& l)
{
    l.mutable_net_list();
    l.mutable_addr_list();
}

struct parse_case_t {
    const char* name;
    std::function<std::unique_ptr<Message>()> make;
    std::string wire;
    bool complete;
};

const auto marend = type<kv::Marend2FirewallMessage>();

const parse_case_t parse_cases[] = {
    // Marend reply: the tag and every present sub-message.
    {"reply without tag", marend, bytes({0x10, 0x01}), false},
    {"reply tag 3 is no reply tag", marend, bytes({0x08, 0x03}), false},
    {"reply tag 4", marend, bytes({0x08, 0x04}), true},
    {"control app 203, not suspended", marend, bytes({0x08, 0x01, 0xa2, 0x01, 0x05, 0x08, 0xcb, 0x01, 0x10, 0x00}),
     true},
    {"control for another component's id", marend, bytes({0x08, 0x01, 0xa2, 0x01, 0x04, 0x08, 0x07, 0x10, 0x01}),
     true},
    {"control app 11 is no component", marend, bytes({0x08, 0x01, 0xa2, 0x01, 0x04, 0x08, 0x0b, 0x10, 0x01}), false},
    {"control without suspended", marend, bytes({0x08, 0x01, 0xa2, 0x01, 0x03, 0x08, 0xcb, 0x01}), false},
    {"error with code", marend, bytes({0x08, 0x02, 0xa2, 0x06, 0x02, 0x08, 0x73}), true},
    {"error without code", marend, bytes({0x08, 0x02, 0xa2, 0x06, 0x03, 0x12, 0x01, 'x'}), false},
    {"error code 46 is no code", marend, bytes({0x08, 0x02, 0xa2, 0x06, 0x02, 0x08, 0x2e}), false},
    // The configuration record and what it holds.
    {"empty configuration", marend, config_reply([](auto&) {}), true},
    {"actual log without type", marend, config_reply([](auto& c) { c.mutable_actual_log()->set_ident("x"); }), false},
    {"unread log without type", marend, config_reply([](auto& c) { c.mutable_log(); }), false},
    {"listen address without port", marend,
     config_reply([](auto& c) { c.mutable_tproxy_listen_address()->set_address("127.0.0.1"); }), false},
    {"unread rule set with a rule lacking its action", marend,
     config_reply([](auto& c) { c.mutable_rule_set5()->add_rule(); }), false},
    {"rule without action", marend, config_rule([](auto& r) { r.add_condition()->set_negative(true); }), false},
    {"rule with an action and no conditions", marend, config_rule([](auto& r) { r.mutable_action(); }), true},
    {"add header without value", marend,
     config_rule([](auto& r) { r.mutable_action()->mutable_add_header()->set_name("X"); }), false},
    {"change header without name", marend,
     config_rule([](auto& r) { r.mutable_action()->mutable_change_header()->add_value_components(); }), false},
    {"ip list without address list", marend, config_rule([](auto& r) {
         r.mutable_action();
         auto* l = r.add_condition()->mutable_src_ip_in_list();
         auto* n = l->mutable_net_list()->add_network();
         n->set_address("10.0.0.0");
         n->set_mask(8);
     }),
     false},
    {"network without mask", marend, config_rule([](auto& r) {
         r.mutable_action();
         auto* l = r.add_condition()->mutable_src_ip_in_list();
         set_ip_list(*l);
         l->mutable_net_list()->add_network()->set_address("10.0.0.0");
     }),
     false},
    {"complete ip list", marend, config_rule([](auto& r) {
         r.mutable_action();
         set_ip_list(*r.add_condition()->mutable_src_ip_in_list());
     }),
     true},
    {"string pair without second", marend, config_rule([](auto& r) {
         r.mutable_action();
         r.add_condition()->mutable_connection_match_by_url()->add_item()->set_first("a");
     }),
     false},
    {"dnsxl without value", marend, config_rule([](auto& r) {
         r.mutable_action();
         auto* d = r.add_condition()->mutable_url_host_dnsxl_in_list()->add_item();
         d->set_zone("z");
         d->set_mask(1);
     }),
     false},
    {"variable socket without port", marend,
     config_variable([](auto& v) { v.mutable_src_address()->set_address("10.0.0.1"); }), false},
    {"nested scan report without object", marend, config_variable([](auto& v) {
         auto* s = v.mutable_scan_report();
         s->set_object("outer");
         s->add_item()->set_object("inner");
         s->mutable_item(0)->add_item();
     }),
     false},
    {"scan report archive type 4", marend, config_variable([](auto& v) {
         auto* s = v.mutable_scan_report();
         s->set_object("o");
         s->mutable_archive()->set_name("a");
         s->mutable_archive()->GetReflection()->MutableUnknownFields(s->mutable_archive())->AddVarint(1, 4);
     }),
     false},
    {"scan report with object alone", marend, config_variable([](auto& v) { v.mutable_scan_report()->set_object("o"); }),
     true},
    {"dnsxl report without records", marend, config_variable([](auto& v) {
         v.mutable_url_host_dnsxl_report()->set_zone("z");
         v.mutable_url_host_dnsxl_report()->set_resource("r");
     }),
     true},
    // Quisad response.
    {"quisad response without tag", type<qd::ServerMessage>(), bytes({0x10, 0x05}), false},
    {"quisad response error without code", type<qd::ServerMessage>(), bytes({0x08, 0x01, 0xa2, 0x06, 0x00}), false},
    {"quisad lookup response with serial only", type<qd::ServerMessage>(), bytes({0x08, 0x01, 0x10, 0x05}), true},
    // Incident record.
    {"incident without origin pid", type<kv::NetIncident>(), bytes({0x08, 0xcb, 0x01}), false},
    {"incident origin 11 is no component", type<kv::NetIncident>(), bytes({0x08, 0x0b, 0x10, 0x01}), false},
    {"http block report without object", type<kv::NetIncident>(),
     bytes({0x08, 0xcb, 0x01, 0x10, 0x01, 0x5a, 0x0b, 0x0a, 0x01, 'u', 0x10, 0x01, 0x18, 0x00, 0x5a, 0x02, 0x10,
            0x01}),
     false},
    {"mail incident without reason or socket", type<kv::NetIncident>(),
     bytes({0x08, 0xcb, 0x01, 0x10, 0x01, 0x62, 0x00}), true},
    // Routing state record.
    {"routing record without mark", type<fw::service::RuleInfo>(), bytes({0x08, 0x64}), false},
    {"routing record from an empty file", type<fw::service::RuleInfo>(), "", false},
};

TEST(completeness, a_missing_required_field_anywhere_fails_the_parse)
{
    for (const auto& c : parse_cases) {
        SCOPED_TRACE(c.name);
        auto strict = c.make();
        EXPECT_EQ(strict->ParseFromString(c.wire), c.complete);
        // The partial parse reads the same bytes and shows what is missing.
        auto partial = c.make();
        ASSERT_TRUE(partial->ParsePartialFromString(c.wire));
        EXPECT_EQ(partial->IsInitialized(), c.complete) << partial->InitializationErrorString();
    }
}

TEST(completeness, a_broken_frame_fails_even_when_complete_so_far)
{
    kv::Marend2FirewallMessage m;
    EXPECT_FALSE(m.ParseFromString(bytes({0x08, 0x01, 0x22, 0x05, 0x08})));
    EXPECT_FALSE(m.ParseFromString(bytes({0x08, 0x01, 0x0f})));
}

TEST(defaults, absent_enumeration_fields_read_as_the_first_declared_value)
{
    kv::Marend2FirewallMessage reply;
    EXPECT_FALSE(reply.has_tag());
    EXPECT_EQ(reply.tag(), kv::Marend2FirewallMessage::GET_CONFIG_RESPONSE);
    EXPECT_EQ(kv::Firewall2MarendMessage().tag(), kv::Firewall2MarendMessage::GET_CONFIG_REQUEST);
    EXPECT_EQ(kv::Error().code(), kv::EC_OK);
    EXPECT_EQ(kv::ComponentControl().app(), kv::APP_MAREND);
    EXPECT_EQ(kv::AppInfo().exit_code(), kv::EC_OK);
    EXPECT_EQ(qd::ClientMessage().lookup_type(), qd::LOOKUP_LDAP);
    EXPECT_EQ(qd::ServerMessage().tag(), qd::ServerMessage::LOOKUP_RESPONSE);
    EXPECT_EQ(kv::HttpBlock().direction(), kv::HttpBlock::REQUEST);
    EXPECT_EQ(kv::HttpBlock().category(), kv::UC_INFECTION_SOURCE);
    EXPECT_EQ(kv::MailIncident().action(), kv::MailIncident::REPACKED);
    EXPECT_EQ(kv::Connection().divert(), kv::Connection::INPUT);
    EXPECT_EQ(kv::Connection().protocol(), kv::SMTP);
    EXPECT_EQ(kv::RuleVariable().direction(), kv::D_REQUEST);
    EXPECT_EQ(kv::ScanReport().error(), kv::KUVO_PATH_NOT_ABSOLUTE);

    // The empty configuration record, as the application holds it before the first revision.
    kv::LinuxFirewallConfig config;
    EXPECT_TRUE(config.IsInitialized());
    EXPECT_EQ(config.log_level(), kv::LOG_LEVEL_DEBUG);
    EXPECT_EQ(config.actual_log().type(), kv::Log::SYSLOG);
    EXPECT_EQ(config.actual_log().facility(), kv::Log::DAEMON);
    EXPECT_FALSE(config.actual_log().has_ident());
    EXPECT_EQ(config.local_delivery_mark().mark_case(), kv::FwMark::MARK_NOT_SET);
    EXPECT_EQ(config.intercept_hook().chunk_case(), kv::LuaChunk::CHUNK_NOT_SET);
    EXPECT_EQ(config.rules().rule_size() + config.rules().variable_size(), 0);
    EXPECT_FALSE(config.process_ip_security_option());
    EXPECT_EQ(config.scan_timeout(), 0u);
}

TEST(defaults, unknown_log_level_reads_as_debug_and_is_kept)
{
    kv::LinuxFirewallConfig config;
    ASSERT_TRUE(config.ParseFromString(bytes({0x08, 0x07})));
    EXPECT_FALSE(config.has_log_level());
    EXPECT_EQ(config.log_level(), kv::LOG_LEVEL_DEBUG);
    EXPECT_EQ(schema_test::hex(config.SerializeAsString()), "08 07");
}

} // namespace
