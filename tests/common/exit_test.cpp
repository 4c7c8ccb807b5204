// How the process ends. Each case runs in a forked child; the parent never
// installs a log object, so every child starts with the log buffering.
#include <cstdlib>
#include <exception>
#include <fstream>
#include <new>
#include <sstream>

#include <boost/system/system_error.hpp>
#include <gtest/gtest.h>

#include "common/error.hpp"
#include "common/exit.hpp"
#include "common/log.hpp"
#include "common/log_sinks.hpp"
#include "error.pb.h"
#include "log.pb.h"
#include "tests/common/fork.hpp"

namespace {

using morva_test::run_in_child;

const char* late_line = nullptr;

// Runs after every exit handler of the process, the log's exit flush included.
[[gnu::destructor]] void log_late()
{
    if (late_line)
        cf_log(4, late_line);
}

TEST(ExitFlush, BufferedLinesGoToStandardError)
{
    auto r = run_in_child([] {
        cf_log(0, "debug");
        cf_log(3, "warning");
        cf_log_tagged("Session", 1, "tagged");
        std::exit(0);
    });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Debug: Flushing log...\nDebug: debug\nWarning: warning\nError: Session-1: tagged\n");

    r = run_in_child([] {
        cf_log(0, "debug");
        cf_log(3, "warning");
        cf_log_threshold = 2;
        std::exit(3);
    });
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, "Warning: warning\n");
}

TEST(ExitFlush, AfterExitLinesGoToStandardErrorNotToTheInstalledLog)
{
    std::string path = "/tmp/morva-exit-" + std::to_string(::getpid()) + ".log";
    auto r = run_in_child([&] {
        kv::Log cfg;
        cfg.set_type(kv::Log::FILE);
        cfg.set_path(path);
        cf_log_install(make_log(cfg, nullptr, nullptr));
        cf_log(1, "while installed");
        late_line = "late";
        std::exit(0);
    });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Error: late\n");
    std::ifstream in(path);
    std::stringstream file;
    file << in.rdbuf();
    EXPECT_NE(file.str().find("Info: while installed\n"), std::string::npos);
    EXPECT_EQ(file.str().find("late"), std::string::npos);
    std::remove(path.c_str());
}

TEST(ExitWithStatus, LineAndStatus)
{
    const struct {
        int threshold;
        bool install;
        int status;
        std::string err;
    } cases[] = {
        {2, true, 107, "Notice: Exit with status 107 (Process terminated by signal)\n"},
        {4, true, 107, ""},
        // Nothing installed: the console log comes first, at threshold 2.
        {4, false, 0, "Notice: Exit with status 0 (Success)\n"},
        {2, true, 124 + 1, "Notice: Exit with status 125 (Unexpected error)\n"},
        {0, true, 200, "Notice: Exit with status 200 (200)\n"},
    };
    for (const auto& c : cases) {
        auto r = run_in_child([&] {
            cf_log_threshold = c.threshold;
            if (c.install)
                cf_log_install(make_default_log());
            exit_with_status(c.status);
        });
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err, c.err);
    }
}

template <typename E>
[[noreturn]] void raise(E e)
{
    throw e;
}

// The exception leaves a noexcept function: std::terminate with it current.
template <typename E>
void throw_uncaught(E e) noexcept
{
    raise(e);
}

TEST(TerminateHandler, StatusAndLineOfTheEscapingException)
{
    const struct {
        const char* name;
        std::function<void()> fail;
        int status;
        std::string err;
    } cases[] = {
        {"runtime_error", [] { throw_uncaught(std::runtime_error("boost::asio::x: broken")); }, 125,
         "Error: x: broken\n"},
        {"cf_proto_exception_t", [] { throw_uncaught(cf_proto_exception_t(kv::EC_PROTOCOL_VIOLATION, "bad peer")); },
         12, "Error: bad peer\n"},
        {"system_error", [] {
             throw_uncaught(boost::system::system_error(
                 boost::system::error_code(EACCES, boost::system::system_category()), "connect"));
         },
         24, "Error: connect: Permission denied\n"},
        {"bad_alloc", [] { throw_uncaught(std::bad_alloc()); }, 21, "Error: Not enough memory\n"},
        {"kv.ErrorCode", [] { throw_uncaught(kv::EC_BAD_CONFIG); }, 125, "Error: Unexpected exception\n"},
        {"int", [] { throw_uncaught(7); }, 125, "Error: Unexpected exception\n"},
        {"no exception", [] { std::terminate(); }, 125, "Error: Unexpected exception\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto r = run_in_child([&] {
            std::set_terminate(terminate_handler);
            c.fail();
        });
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err, c.err);
    }
}

TEST(TerminateHandler, SkipsTheExitFlush)
{
    auto r = run_in_child([] {
        std::set_terminate(terminate_handler);
        cf_log_threshold = 4;
        cf_log_install(make_default_log());
        cf_log_threshold = 0;
        throw_uncaught(std::runtime_error("gone"));
    });
    EXPECT_EQ(r.status, 125);
    EXPECT_EQ(r.err, "Error: gone\n");
}

} // namespace
