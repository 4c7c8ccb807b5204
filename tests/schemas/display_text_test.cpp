// Display texts of enumeration values: the value's `lex` text, else its name,
// read at run time from the compiled descriptors.
#include <gtest/gtest.h>

#include <google/protobuf/descriptor.h>
#include <google/protobuf/descriptor.pb.h>

#include <set>
#include <string>

#include "annotation.pb.h"
#include "application.pb.h"
#include "error.pb.h"
#include "log.pb.h"
#include "marend_linux_firewall_ipc.pb.h"
#include "pellad_client_ipc.pb.h"
#include "protocol.pb.h"
#include "quisad_client_ipc.pb.h"
#include "rules.pb.h"
#include "scan_report.pb.h"
#include "url_category.pb.h"

namespace {

using google::protobuf::EnumDescriptor;

std::string display_text(const EnumDescriptor* e, int number)
{
    const auto* v = e->FindValueByNumber(number);
    if (v == nullptr)
        return "?";
    const auto& options = v->options();
    return options.HasExtension(kv::lex) ? options.GetExtension(kv::lex) : v->name();
}

struct text_case_t {
    const EnumDescriptor* e;
    int number;
    const char* text;
};

TEST(display_text, is_the_lex_text_else_the_name)
{
    const text_case_t cases[] = {
        {kv::ErrorCode_descriptor(), 0, "Success"},
        {kv::ErrorCode_descriptor(), 12, "Protocol violation"},
        {kv::ErrorCode_descriptor(), 37, "Mounting points are different"},
        {kv::ErrorCode_descriptor(), 88, "Process suspended by the administrator"},
        {kv::ErrorCode_descriptor(), 102, "Invalid configuration"},
        {kv::ErrorCode_descriptor(), 107, "Process terminated by signal"},
        {kv::ErrorCode_descriptor(), 115, "Quisad is not available"},
        {kv::ErrorCode_descriptor(), 125, "Unexpected error"},
        {kv::Application_descriptor(), 99, "APP_GENERIC"},
        {kv::Application_descriptor(), 203, "LinuxFirewall"},
        {kv::Application_descriptor(), 1, "Marend"},
        {kv::Marend2FirewallMessage::MessageTag_descriptor(), 1, "GET_CONFIG_RESPONSE"},
        {kv::Firewall2MarendMessage::MessageTag_descriptor(), 6, "GET_QUISAD_REQUEST"},
        {qd::ServerMessage::ServerMessageTag_descriptor(), 2, "CHECK_RESPONSE"},
        {kv::Protocol_descriptor(), 4, "HTTP"},
        {kv::LogLevel_descriptor(), 4, "Warning"},
        {kv::Log::LogType_descriptor(), 3, "Stderr"},
        {kv::Log::LogFacility_descriptor(), 17, "Local7"},
        {kv::Direction_descriptor(), 1, "request"},
        {kv::Divert_descriptor(), 3, "forward"},
        {kv::UrlCategory_descriptor(), 13, "Copyright owner's notice"},
        {kv::UrlCategory_descriptor(), 21, "Ready-made homeworks"},
        {kv::ArchiveType_descriptor(), 3, "Container"},
        {kv::VirusType_descriptor(), 9, "Exploitable program"},
        {kv::ScanError_descriptor(), 60, "Process memory scaning is not supported on this system"},
        {qd::LookupType_descriptor(), 0, "ldap"},
        {qd::LookupType_descriptor(), 1, "ad"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(display_text(c.e, c.number), c.text) << c.e->full_name() << " " << c.number;
}

// The enumerations whose values are shown by text carry one on every value
// (APP_GENERIC alone excepted); the others carry none.
TEST(display_text, texts_stand_on_exactly_the_enumerations_that_have_them)
{
    const std::set<const EnumDescriptor*> with_texts = {
        kv::ErrorCode_descriptor(),      kv::Application_descriptor(),  kv::LogLevel_descriptor(),
        kv::Log::LogType_descriptor(),   kv::Log::LogFacility_descriptor(), kv::Direction_descriptor(),
        kv::Divert_descriptor(),         kv::ArchiveType_descriptor(),  kv::VirusType_descriptor(),
        kv::ScanError_descriptor(),      kv::UrlCategory_descriptor(),  qd::LookupType_descriptor(),
    };
    const EnumDescriptor* without_texts[] = {
        kv::LexHint_descriptor(),
        kv::Protocol_descriptor(),
        kv::MemoryRegionInfo::Accesses_descriptor(),
        kv::Firewall2MarendMessage::MessageTag_descriptor(),
        kv::Marend2FirewallMessage::MessageTag_descriptor(),
        pd::ClientMessage::ClientMessageTag_descriptor(),
        qd::ClientMessage::ClientMessageTag_descriptor(),
        qd::ServerMessage::ServerMessageTag_descriptor(),
    };
    for (const auto* e : with_texts) {
        for (int i = 0; i < e->value_count(); ++i) {
            const auto* v = e->value(i);
            EXPECT_EQ(v->options().HasExtension(kv::lex), v->full_name() != "kv.APP_GENERIC") << v->full_name();
            EXPECT_FALSE(v->options().HasExtension(kv::forbidden)) << v->full_name();
        }
    }
    for (const auto* e : without_texts)
        for (int i = 0; i < e->value_count(); ++i)
            EXPECT_FALSE(e->value(i)->options().HasExtension(kv::lex)) << e->value(i)->full_name();
}

// Error texts are what the exit line and peer errors print; a wrong one is a
// visible fault, so all of those the daemon raises itself are pinned here.
TEST(display_text, error_codes_the_daemon_raises)
{
    const std::pair<kv::ErrorCode, const char*> cases[] = {
        {kv::EC_OK, "Success"},
        {kv::EC_UNEXPECTED_MESSAGE, "Unexpected IPC message"},
        {kv::EC_PROTOCOL_VIOLATION, "Protocol violation"},
        {kv::EC_NO_MEMORY, "Not enough memory"},
        {kv::EC_NO_SUCH_ENTRY, "No such file or directory"},
        {kv::EC_PERMISSION_DENIED, "Permission denied"},
        {kv::EC_NOT_A_DIRECTORY, "Not a directory"},
        {kv::EC_FILE_EXISTS, "File already exists"},
        {kv::EC_READ_ONLY_FS, "Read-only file system"},
        {kv::EC_UNEXPECTED_EOF, "Unexpected EOF"},
        {kv::EC_NOT_A_REGULAR_FILE, "Not a regular file"},
        {kv::EC_NAME_ALREADY_IN_USE, "Name already in use"},
        {kv::EC_CROSS_DEVICE_LINK, "Mounting points are different"},
        {kv::EC_INVALID_ARGUMENT, "Invalid argument"},
        {kv::EC_APP_SUSPENDED, "Process suspended by the administrator"},
        {kv::EC_BAD_CONFIG, "Invalid configuration"},
        {kv::EC_APP_TERMINATED, "Process terminated by signal"},
        {kv::EC_UNEXPECTED_ERROR, "Unexpected error"},
    };
    const std::pair<kv::ErrorCode, int> numbers[] = {
        {kv::EC_UNEXPECTED_MESSAGE, 11}, {kv::EC_PROTOCOL_VIOLATION, 12}, {kv::EC_NO_MEMORY, 21},
        {kv::EC_NO_SUCH_ENTRY, 23},      {kv::EC_PERMISSION_DENIED, 24},  {kv::EC_NOT_A_DIRECTORY, 25},
        {kv::EC_FILE_EXISTS, 27},        {kv::EC_READ_ONLY_FS, 28},       {kv::EC_UNEXPECTED_EOF, 31},
        {kv::EC_NOT_A_REGULAR_FILE, 33}, {kv::EC_NAME_ALREADY_IN_USE, 34}, {kv::EC_CROSS_DEVICE_LINK, 37},
        {kv::EC_INVALID_ARGUMENT, 60},   {kv::EC_APP_SUSPENDED, 88},      {kv::EC_BAD_CONFIG, 102},
        {kv::EC_APP_TERMINATED, 107},    {kv::EC_UNEXPECTED_ERROR, 125},
    };
    for (const auto& [code, text] : cases)
        EXPECT_EQ(display_text(kv::ErrorCode_descriptor(), code), text) << code;
    for (const auto& [code, number] : numbers)
        EXPECT_EQ(static_cast<int>(code), number);
    EXPECT_FALSE(kv::ErrorCode_IsValid(46));
    EXPECT_FALSE(kv::ErrorCode_IsValid(126));
}

} // namespace
