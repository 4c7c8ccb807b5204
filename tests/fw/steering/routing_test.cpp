// The routing service's messages, dump reading, table choice and state file.
#include "fw/steering/routing.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <vector>

#include <net/if.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <functional>

#include <linux/fib_rules.h>
#include <linux/rtnetlink.h>

#include <boost/system/system_error.hpp>

#include "fw/service/rule_info.pb.h"
#include "linux/netlink/routing_message.hpp"
#include "linux/netlink/sync_link.hpp"
#include "tests/common/recording_log.hpp"
#include "tests/common/temp_dir.hpp"

namespace {

using namespace fw::service;
using fw::linux::netlink::netlink_reply_t;
using fw::linux::rtnetlink::routing::message_t;
using bytes_t = std::vector<std::uint8_t>;

bytes_t u32(std::uint32_t v)
{
    return {std::uint8_t(v), std::uint8_t(v >> 8), std::uint8_t(v >> 16), std::uint8_t(v >> 24)};
}

bytes_t join(std::initializer_list<bytes_t> parts)
{
    bytes_t out;
    for (const bytes_t& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

TEST(routing, route_and_rule_messages)
{
    const std::uint32_t lo = ::if_nametoindex("lo");
    ASSERT_NE(lo, 0u);
    struct case_t {
        const char* name;
        bytes_t got;
        bytes_t expected;
    };
    const case_t cases[] = {
        {"route with metric", make_route_message(100, true, 2147483647).serialize(),
         join({{2, 0, 0, 0, 100, RTPROT_BOOT, RT_SCOPE_HOST, RTN_LOCAL, 0, 0, 0, 0},
               {8, 0, RTA_OIF, 0}, u32(lo), {8, 0, RTA_PRIORITY, 0}, u32(0x7fffffff)})},
        {"route without metric", make_route_message(200, false, 5).serialize(),
         join({{2, 0, 0, 0, 200, 3, 254, 2, 0, 0, 0, 0}, {8, 0, 4, 0}, u32(lo)})},
        {"route in a table beyond the header byte", make_route_message(300, false, 0).serialize(),
         join({{2, 0, 0, 0, 0, 3, 254, 2, 0, 0, 0, 0}, {8, 0, 4, 0}, u32(lo), {8, 0, RTA_TABLE, 0}, u32(300)})},
        {"rule to install", make_rule_message(100, 4, FR_ACT_TO_TBL).serialize(),
         join({{2, 0, 0, 0, 100, 0, 0, 1, 0, 0, 0, 0}, {8, 0, FRA_FWMARK, 0}, u32(4), {8, 0, FRA_FWMASK, 0}, u32(4)})},
        {"rule to remove", make_rule_message(150, 0x80000000u, 0).serialize(),
         join({{2, 0, 0, 0, 150, 0, 0, 0, 0, 0, 0, 0}, {8, 0, 10, 0}, u32(0x80000000u), {8, 0, 16, 0},
               u32(0x80000000u)})},
    };
    for (const case_t& c : cases)
        EXPECT_EQ(c.got, c.expected) << c.name;
}

TEST(routing, route_texts)
{
    EXPECT_EQ(local_route_text(100, std::nullopt), "table 100");
    EXPECT_EQ(local_route_text(200, 2147483647), "table 200, metric 2147483647");
    EXPECT_EQ(local_route_text(4000000000u, -1), "table 4000000000, metric -1");
}

netlink_reply_t reply_of(std::uint16_t type, const bytes_t& payload)
{
    return {type, fw::linux::netlink::byte_array_t(payload.data(), payload.size())};
}

netlink_reply_t dump_entry(std::uint16_t type, std::uint8_t header_table, std::optional<std::uint32_t> attribute)
{
    message_t message(AF_INET);
    message.set_table(header_table);
    if (attribute)
        *message.attributes().add_zeroed<std::uint32_t>(RTA_TABLE) = *attribute;
    return reply_of(type, message.serialize());
}

TEST(routing, tables_of_route_and_rule_dumps)
{
    std::list<netlink_reply_t> replies;
    replies.push_back(dump_entry(RTM_NEWROUTE, 254, 254));
    replies.push_back(dump_entry(RTM_NEWROUTE, 100, std::nullopt)); // the header byte is enough
    replies.push_back(dump_entry(RTM_NEWRULE, 0, 150));             // not in the header: the attribute
    replies.push_back(dump_entry(RTM_NEWRULE, 252, 1000));           // the header byte wins
    EXPECT_EQ(tables_in_use(replies), (std::set<std::uint32_t>{100, 150, 252, 254}));
    EXPECT_TRUE(tables_in_use({}).empty());
}

TEST(routing, malformed_dumps)
{
    struct case_t {
        const char* name;
        netlink_reply_t reply;
        const char* error;
    };
    case_t cases[] = {
        {"an error reply", reply_of(NLMSG_ERROR, bytes_t(20)), "rtnetlink: Unexpected message"},
        {"a link message", dump_entry(RTM_NEWLINK, 100, std::nullopt), "rtnetlink: Unexpected message"},
        {"no table at all", dump_entry(RTM_NEWRULE, 0, std::nullopt), "netlink: 15: No such attribute"},
        {"short table attribute", reply_of(RTM_NEWROUTE, join({bytes_t(12), {6, 0, RTA_TABLE, 0, 150, 0, 0, 0}})),
         "netlink: Invalid attribute type"},
        {"short header", reply_of(RTM_NEWROUTE, bytes_t(11)), "Cannot parse rtnetlink message: Truncated message"},
    };
    for (case_t& c : cases) {
        SCOPED_TRACE(c.name);
        std::list<netlink_reply_t> replies;
        replies.push_back(dump_entry(RTM_NEWROUTE, 100, std::nullopt));
        replies.push_back(std::move(c.reply));
        try {
            tables_in_use(replies);
            ADD_FAILURE() << "no error";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), c.error);
        }
    }
    std::list<netlink_reply_t> no_table;
    no_table.push_back(dump_entry(RTM_NEWRULE, 0, std::nullopt));
    EXPECT_THROW(tables_in_use(no_table), fw::linux::netlink::compound_attribute_t::no_such_attribute_t);
}

TEST(routing, first_free_table_from_100_to_200)
{
    std::set<std::uint32_t> up_to_199;
    for (std::uint32_t t = 100; t < 200; ++t)
        up_to_199.insert(t);
    EXPECT_EQ(free_routing_table({}), 100u);
    EXPECT_EQ(free_routing_table({99, 101, 201, 254, 255}), 100u);
    EXPECT_EQ(free_routing_table({100, 101, 103}), 102u);
    EXPECT_EQ(free_routing_table(up_to_199), 200u);
    up_to_199.insert(200);
    try {
        free_routing_table(up_to_199);
        ADD_FAILURE() << "a table was found";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Cannot find free routing table");
    }
}

// ---- state file -------------------------------------------------------------

class rule_info_test : public morva_test::temp_dir_test_t {
protected:
    void SetUp() override
    {
        temp_dir_test_t::SetUp();
        path = (dir / "rule_info.dat").string();
        cf_log_install(log);
        cf_log_threshold = 0;
    }

