// Session ids keep the form the log has always shown, and differ.
#include "fw/divert/session_id.hpp"

#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>
#include <thread>

namespace {

TEST(SessionId, TwelveLowerCaseHexDigitsInThreeGroups)
{
    const std::regex form("[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}");
    std::set<std::string> seen;
    std::set<char> digits;
    for (int i = 0; i < 10000; ++i) {
        const std::string id = fw::service::make_session_id();
        ASSERT_TRUE(std::regex_match(id, form)) << id;
        seen.insert(id);
        for (char c : id)
            digits.insert(c);
    }
    // 48 random bits: ten thousand ids do not collide, and every digit occurs.
    EXPECT_EQ(seen.size(), 10000u);
    EXPECT_EQ(digits.size(), 17u); // sixteen digits and '-'
}

TEST(SessionId, ThreadsDoNotRepeatEachOther)
{
    // A generator seeded per thread must not start every thread at the same id.
    std::string first, second;
    std::thread([&] { first = fw::service::make_session_id(); }).join();
    std::thread([&] { second = fw::service::make_session_id(); }).join();
    EXPECT_NE(first, second);
}

} // namespace
