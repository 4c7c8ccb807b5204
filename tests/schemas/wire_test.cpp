// Every byte vector the schemas are known to produce: each message is written,
// compared byte for byte, and read back into an equal message.
#include <gtest/gtest.h>

#include <google/protobuf/message.h>
#include <google/protobuf/util/message_differencer.h>

#include <functional>
#include <memory>
#include <string>

#include "fw/service/rule_info.pb.h"
#include "fwmark.pb.h"
#include "incident.pb.h"
#include "list.pb.h"
#include "log.pb.h"
#include "marend_linux_firewall_ipc.pb.h"
#include "nfqueue.pb.h"
#include "rules.pb.h"
#include "scan_report.pb.h"
#include "socket.pb.h"
#include "tests/schemas/wire.hpp"

namespace {

using google::protobuf::Message;
using google::protobuf::util::MessageDifferencer;
using schema_test::bytes;
using schema_test::type;
using schema_test::hex;

struct encode_case_t {
    const char* name;
    std::function<std::unique_ptr<Message>()> build;
    std::string wire;
};

template <typename T>
std::function<std::unique_ptr<Message>()> make(std::function<void(T&)> fill)
{
    return [fill] {
        auto m = std::make_unique<T>();
        fill(*m);
        return std::unique_ptr<Message>(std::move(m));
    };
}

const encode_case_t encode_cases[] = {
    {"config request", make<kv::Firewall2MarendMessage>([](auto& m) {
         m.set_tag(kv::Firewall2MarendMessage::GET_CONFIG_REQUEST);
     }),
     bytes({0x08, 0x01})},
    {"routing state record", make<fw::service::RuleInfo>([](auto& m) {
         m.set_table_id(100);
         m.set_mark(1);
     }),
     bytes({0x08, 0x64, 0x10, 0x01})},
    {"negative route priority takes ten bytes", make<fw::service::RuleInfo>([](auto& m) {
         m.set_table_id(100);
         m.set_mark(1);
         m.set_priority(-1);
     }),
     bytes({0x08, 0x64, 0x10, 0x01, 0x18, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01})},
    {"manual mark", make<kv::FwMark>([](auto& m) { m.set_manual(4); }), bytes({0x10, 0x04})},
    {"automatic mark", make<kv::FwMark>([](auto& m) { m.mutable_auto_(); }), bytes({0x0a, 0x00})},
    {"no mark chosen", make<kv::FwMark>([](auto&) {}), ""},
    {"divert without mark", make<kv::FwMarkOptional>([](auto& m) { m.mutable_none(); }), bytes({0x1a, 0x00})},
    {"queue number 0 is given, not absent", make<kv::NfqueueNumber>([](auto& m) { m.set_manual(0); }),
     bytes({0x10, 0x00})},
    {"log to stderr with time stamps", make<kv::Log>([](auto& m) {
         m.set_type(kv::Log::STDERR);
         m.set_show_timestamp(true);
     }),
     bytes({0x08, 0x03, 0xa0, 0x01, 0x01})},
    {"ip socket", make<kv::IPSocket>([](auto& m) {
         m.set_address("127.0.0.1");
         m.set_port(80);
     }),
     bytes({0x0a, 0x09, '1', '2', '7', '.', '0', '.', '0', '.', '1', 0x10, 0x50})},
    {"optional socket left out", make<kv::OptionalIPSocket>([](auto&) {}), ""},
    {"empty rule set", make<kv::RuleSet>([](auto&) {}), ""},
    {"rule set with one forward divert variable", make<kv::RuleSet>([](auto& m) {
         m.add_variable()->set_divert(kv::D_FORWARD);
     }),
     bytes({0x12, 0x02, 0x68, 0x03})},
    {"spam score condition is a fixed 32-bit float", make<kv::RuleCondition>([](auto& m) {
         m.set_total_spam_score_gt(5.0f);
     }),
     bytes({0x8d, 0x01, 0x00, 0x00, 0xa0, 0x40})},
    {"negative condition", make<kv::RuleCondition>([](auto& m) { m.set_negative(true); }), bytes({0x08, 0x01})},
    {"list file follows the condition member", make<kv::RuleCondition>([](auto& m) {
         m.set_list_file("/x");
         m.set_user_lookup("u");
     }),
     bytes({0x72, 0x01, 'u', 0xc2, 0x3e, 0x02, '/', 'x'})},
    {"oneof member holding false is written", make<kv::RuleAction>([](auto& m) { m.set_set_unwrap_ssl(false); }),
     bytes({0x50, 0x00})},
    {"protocols unpacked in list order", make<kv::ProtocolList>([](auto& m) {
         m.add_item(kv::HTTP);
         m.add_item(kv::SMTP);
     }),
     bytes({0x08, 0x04, 0x08, 0x01})},
    {"ip list with both lists empty", make<kv::IPList>([](auto& m) {
         m.mutable_net_list();
         m.mutable_addr_list();
     }),
     bytes({0x0a, 0x00, 0x12, 0x00})},
    {"dnsxl report records after the strings", make<kv::DNSxLReport>([](auto& m) {
         m.set_zone("z");
         m.set_resource("r");
         m.add_record(1);
         m.add_record(2);
     }),
     bytes({0x0a, 0x01, 'z', 0x12, 0x01, 'r', 0x18, 0x01, 0x18, 0x02})},
    {"empty connection match", make<kv::ConnectionMatch>([](auto&) {}), ""},
    {"empty string list", make<kv::StringList>([](auto&) {}), ""},
    {"empty path list", make<kv::PathList>([](auto&) {}), ""},
    {"scan report packer types unpacked", make<kv::ScanReport>([](auto& m) {
         m.set_object("o");
         m.add_packer_type(1);
         m.add_packer_type(2);
     }),
     bytes({0x0a, 0x01, 'o', 0x90, 0x03, 0x01, 0x90, 0x03, 0x02})},
    {"scan report without declared-false flags", make<kv::ScanReport>([](auto& m) { m.set_object("o"); }),
     bytes({0x0a, 0x01, 'o'})},
    {"string pair with zero and non-UTF-8 bytes", make<kv::StringBytesPair>([](auto& m) {
         m.set_first(bytes({0xff, 0x00}));
         m.set_second(bytes({0x00, 0xc3}));
     }),
     bytes({0x0a, 0x02, 0xff, 0x00, 0x12, 0x02, 0x00, 0xc3})},
    {"incident with an empty connection block", make<kv::NetIncident>([](auto& m) {
         m.set_origin(kv::APP_LINUX_FIREWALL);
         m.set_origin_pid(1);
         m.mutable_connection_block();
     }),
     bytes({0x08, 0xcb, 0x01, 0x10, 0x01, 0x52, 0x00})},
    {"mail incident url categories unpacked", make<kv::MailIncident>([](auto& m) {
         auto* c = m.mutable_url_categories();
         c->add_url_category(kv::UC_DRUGS);
         c->add_url_category(kv::UC_HOMEWORK);
     }),
     bytes({0x32, 0x04, 0x08, 0x07, 0x08, 0x15})},
};

TEST(wire, messages_encode_to_their_byte_vectors_and_read_back)
{
    for (const auto& c : encode_cases) {
        SCOPED_TRACE(c.name);
        auto built = c.build();
        std::string out;
        ASSERT_TRUE(built->SerializeToString(&out));
        EXPECT_EQ(hex(out), hex(c.wire));
        EXPECT_EQ(built->ByteSizeLong(), c.wire.size());

        std::unique_ptr<Message> read(built->New());
        ASSERT_TRUE(read->ParseFromString(c.wire));
        EXPECT_TRUE(MessageDifferencer::Equals(*built, *read)) << read->ShortDebugString();
    }
}

struct reencode_case_t {
    const char* name;
    std::function<std::unique_ptr<Message>()> make;
    std::string in;
    std::string out;
    std::function<void(const Message&)> check;
};

template <typename T>
std::function<void(const Message&)> expect(std::function<void(const T&)> f)
{
    return [f](const Message& m) { f(static_cast<const T&>(m)); };
}

// Bytes another writer may send: the reader's view of them, and what writing
// them again gives (unknown numbers after the known fields, lists unpacked).
const reencode_case_t reencode_cases[] = {
    {"later oneof member wins over the earlier", type<kv::FwMark>(), bytes({0x0a, 0x00, 0x10, 0x08}),
     bytes({0x10, 0x08}), expect<kv::FwMark>([](const auto& m) {
         EXPECT_EQ(m.mark_case(), kv::FwMark::kManual);
         EXPECT_EQ(m.manual(), 8u);
         EXPECT_FALSE(m.has_auto_());
     })},
    {"later automatic mark replaces the manual one", type<kv::FwMark>(), bytes({0x10, 0x08, 0x0a, 0x00}),
     bytes({0x0a, 0x00}), expect<kv::FwMark>([](const auto& m) {
         EXPECT_TRUE(m.has_auto_());
         EXPECT_FALSE(m.has_manual());
     })},
    {"log type outside its enumeration stays unknown", type<kv::Log>(), bytes({0x08, 0x09}), bytes({0x08, 0x09}),
     expect<kv::Log>([](const auto& m) {
         EXPECT_FALSE(m.has_type());
         EXPECT_EQ(m.type(), kv::Log::SYSLOG);
     })},
    {"log facility 5 is no value", type<kv::Log>(), bytes({0x08, 0x02, 0x10, 0x05}), bytes({0x08, 0x02, 0x10, 0x05}),
     expect<kv::Log>([](const auto& m) {
         EXPECT_EQ(m.type(), kv::Log::FILE);
         EXPECT_FALSE(m.has_facility());
         EXPECT_EQ(m.facility(), kv::Log::DAEMON);
         EXPECT_EQ(m.GetReflection()->GetUnknownFields(m).field_count(), 1);
     })},
    {"last string member of a condition wins", type<kv::RuleCondition>(),
     bytes({0x22, 0x01, 'a', 0x72, 0x01, 'b'}), bytes({0x72, 0x01, 'b'}),
     expect<kv::RuleCondition>([](const auto& m) {
         EXPECT_EQ(m.condition_case(), kv::RuleCondition::kUserLookup);
         EXPECT_FALSE(m.has_sni_host_lookup());
     })},
    {"divert outside its enumeration selects nothing", type<kv::RuleVariable>(), bytes({0x68, 0x07}),
     bytes({0x68, 0x07}), expect<kv::RuleVariable>([](const auto& m) {
         EXPECT_EQ(m.variable_case(), kv::RuleVariable::VARIABLE_NOT_SET);
         EXPECT_EQ(m.divert(), kv::D_INPUT);
     })},
    {"undefined action number 7 survives", type<kv::RuleAction>(), bytes({0x38, 0x01, 0x4a, 0x00}),
     bytes({0x4a, 0x00, 0x38, 0x01}), expect<kv::RuleAction>([](const auto& m) { EXPECT_TRUE(m.has_pass()); })},
    {"packed protocols read as the unpacked list", type<kv::ProtocolList>(), bytes({0x0a, 0x02, 0x04, 0x01}),
     bytes({0x08, 0x04, 0x08, 0x01}), expect<kv::ProtocolList>([](const auto& m) {
         ASSERT_EQ(m.item_size(), 2);
         EXPECT_EQ(m.item(0), kv::HTTP);
         EXPECT_EQ(m.item(1), kv::SMTP);
     })},
    {"url category 18 is left out of the list", type<kv::UrlCategoryList>(), bytes({0x08, 0x12, 0x08, 0x03}),
     bytes({0x08, 0x03, 0x08, 0x12}), expect<kv::UrlCategoryList>([](const auto& m) {
         ASSERT_EQ(m.item_size(), 1);
         EXPECT_EQ(m.item(0), kv::UC_ADULT_CONTENT);
     })},
    {"packed packer types are read in full", type<kv::ScanReport>(),
     bytes({0x0a, 0x01, 'o', 0x92, 0x03, 0x02, 0x05, 0x06}), bytes({0x0a, 0x01, 'o', 0x90, 0x03, 0x05, 0x90, 0x03, 0x06}),
     expect<kv::ScanReport>([](const auto& m) { EXPECT_EQ(m.packer_type_size(), 2); })},
    {"scan error 11 goes after the known fields", type<kv::ScanReport>(),
     bytes({0x0a, 0x01, 'o', 0x38, 0x0b, 0x40, 0x01}), bytes({0x0a, 0x01, 'o', 0x40, 0x01, 0x38, 0x0b}),
     expect<kv::ScanReport>([](const auto& m) {
         EXPECT_FALSE(m.has_error());
         EXPECT_EQ(m.error(), kv::KUVO_PATH_NOT_ABSOLUTE);
         EXPECT_TRUE(m.cured());
     })},
    {"packed mail url categories, 18 kept unknown", type<kv::MailIncident::UrlCategories>(),
     bytes({0x0a, 0x03, 0x07, 0x12, 0x15}), bytes({0x08, 0x07, 0x08, 0x15, 0x08, 0x12}),
     expect<kv::MailIncident::UrlCategories>([](const auto& m) { EXPECT_EQ(m.url_category_size(), 2); })},
    {"same message member twice is merged", type<kv::RuleAction>(),
     bytes({0x32, 0x03, 0x0a, 0x01, 'a', 0x32, 0x00}), bytes({0x32, 0x03, 0x0a, 0x01, 'a'}),
     expect<kv::RuleAction>([](const auto& m) { EXPECT_EQ(m.tempfail().description(), "a"); })},
};

TEST(wire, foreign_bytes_read_as_specified_and_write_back)
{
    for (const auto& c : reencode_cases) {
        SCOPED_TRACE(c.name);
        auto m = c.make();
        ASSERT_TRUE(m->ParsePartialFromString(c.in));
        c.check(*m);
        EXPECT_EQ(hex(m->SerializePartialAsString()), hex(c.out));
    }
}

TEST(wire, later_local_alternative_replaces_an_incomplete_socket)
{
    // ip (2) without port, then local (1): the incomplete socket is dropped.
    kv::AnySocket s;
    ASSERT_TRUE(s.ParseFromString(bytes({0x12, 0x03, 0x0a, 0x01, 'a', 0x0a, 0x01, '/'})));
    EXPECT_EQ(s.type_case(), kv::AnySocket::kLocal);
    EXPECT_EQ(s.local(), "/");
}

} // namespace
