// The process log from start to installation: these tests share the one log
// of the process and run in the order written.
#include "common/log.hpp"

#include <atomic>
#include <memory>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/exit.hpp"
#include "common/log_sinks.hpp"
#include "log.pb.h"
#include "tests/common/recording_log.hpp"

namespace {

using morva_test::recording_log_t;
using testing::ElementsAre;

TEST(ProcessLog, LevelNames)
{
    const char* names[] = {"Debug", "Info", "Notice", "Warning", "Error"};
    for (int level = 0; level < 5; ++level)
        EXPECT_STREQ(cf_log_level_name(level), names[level]);
    EXPECT_STREQ(cf_log_level_name(7), "Unknown");
    EXPECT_STREQ(cf_log_level_name(-1), "Unknown");
}

TEST(ProcessLog, BufferedUntilInstalledThenReplayedAboveTheThreshold)
{
    ASSERT_FALSE(cf_log_installed());
    cf_log(0, "debug before");
    cf_log(3, "warning before");
    cf_log_tagged("Session", 5, "tagged before");
    cf_log(2, "notice before");
    cf_log_threshold = 2;

    std::vector<std::string> plain;
    std::vector<std::string> tagged;
    auto log = std::make_shared<recording_log_t>([&](std::string const& line) { plain.push_back(line); },
                                                 [&](std::string const& line) { tagged.push_back(line); });
    cf_log_install(log);
    EXPECT_TRUE(cf_log_installed());
    EXPECT_EQ(log->opened, 1);
    EXPECT_THAT(log->taken(), ElementsAre("3 warning before", "4 Session-5: tagged before", "2 notice before"));
    EXPECT_THAT(plain, ElementsAre("Warning: warning before", "Error: Session-5: tagged before",
                                   "Notice: notice before"));

    // Installed: no threshold test inside the log, tagged lines keep their form.
    plain.clear();
    cf_log(0, "now");
    cf_log_tagged("Session", 6, "tagged now");
    EXPECT_THAT(log->taken(), ElementsAre("0 now", "tagged Session 6 tagged now"));
    EXPECT_THAT(plain, ElementsAre("Debug: now"));
    EXPECT_THAT(tagged, ElementsAre("[Session-6] tagged now"));

    cf_log_out_of_memory();
    EXPECT_EQ(log->out_of_memory_calls, 1);
    cf_log_threshold = 0;
}

TEST(ProcessLog, NoSinkKeepsTheInstalledObject)
{
    auto first = std::make_shared<recording_log_t>();
    cf_log_install(first);
    // The factory gives no sink for AUTO; installing that must not break logging.
    kv::Log automatic;
    automatic.set_type(kv::Log::AUTO);
    auto none = make_log(automatic, nullptr, nullptr);
    EXPECT_FALSE(none);
    cf_log_install(none);
    EXPECT_TRUE(cf_log_installed());
    cf_log(1, "still here");
    EXPECT_THAT(first->taken(), ElementsAre("1 still here"));
}

TEST(ProcessLog, ReplacedObjectIsReleased)
{
    auto first = std::make_shared<recording_log_t>();
    cf_log_install(first);
    std::weak_ptr<recording_log_t> watch = first;
    first.reset();
    auto second = std::make_shared<recording_log_t>();
    cf_log_install(second);
    EXPECT_TRUE(watch.expired());
    cf_log(4, "x");
    EXPECT_THAT(second->taken(), ElementsAre("4 x"));
}

// A worker thread logs while the main thread installs new objects: every line
// reaches exactly one object, and no object dies under a writer.
TEST(ProcessLog, InstallWhileAnotherThreadLogs)
{
    constexpr int lines = 4000;
    std::atomic<int> copies{0};
    auto counting = [&](std::string const&) { ++copies; };
    std::vector<std::shared_ptr<recording_log_t>> logs;
    logs.push_back(std::make_shared<recording_log_t>(counting, counting));
    cf_log_install(logs.back());
    std::atomic<bool> done{false};
    std::thread worker([&] {
        for (int i = 0; i < lines; ++i)
            if (i % 2)
                cf_log(1, "line");
            else
                cf_log_tagged("t", i, "line");
        done = true;
    });
    while (!done) {
        auto next = std::make_shared<recording_log_t>(counting, counting);
        cf_log_install(next);
        logs.push_back(next);
        if (logs.size() > 64)
            logs.erase(logs.begin() + 1, logs.end() - 1);
    }
    worker.join();
    EXPECT_EQ(copies, lines);
}

TEST(ProtobufLogHandler, LevelsAndTheDroppedWarning)
{
    auto log = std::make_shared<recording_log_t>();
    cf_log_install(log);
    cf_log_threshold = 0;
    protobuf_log_handler(google::protobuf::LOGLEVEL_INFO, "f.cc", 1, "info");
    protobuf_log_handler(google::protobuf::LOGLEVEL_WARNING, "f.cc", 2,
                         "Reading dangerously large protocol message.  If the message turns out ...");
    protobuf_log_handler(google::protobuf::LOGLEVEL_WARNING, "f.cc", 3, "warning");
    protobuf_log_handler(google::protobuf::LOGLEVEL_ERROR, "f.cc", 4, "error");
    protobuf_log_handler(google::protobuf::LOGLEVEL_FATAL, "f.cc", 5, "fatal");
    protobuf_log_handler(static_cast<google::protobuf::LogLevel>(9), "f.cc", 6, "beyond");
    EXPECT_THAT(log->taken(), ElementsAre("1 info", "3 warning", "4 error", "4 fatal", "4 beyond"));
    cf_log_threshold = 4;
    protobuf_log_handler(google::protobuf::LOGLEVEL_WARNING, "f.cc", 7, "below the threshold");
    protobuf_log_handler(google::protobuf::LOGLEVEL_ERROR, "f.cc", 8, "error");
    EXPECT_THAT(log->taken(), ElementsAre("4 error"));
    cf_log_threshold = 0;
}

// The helpers test the threshold before the text is built: a line below it
// costs nothing and reaches no sink, one at or above it is written once.
TEST(ProcessLog, LazyLinesAreBuiltOnlyAtOrAboveTheThreshold)
{
    auto log = std::make_shared<recording_log_t>();
    cf_log_install(log);
    cf_log_threshold = log_notice;
    const cf_log_level levels[] = {log_debug, log_info, log_notice, log_warning, log_error};
    int built = 0;
    for (cf_log_level level : levels)
        cf_log_lazy(level, [&] {
            ++built;
            return std::string(cf_log_level_name(level));
        });
    EXPECT_EQ(built, 3);
    EXPECT_THAT(log->taken(), ElementsAre("2 Notice", "3 Warning", "4 Error"));
    cf_log_threshold = 0;
}

// A rate-limited line below the threshold leaves the window alone: the next
// warning that is written is not lost to a line nobody saw.
TEST(ProcessLog, RateLimitedLineBelowTheThresholdKeepsTheWindow)
{
    auto log = std::make_shared<recording_log_t>();
    cf_log_install(log);
    ASSERT_TRUE(rate_limit_elapsed());
    int built = 0;
    auto line = [&] {
        ++built;
        return "flood " + std::to_string(built);
    };
    cf_log_threshold = log_error;
    cf_log_rate_limited(log_warning, line);
    EXPECT_EQ(built, 0);
    EXPECT_TRUE(rate_limit_elapsed());
    cf_log_threshold = log_warning;
    cf_log_rate_limited(log_warning, line);
    cf_log_rate_limited(log_warning, line);
    EXPECT_EQ(built, 1);
    EXPECT_FALSE(rate_limit_elapsed());
    EXPECT_THAT(log->taken(), ElementsAre("3 flood 1"));
    cf_log_threshold = 0;
}

} // namespace