    void write_bytes(const std::string& bytes)
    {
        std::ofstream(path, std::ios::binary) << bytes;
    }

    std::string path;
    std::shared_ptr<morva_test::recording_log_t> log = std::make_shared<morva_test::recording_log_t>();
};

TEST_F(rule_info_test, written_whole_and_read_back_until_removed)
{
    const rule_record_t records[] = {{100, 1, 2147483647}, {200, 0x80000000u, 2147483647}};
    for (const rule_record_t& record : records) {
        write_rule_info(record, path);
        struct stat st {};
        ASSERT_EQ(::stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0600u);

        RuleInfo info;
        std::ifstream in(path, std::ios::binary);
        ASSERT_TRUE(info.ParseFromIstream(&in));
        EXPECT_EQ(info.table_id(), record.table_id);
        EXPECT_EQ(info.mark(), record.fwmark);
        EXPECT_EQ(info.priority(), *record.metric);

        EXPECT_EQ(read_rule_info(path), record);
        EXPECT_EQ(peek_rule_info(path), record);
        EXPECT_EQ(read_rule_info(path), record) << "reading leaves the record";
        remove_rule_info(path);
        EXPECT_FALSE(boost::filesystem::exists(path));
        EXPECT_EQ(read_rule_info(path), std::nullopt);
        remove_rule_info(path);
    }
    // A new record replaces the old one whole; a temporary file left by a crash is no obstacle.
    write_rule_info({100, 1, 2147483647}, path);
    write_bytes("");
    std::ofstream(path + ".new") << "left";
    write_rule_info({101, 2, 2147483647}, path);
    EXPECT_EQ(read_rule_info(path), (rule_record_t{101, 2, 2147483647}));
    EXPECT_FALSE(boost::filesystem::exists(path + ".new"));
    EXPECT_TRUE(log->taken().empty());
}

std::string rule_info_bytes(std::uint32_t table, std::uint32_t mark, std::optional<std::int64_t> priority)
{
    RuleInfo info;
    info.set_table_id(table);
    info.set_mark(mark);
    if (priority)
        info.set_priority(*priority);
    return info.SerializeAsString();
}

TEST_F(rule_info_test, a_file_the_daemon_cannot_have_written_is_removed_with_a_warning_and_nothing_else)
{
    RuleInfo without_mark;
    without_mark.set_table_id(100);
    const std::string foreign = "3 Ignoring file " + path + ": it records no local delivery routing of this daemon (";
    const struct {
        const char* name;
        std::function<void()> make;
        std::string warning;
    } cases[] = {
        {"garbage", [&] { write_bytes("garbage\xff\xff\xff"); }, "3 Cannot parse file " + path},
        {"no mark", [&] { write_bytes(without_mark.SerializePartialAsString()); }, "3 Cannot parse file " + path},
        {"empty", [&] { write_bytes(""); }, "3 Cannot parse file " + path},
        {"too long", [&] { write_bytes(rule_info_bytes(100, 1, 2147483647) + std::string(100, '\0')); },
         "3 Cannot parse file " + path},
        {"main table, mark 0", [&] { write_bytes(std::string("\x08\xfe\x01\x10\x00", 5)); },
         foreign + "table 254, fwmark 0)"},
        {"below the range", [&] { write_bytes(rule_info_bytes(99, 1, 2147483647)); },
         foreign + "table 99, fwmark 1, metric 2147483647)"},
        {"above the range", [&] { write_bytes(rule_info_bytes(201, 1, 2147483647)); },
         foreign + "table 201, fwmark 1, metric 2147483647)"},
        {"two mark bits", [&] { write_bytes(rule_info_bytes(100, 3, 2147483647)); },
         foreign + "table 100, fwmark 3, metric 2147483647)"},
        {"no metric", [&] { write_bytes(rule_info_bytes(100, 1, std::nullopt)); }, foreign + "table 100, fwmark 1)"},
        {"another metric", [&] { write_bytes(rule_info_bytes(100, 1, 5)); },
         foreign + "table 100, fwmark 1, metric 5)"},
        {"a metric beyond an int", [&] { write_bytes(rule_info_bytes(100, 1, 2147483647 + (std::int64_t{1} << 32))); },
         foreign + "table 100, fwmark 1)"},
        {"unknown fields", [&] { write_bytes(rule_info_bytes(100, 1, 2147483647) + "\x20\x01"); },
         foreign + "table 100, fwmark 1, metric 2147483647)"},
        {"a link to a record", [&] {
             write_rule_info({100, 1, 2147483647}, path + ".target");
             boost::filesystem::create_symlink(path + ".target", path);
         }, "3 Ignoring file " + path + ": not a regular file"},
        {"a FIFO", [&] { ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0); },
         "3 Ignoring file " + path + ": not a regular file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        c.make();
        EXPECT_EQ(peek_rule_info(path), std::nullopt);
        EXPECT_EQ(read_rule_info(path), std::nullopt);
        EXPECT_FALSE(boost::filesystem::exists(boost::filesystem::symlink_status(path)));
        EXPECT_EQ(log->taken(), std::vector<std::string>{c.warning});
    }
    EXPECT_EQ(read_rule_info(path + ".target"), (rule_record_t{100, 1, 2147483647})) << "a link's target stays";
}

TEST_F(rule_info_test, file_errors)
{
    auto expect_error = [](auto&& action, int code, const std::string& text) {
        try {
            action();
            ADD_FAILURE() << "no error for " << text;
        } catch (const boost::system::system_error& e) {
            EXPECT_EQ(e.code().value(), code);
            EXPECT_EQ(std::string(e.what()).substr(0, text.size() + 2), text + ": ");
        }
    };
    const std::string beneath_a_file = path + "/rule_info.dat";
    write_rule_info({100, 1, 2147483647}, path);
    expect_error([&] { read_rule_info(beneath_a_file); }, ENOTDIR, "Cannot open file " + beneath_a_file);
    expect_error([&] { write_rule_info({100, 1, 2147483647}, beneath_a_file); }, ENOTDIR,
                 "Cannot remove file " + beneath_a_file + ".new");
    EXPECT_EQ(peek_rule_info(beneath_a_file), std::nullopt);

    // A directory is not a file the daemon wrote, and cannot be unlinked.
    const std::string directory = (dir / "a-directory").string();
    boost::filesystem::create_directory(directory);
    expect_error([&] { read_rule_info(directory); }, EISDIR, "Cannot remove file " + directory);
}

} // namespace
