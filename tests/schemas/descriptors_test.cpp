// The compiled schemas as a whole: the files, their imports and the totals of
// what they declare, read back from the generated descriptor pool.
#include <gtest/gtest.h>

#include <google/protobuf/descriptor.h>
#include <google/protobuf/descriptor.pb.h>

#include <string>
#include <vector>

#include "annotation.pb.h"
#include "application.pb.h"
#include "error.pb.h"
#include "fw/service/rule_info.pb.h"
#include "linux_firewall_appinfo.pb.h"
#include "linux_firewall_config.pb.h"
#include "marend_linux_firewall_ipc.pb.h"
#include "pellad_client_ipc.pb.h"
#include "quisad_client_ipc.pb.h"

namespace {

using google::protobuf::Descriptor;
using google::protobuf::DescriptorPool;
using google::protobuf::EnumDescriptor;
using google::protobuf::FieldDescriptor;
using google::protobuf::FileDescriptor;

struct file_case_t {
    std::string name;
    std::string package;
    std::vector<std::string> imports;
};

// Every schema file with its imports, in the order the file lists them.
const std::vector<file_case_t> schema_files = {
    {"annotation.proto", "kv", {"google/protobuf/descriptor.proto"}},
    {"error.proto", "kv", {"annotation.proto"}},
    {"application.proto", "kv", {"annotation.proto", "error.proto"}},
    {"fwmark.proto", "kv", {}},
    {"lua_chunk.proto", "kv", {}},
    {"nfqueue.proto", "kv", {}},
    {"socket.proto", "kv", {}},
    {"log.proto", "kv", {"annotation.proto"}},
    {"network.proto", "kv", {}},
    {"pair.proto", "kv", {}},
    {"protocol.proto", "kv", {}},
    {"dnsxl.proto", "kv", {}},
    {"connection_match.proto", "kv", {}},
    {"url_category.proto", "kv", {"annotation.proto"}},
    {"scan_report.proto", "kv", {"annotation.proto"}},
    {"list.proto",
     "kv",
     {"annotation.proto", "network.proto", "scan_report.proto", "socket.proto", "url_category.proto",
      "protocol.proto", "pair.proto", "connection_match.proto", "dnsxl.proto"}},
    {"rules.proto",
     "kv",
     {"annotation.proto", "list.proto", "protocol.proto", "scan_report.proto", "socket.proto",
      "dnsxl.proto"}},
    {"linux_firewall_config.proto",
     "kv",
     {"annotation.proto", "application.proto", "fwmark.proto", "list.proto", "log.proto",
      "lua_chunk.proto", "nfqueue.proto", "rules.proto", "socket.proto"}},
    {"linux_firewall_appinfo.proto", "kv", {"application.proto", "error.proto"}},
    {"incident.proto",
     "kv",
     {"annotation.proto", "application.proto", "protocol.proto", "scan_report.proto", "socket.proto",
      "url_category.proto"}},
    {"marend_linux_firewall_ipc.proto",
     "kv",
     {"application.proto", "error.proto", "incident.proto", "linux_firewall_appinfo.proto",
      "linux_firewall_config.proto"}},
    {"pellad_client_ipc.proto", "pd", {"annotation.proto", "rules.proto"}},
    {"quisad_client_ipc.proto", "qd", {"annotation.proto", "error.proto"}},
    {"fw/service/rule_info.proto", "fw.service", {}},
};

const FileDescriptor* find_file(const std::string& name)
{
    // Touching the outermost files links all generated code in; their imports follow.
    static const bool linked = kv::Marend2FirewallMessage::descriptor() && pd::ClientMessage::descriptor()
                               && qd::ServerMessage::descriptor() && fw::service::RuleInfo::descriptor();
    EXPECT_TRUE(linked);
    return DescriptorPool::generated_pool()->FindFileByName(name);
}

TEST(schema_files, are_proto2_in_their_packages_with_their_imports)
{
    for (const auto& c : schema_files) {
        SCOPED_TRACE(c.name);
        const FileDescriptor* file = find_file(c.name);
        ASSERT_NE(file, nullptr);
        EXPECT_EQ(file->syntax(), FileDescriptor::SYNTAX_PROTO2);
        EXPECT_EQ(file->package(), c.package);
        std::vector<std::string> imports;
        for (int i = 0; i < file->dependency_count(); ++i)
            imports.push_back(file->dependency(i)->name());
        EXPECT_EQ(imports, c.imports);
        EXPECT_EQ(file->service_count(), 0);
        // The custom options are the only ones any file sets.
        google::protobuf::FileOptions no_options;
        EXPECT_EQ(file->options().SerializeAsString(), no_options.SerializeAsString());
    }
}

struct totals_t {
    int messages = 0;
    int nested_messages = 0;
    int messages_without_fields = 0;
    int fields = 0;
    int required = 0;
    int repeated = 0;
    int oneofs = 0;
    int enums = 0;
    int enum_values = 0;
    int values_with_lex = 0;
    int extensions = 0;
    int hints = 0;
    int explicit_defaults = 0;
    int packed = 0;
    int extension_ranges = 0;
};

void count_field(const FieldDescriptor* f, totals_t& t)
{
    if (f->is_required())
        ++t.required;
    if (f->is_repeated())
        ++t.repeated;
    if (f->has_default_value())
        ++t.explicit_defaults;
    if (f->options().HasExtension(kv::hint))
        ++t.hints;
    if (f->options().has_packed())
        ++t.packed;
}

void count_enum(const EnumDescriptor* e, totals_t& t)
{
    ++t.enums;
    for (int i = 0; i < e->value_count(); ++i) {
        ++t.enum_values;
        if (e->value(i)->options().HasExtension(kv::lex))
            ++t.values_with_lex;
    }
}

void count_message(const Descriptor* d, bool nested, totals_t& t)
{
    ++t.messages;
    if (nested)
        ++t.nested_messages;
    if (d->field_count() == 0)
        ++t.messages_without_fields;
    t.fields += d->field_count();
    t.oneofs += d->oneof_decl_count();
    t.extension_ranges += d->extension_range_count();
    for (int i = 0; i < d->field_count(); ++i)
        count_field(d->field(i), t);
    for (int i = 0; i < d->extension_count(); ++i)
        ++t.extensions;
    for (int i = 0; i < d->enum_type_count(); ++i)
        count_enum(d->enum_type(i), t);
    for (int i = 0; i < d->nested_type_count(); ++i)
        count_message(d->nested_type(i), true, t);
}

TEST(schema_files, declare_the_expected_totals)
{
    totals_t t;
    for (const auto& c : schema_files) {
        const FileDescriptor* file = find_file(c.name);
        ASSERT_NE(file, nullptr) << c.name;
        for (int i = 0; i < file->message_type_count(); ++i)
            count_message(file->message_type(i), false, t);
        for (int i = 0; i < file->enum_type_count(); ++i)
            count_enum(file->enum_type(i), t);
        t.extensions += file->extension_count();
    }
    EXPECT_EQ(schema_files.size(), 24u);
    EXPECT_EQ(t.messages, 80);
    EXPECT_EQ(t.nested_messages, 10);
    EXPECT_EQ(t.messages_without_fields, 13);
    EXPECT_EQ(t.fields, 365);
    EXPECT_EQ(t.required, 51);
    EXPECT_EQ(t.repeated, 29);
    EXPECT_EQ(t.oneofs, 13);
    EXPECT_EQ(t.enums, 23);
    // 237 values stated with their names, 45 (14 error codes, 31 component
    // ids) named here; every value but APP_GENERIC and those of the enumerations
    // without texts carries a display text.
    EXPECT_EQ(t.enum_values, 282);
    EXPECT_EQ(t.values_with_lex, 191 + 45);
    EXPECT_EQ(t.extensions, 7);
    EXPECT_EQ(t.hints, 13);
    EXPECT_EQ(t.explicit_defaults, 5);
    EXPECT_EQ(t.packed, 0);
    EXPECT_EQ(t.extension_ranges, 3);
}

TEST(schema_files, named_values_fill_the_stated_gaps)
{
    struct enum_case_t {
        const EnumDescriptor* e;
        std::vector<int> numbers;
    };
    const enum_case_t cases[] = {
        {kv::ErrorCode_descriptor(), {85, 90, 91, 110, 111, 112, 114, 116, 118, 119, 120, 121, 123, 124}},
        {kv::Application_descriptor(), {2,   3,   4,   5,   6,   7,   8,   9,   10,  20,  21,
                                        40,  42,  44,  45,  46,  50,  52,  60,  100, 102, 103,
                                        104, 200, 201, 202, 205, 206, 300, 400, 500}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.e->full_name());
        for (int n : c.numbers) {
            const auto* v = c.e->FindValueByNumber(n);
            ASSERT_NE(v, nullptr) << n;
            EXPECT_FALSE(v->options().GetExtension(kv::lex).empty()) << n;
        }
        // Declared in ascending order of number.
        for (int i = 1; i < c.e->value_count(); ++i)
            EXPECT_LT(c.e->value(i - 1)->number(), c.e->value(i)->number());
    }
    EXPECT_EQ(kv::ErrorCode_descriptor()->value_count(), 81 + 14);
    EXPECT_EQ(kv::Application_descriptor()->value_count(), 5 + 31);
}

}  // namespace

