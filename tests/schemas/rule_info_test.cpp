// The routing state file: one record written straight to a descriptor without
// testing required fields, read back from a descriptor strictly.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "fw/service/rule_info.pb.h"
#include "tests/schemas/wire.hpp"

namespace {

using schema_test::bytes;
using schema_test::hex;

class state_file_t : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/morva-rule-info-XXXXXX";
        int fd = ::mkstemp(tmpl);
        ASSERT_GE(fd, 0);
        ::close(fd);
        path_ = tmpl;
    }
    void TearDown() override { ::unlink(path_.c_str()); }

    void write(const fw::service::RuleInfo& info)
    {
        int fd = ::open(path_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        EXPECT_TRUE(info.SerializePartialToFileDescriptor(fd));
        ::close(fd);
    }
    void write_raw(const std::string& data)
    {
        int fd = ::open(path_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
        ::close(fd);
    }
    std::string content() const
    {
        std::string out;
        int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
        char buf[64];
        for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;)
            out.append(buf, static_cast<size_t>(n));
        ::close(fd);
        return out;
    }
    bool read(fw::service::RuleInfo& info) const
    {
        int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
        bool ok = info.ParseFromFileDescriptor(fd);
        ::close(fd);
        return ok;
    }

    std::string path_;
};

TEST_F(state_file_t, record_without_priority_round_trips_with_priority_absent)
{
    fw::service::RuleInfo info;
    info.set_table_id(100);
    info.set_mark(1);
    write(info);
    EXPECT_EQ(hex(content()), "08 64 10 01");

    fw::service::RuleInfo back;
    back.set_priority(5);
    ASSERT_TRUE(read(back));
    EXPECT_EQ(back.table_id(), 100u);
    EXPECT_EQ(back.mark(), 1u);
    EXPECT_FALSE(back.has_priority());
}

TEST_F(state_file_t, negative_priority_comes_back_in_its_low_32_bits)
{
    fw::service::RuleInfo info;
    info.set_table_id(7);
    info.set_mark(0x10000);
    info.set_priority(static_cast<int64_t>(int32_t{-2}));
    write(info);
    EXPECT_EQ(content().size(), 2u + 4u + 11u);

    fw::service::RuleInfo back;
    ASSERT_TRUE(read(back));
    EXPECT_EQ(static_cast<int32_t>(back.priority()), -2);
    EXPECT_EQ(back.mark(), 0x10000u);
}

TEST_F(state_file_t, partial_write_succeeds_but_the_read_fails)
{
    // The writer does not test required fields; the reader does.
    fw::service::RuleInfo info;
    info.set_table_id(100);
    write(info);
    EXPECT_EQ(hex(content()), "08 64");
    fw::service::RuleInfo back;
    EXPECT_FALSE(read(back));
}

TEST_F(state_file_t, empty_or_garbled_files_do_not_parse)
{
    for (const std::string& data : {std::string(), bytes({0x08, 0x64, 0x10}), bytes({0x10, 0x01, 0xff})}) {
        SCOPED_TRACE(hex(data));
        write_raw(data);
        fw::service::RuleInfo back;
        EXPECT_FALSE(read(back));
    }
}

} // namespace
