#include "common/error.hpp"

#include <cerrno>
#include <new>
#include <string>
#include <thread>

#include <boost/filesystem/exception.hpp>
#include <boost/system/system_error.hpp>
#include <gtest/gtest.h>

#include "application.pb.h"
#include "error.pb.h"

namespace {

using boost::system::error_code;

error_code sys(int e)
{
    return {e, boost::system::system_category()};
}

TEST(ErrorCategory, NameAndMessages)
{
    const auto& category = kv::cf_proto_error_category();
    EXPECT_STREQ(category.name(), "kv.Error");
    EXPECT_EQ(category.message(107), "Process terminated by signal");
    EXPECT_EQ(category.message(1000), "kv.Error 1000");
    EXPECT_EQ(category.message(-5), "kv.Error -5");
    EXPECT_EQ(kv::make_error_code(kv::EC_BAD_CONFIG).message(), "Invalid configuration");
    EXPECT_EQ(kv::make_error_code(kv::EC_NO_QUISAD).category(), category);
    // The enum converts implicitly, like any error-code enum.
    error_code ec = kv::EC_APP_SUSPENDED;
    EXPECT_EQ(ec, kv::make_error_code(kv::EC_APP_SUSPENDED));
}

TEST(ErrorCategory, DisplayTexts)
{
    EXPECT_EQ(errorcode_text(0), "Success");
    EXPECT_EQ(errorcode_text(107), "Process terminated by signal");
    EXPECT_EQ(errorcode_text(1000), "1000");
    EXPECT_EQ(errorcode_text(-3), "-3");
    // A value without lex text shows by its name.
    EXPECT_EQ(enum_value_lex(*kv::Application_descriptor()->FindValueByNumber(kv::APP_GENERIC)), "APP_GENERIC");
}

TEST(ErrorStatus, FromErrorCode)
{
    const struct {
        error_code ec;
        int status;
    } cases[] = {
        {error_code(), 0},
        {sys(0), 0},
        {sys(EACCES), 24},
        {sys(EPERM), 24},
        {sys(ENOENT), 23},
        {sys(ENOTDIR), 25},
        {sys(EROFS), 28},
        {sys(EINVAL), 60},
        {sys(EEXIST), 27},
        {sys(EADDRINUSE), 34},
        {sys(EXDEV), 37},
        {sys(ENOMEM), 21},
        {sys(ETIMEDOUT), 125},
        {error_code(EACCES, boost::system::generic_category()), 24},
        {kv::make_error_code(kv::EC_BAD_CONFIG), 102},
        {kv::make_error_code(kv::EC_OK), 0},
        {error_code(46, kv::cf_proto_error_category()), 125},
        // A kv.Error number that is no code must not pass for the errno it equals.
        {error_code(1000, kv::cf_proto_error_category()), 125},
        {error_code(EACCES + 2000, kv::cf_proto_error_category()), 125},
    };
    for (const auto& c : cases)
        EXPECT_EQ(errorcode_from_error_code(c.ec), c.status) << c.ec.category().name() << " " << c.ec.value();
}

std::exception_ptr thrown(auto&& e)
{
    return std::make_exception_ptr(e);
}

TEST(ErrorStatus, FromExceptions)
{
    const struct {
        const char* name;
        std::exception_ptr e;
        error_code code;
        int status;
    } cases[] = {
        {"runtime_error", thrown(std::runtime_error("x")), kv::make_error_code(kv::EC_UNEXPECTED_ERROR), 125},
        {"bad_alloc", thrown(std::bad_alloc()), kv::make_error_code(kv::EC_NO_MEMORY), 21},
        {"cf_proto_exception_t", thrown(cf_proto_exception_t(kv::EC_PROTOCOL_VIOLATION, "x")),
         kv::make_error_code(kv::EC_PROTOCOL_VIOLATION), 12},
        {"cf_exception_t", thrown(cf_exception_t(sys(ENOENT), "x")), sys(ENOENT), 23},
        {"system_error", thrown(boost::system::system_error(sys(EACCES), "x")), sys(EACCES), 24},
        {"filesystem_error", thrown(boost::filesystem::filesystem_error("x", sys(EEXIST))), sys(EEXIST), 27},
        {"system_error of kv.Error", thrown(boost::system::system_error(kv::make_error_code(kv::EC_UNEXPECTED_EOF))),
         kv::make_error_code(kv::EC_UNEXPECTED_EOF), 31},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(error_code_from_exception_ptr(c.e), c.code);
        EXPECT_EQ(errorcode_from_exception_ptr(c.e), c.status);
        try {
            std::rethrow_exception(c.e);
        } catch (const std::exception& e) {
            EXPECT_EQ(error_code_from_exception(e), c.code);
            EXPECT_EQ(errorcode_from_exception(e), c.status);
        }
    }
}

TEST(ErrorStatus, StoredExceptionsThatAreNoStdException)
{
    auto code = std::make_exception_ptr(kv::EC_APP_SUSPENDED);
    EXPECT_EQ(error_code_from_exception_ptr(code), kv::make_error_code(kv::EC_UNEXPECTED_ERROR));
    EXPECT_EQ(describe_exception_ptr(code), "ErrorCode: Process suspended by the administrator");
    auto number = std::make_exception_ptr(42);
    EXPECT_EQ(errorcode_from_exception_ptr(number), 125);
    EXPECT_EQ(describe_exception_ptr(number), "Unexpected exception");
    EXPECT_EQ(error_code_from_exception_ptr(nullptr), kv::make_error_code(kv::EC_OK));
    EXPECT_EQ(describe_exception_ptr(nullptr), "Success");
}

TEST(ErrorExceptions, WhatIsTheMessageAlone)
{
    cf_exception_t e(sys(ENOENT), "Marend: gone");
    EXPECT_STREQ(e.what(), "Marend: gone");
    cf_proto_exception_t p(kv::EC_PROTOCOL_VIOLATION, "bad frame");
    EXPECT_STREQ(p.what(), "bad frame");
    EXPECT_EQ(p.code(), kv::EC_PROTOCOL_VIOLATION);
}

TEST(DescribeException, Texts)
{
    const struct {
        std::string what;
        std::string described;
    } cases[] = {
        {"boost::filesystem::directory_iterator::construct: No such file or directory",
         "opendir: No such file or directory"},
        {"boost::filesystem::status: Permission denied", "status: Permission denied"},
        {"boost::bad_any_cast: failed conversion using boost::any_cast",
         "bad_any_cast: failed conversion using boost::any_cast"},
        {"boost::filesystem::directory_iterator::operator++: x", "operator++: x"},
        {"boost::filesystem::directory_iterator::constructed: x", "constructed: x"},
        {"boost::", ""},
        {"my boost::thing: x", "my boost::thing: x"},
        {"Boost::x: y", "Boost::x: y"},
        {"plain text", "plain text"},
    };
    for (const auto& c : cases) {
        std::runtime_error e(c.what);
        EXPECT_EQ(std::string(describe_exception(e)), c.described) << c.what;
    }
    EXPECT_STREQ(describe_exception(std::bad_alloc()), "Not enough memory");
    // Only the exact type: a derived bad_alloc keeps its own text.
    std::bad_array_new_length derived;
    EXPECT_STREQ(describe_exception(derived), derived.what());
    EXPECT_EQ(describe_exception_ptr(std::make_exception_ptr(std::runtime_error("boost::asio::x: y"))), "x: y");
}

TEST(DescribeException, RewrittenTextBelongsToItsThread)
{
    std::runtime_error mine("boost::filesystem::directory_iterator::construct: mine");
    const char* text = describe_exception(mine);
    std::thread([] {
        std::runtime_error theirs("boost::filesystem::directory_iterator::construct: theirs, a longer text");
        EXPECT_STREQ(describe_exception(theirs), "opendir: theirs, a longer text");
    }).join();
    EXPECT_STREQ(text, "opendir: mine");
}

TEST(ErrorFromPeer, ExceptionPtrFromError)
{
    kv::Error error;
    EXPECT_FALSE(exception_ptr_from_error(error));
    error.set_code(kv::EC_OK);
    error.set_what("ignored");
    EXPECT_FALSE(exception_ptr_from_error(error));

    error.set_code(kv::EC_NO_QUISAD);
    error.clear_what();
    auto e = exception_ptr_from_error(error);
    ASSERT_TRUE(e);
    EXPECT_EQ(describe_exception_ptr(e), "Quisad is not available");
    EXPECT_EQ(errorcode_from_exception_ptr(e), 115);

    error.set_code(kv::EC_PROTOCOL_VIOLATION);
    error.set_what("");
    e = exception_ptr_from_error(error);
    ASSERT_TRUE(e);
    EXPECT_EQ(describe_exception_ptr(e), "");
    error.set_what("peer text");
    e = exception_ptr_from_error(error);
    try {
        std::rethrow_exception(e);
    } catch (const cf_proto_exception_t& p) {
        EXPECT_STREQ(p.what(), "peer text");
        EXPECT_EQ(p.code(), kv::EC_PROTOCOL_VIOLATION);
    }
}

TEST(ErrorFromPeer, ExceptionMessageKeepsTheWholeText)
{
    EXPECT_EQ(kv::util::exception_message(std::make_exception_ptr(std::runtime_error("boost::x: y"))), "boost::x: y");
    EXPECT_EQ(kv::util::exception_message(std::make_exception_ptr(7)), "Unexpected exception");
}

} // namespace
