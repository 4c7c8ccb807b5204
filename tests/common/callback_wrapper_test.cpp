#include "common/callback_wrapper.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <memory>

namespace {

TEST(callback_wrapper, disarm_silences_old_handlers_and_a_new_wrap_rearms)
{
    kv::util::callback_wrapper_t w;
    int calls = 0;
    auto old = w.wrap([&](int n) { calls += n; });
    old(1);
    EXPECT_EQ(calls, 1);

    w.disarm();
    old(10);
    EXPECT_EQ(calls, 1);

    auto fresh = w.wrap([&](int n) { calls += n; });
    fresh(100);
    old(10);
    EXPECT_EQ(calls, 101) << "the new wrap must not re-arm handlers of the old generation";
}

TEST(callback_wrapper, handlers_outliving_their_owner_do_nothing)
{
    int calls = 0;
    std::function<void()> handler;
    {
        auto owner = std::make_unique<kv::util::callback_wrapper_t>();
        handler = owner->wrap([&] { ++calls; });
    }
    handler();
    EXPECT_EQ(calls, 0);
}

} // namespace
