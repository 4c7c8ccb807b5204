#include "common/exe_info.hpp"

#include <fstream>
#include <sstream>

#include <unistd.h>

#include <boost/filesystem.hpp>
#include <boost/system/system_error.hpp>
#include <gtest/gtest.h>

#include "common/error.hpp"
#include "error.pb.h"
#include "tests/common/temp_dir.hpp"

namespace {

namespace fs = boost::filesystem;

using ExeInfo = morva_test::temp_dir_test_t;

TEST_F(ExeInfo, Md5OfKnownContents)
{
    auto path = dir / "abc";
    std::ofstream(path.string()) << "abc";
    // RFC 1321 test suite: MD5("abc").
    const unsigned char expected[] = {0x90, 0x01, 0x50, 0x98, 0x3c, 0xd2, 0x4f, 0xb0,
                                      0xd6, 0x96, 0x3f, 0x7d, 0x28, 0xe1, 0x7f, 0x72};
    EXPECT_EQ(md5_file_digest(path.string()), std::string(reinterpret_cast<const char*>(expected), 16));
    auto empty = dir / "empty";
    std::ofstream(empty.string()).flush();
    const unsigned char of_nothing[] = {0xd4, 0x1d, 0x8c, 0xd9, 0x8f, 0x00, 0xb2, 0x04,
                                        0xe9, 0x80, 0x09, 0x98, 0xec, 0xf8, 0x42, 0x7e};
    EXPECT_EQ(md5_file_digest(empty.string()), std::string(reinterpret_cast<const char*>(of_nothing), 16));
}

TEST_F(ExeInfo, Md5Failures)
{
    const struct {
        fs::path path;
        std::string text;
        int code;
    } cases[] = {
        {dir / "missing", "MD5: open: No such file or directory: \"" + (dir / "missing").string() + "\"", 23},
        {dir, "MD5: read: Is a directory: \"" + dir.string() + "\"", 125},
        {dir / "a\"b", "MD5: open: No such file or directory: \"" + dir.string() + "/a&\"b\"", 23},
    };
    for (const auto& c : cases) {
        try {
            md5_file_digest(c.path.string());
            ADD_FAILURE() << "no exception for " << c.path;
        } catch (const cf_proto_exception_t& e) {
            EXPECT_EQ(std::string(e.what()), c.text);
            EXPECT_EQ(e.code(), c.code);
        }
    }
}

TEST_F(ExeInfo, Failures)
{
    EXPECT_THROW(make_exe_info("1", 0, nullptr), std::runtime_error);
    try {
        make_exe_info("1", 0, nullptr);
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Unknown exe path");
    }
    std::string directory = dir.string();
    char* argv[] = {directory.data(), nullptr};
    try {
        make_exe_info("1", 1, argv);
        FAIL();
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(e.code(), kv::make_error_code(kv::EC_NOT_A_REGULAR_FILE));
    }
    std::string missing = (dir / "missing").string();
    argv[0] = missing.data();
    EXPECT_THROW(make_exe_info("1", 1, argv), fs::filesystem_error);
}

TEST_F(ExeInfo, RecordOfAFile)
{
    auto path = dir / "prog";
    std::ofstream(path.string()) << "abc";
    std::string name = path.string();
    char* argv[] = {name.data(), nullptr};
    auto info = make_exe_info("2.3.4", 1, argv);
    EXPECT_EQ(info.version(), "2.3.4");
    EXPECT_EQ(info.exe_size(), 3u);
    EXPECT_EQ(info.exe_md5().size(), 16u);
    std::ostringstream json;
    kv::AppExeInfo small;
    small.set_version("1.0");
    small.set_exe_size(5);
    small.set_exe_md5(std::string("\x90\x01", 2));
    print_as_json(json, small);
    EXPECT_EQ(json.str(), R"({"version":"1.0","exeSize":"5","exeMd5":"kAE="})");
    json.str("");
    print_as_json(json, kv::AppExeInfo());
    EXPECT_EQ(json.str(), "{}");
}

} // namespace