namespace {

TEST(schema_options, configuration_record_carries_its_component_and_section)
{
    const auto& options = kv::LinuxFirewallConfig::descriptor()->options();
    EXPECT_EQ(options.GetExtension(kv::app), kv::APP_LINUX_FIREWALL);
    EXPECT_EQ(options.GetExtension(kv::ini_section), "LinuxFirewall");
    const auto* path = kv::LinuxFirewallConfig::descriptor()->FindFieldByName("xtables_lock_path");
    ASSERT_NE(path, nullptr);
    EXPECT_EQ(path->options().GetExtension(kv::hint), kv::HINT_ABSPATH);
}

// Field 203 of the component records parses into the registered extension,
// not into the unknown fields.
TEST(schema_options, component_extensions_are_registered)
{
    kv::AppInfo info;
    info.set_app(kv::APP_LINUX_FIREWALL);
    info.set_pid(1);
    info.MutableExtension(kv::firewall_info)->set_pellad_state(kv::EC_OK);
    kv::AppInfo info_back;
    ASSERT_TRUE(info_back.ParseFromString(info.SerializeAsString()));
    EXPECT_TRUE(info_back.HasExtension(kv::firewall_info));
    EXPECT_EQ(info_back.GetReflection()->GetUnknownFields(info_back).field_count(), 0);

    kv::AppConfig config;
    config.set_app(kv::APP_LINUX_FIREWALL);
    config.MutableExtension(kv::linux_firewall_config)->set_start(true);
    kv::AppConfig config_back;
    ASSERT_TRUE(config_back.ParseFromString(config.SerializeAsString()));
    EXPECT_TRUE(config_back.GetExtension(kv::linux_firewall_config).start());
    EXPECT_EQ(config_back.GetReflection()->GetUnknownFields(config_back).field_count(), 0);
}

} // namespace
