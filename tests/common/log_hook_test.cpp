#include "common/log_hook.hpp"

#include <functional>
#include <thread>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

using testing::ElementsAre;
using line_t = std::pair<int, std::string>;

TEST(LogHook, StartsWithLevelZeroAndADiscardingHandler)
{
    EXPECT_EQ(kv::util::log_level(), 0);
    kv::util::log(4, "discarded"); // must neither throw nor crash
    EXPECT_TRUE(static_cast<bool>(kv::util::get_logger()));
}

TEST(LogHook, SwappingHandlersRestoresThePreviousOne)
{
    std::vector<line_t> first, second;
    auto original = kv::util::set_logger([&](int level, std::string const& text) { first.emplace_back(level, text); });
    kv::util::log(1, "a");
    auto previous = kv::util::set_logger([&](int level, std::string const& text) { second.emplace_back(level, text); });
    kv::util::log(2, "b");
    kv::util::set_logger(std::move(previous));
    kv::util::log(3, "c");
    kv::util::set_logger(std::move(original));
    kv::util::log(4, "d");
    EXPECT_THAT(first, ElementsAre(line_t{1, "a"}, line_t{3, "c"}));
    EXPECT_THAT(second, ElementsAre(line_t{2, "b"}));
}

TEST(LogHook, LevelIsExchanged)
{
    EXPECT_EQ(kv::util::set_log_level(3), 0);
    EXPECT_EQ(kv::util::log_level(), 3);
    EXPECT_EQ(kv::util::set_log_level(0), 3);
}

TEST(LogHook, LazyLineIsBuiltOnlyAtOrAboveTheLevel)
{
    std::vector<line_t> lines;
    auto original = kv::util::set_logger([&](int level, std::string const& text) { lines.emplace_back(level, text); });
    kv::util::set_log_level(log_warning);
    int built = 0;
    for (int level : {log_info, log_warning, log_error})
        kv::util::log_lazy(level, [&] {
            ++built;
            return "at " + std::to_string(level);
        });
    kv::util::set_log_level(0);
    kv::util::set_logger(std::move(original));
    EXPECT_EQ(built, 2);
    EXPECT_THAT(lines, ElementsAre(line_t{3, "at 3"}, line_t{4, "at 4"}));
}

TEST(LogHook, PrefixBelongsToTheThread)
{
    std::vector<std::string> lines;
    auto original = kv::util::set_logger([&](int, std::string const& text) { lines.push_back(text); });
    kv::util::set_log_prefix("Session 7: ");
    kv::util::log(1, "mine");
    std::thread([] {
        kv::util::log(1, "theirs");
        kv::util::set_log_prefix("W: ");
        kv::util::log(1, "theirs again");
    }).join();
    kv::util::log(1, "mine again");
    kv::util::set_log_prefix("");
    kv::util::set_logger(std::move(original));
    EXPECT_THAT(lines, ElementsAre("Session 7: mine", "theirs", "W: theirs again", "Session 7: mine again"));
}

TEST(LogHook, EmptyHandlerThrows)
{
    auto original = kv::util::set_logger(nullptr);
    EXPECT_FALSE(static_cast<bool>(kv::util::get_logger()));
    EXPECT_THROW(kv::util::log(1, "x"), std::bad_function_call);
    // The mutex was released on the way out.
    kv::util::set_logger(std::move(original));
    kv::util::log(1, "x");
}

} // namespace
