// Tristate values: "not looked up" and "looked up, absent" stay apart from a
// present value, for every instance the connection context keeps.
#include "lua/tristate.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

namespace ts = fw::util::tristate;

template <typename T>
class tristate_instance : public testing::Test {};

using instances = testing::Types<unsigned long long, unsigned int, std::string>;
TYPED_TEST_SUITE(tristate_instance, instances);

template <typename T>
T sample(int n)
{
    if constexpr (std::is_same_v<T, std::string>)
        return "value " + std::to_string(n);
    else
        return static_cast<T>(n);
}

TYPED_TEST(tristate_instance, moves_between_absent_and_present)
{
    ts::value_t<TypeParam> value{};
    EXPECT_TRUE(ts::is_undefined(value));
    EXPECT_FALSE(ts::is_none(value));
    EXPECT_FALSE(ts::has_value(value));
    EXPECT_THROW(ts::get(value), boost::bad_get);

    ts::set_none(value);
    EXPECT_FALSE(ts::is_undefined(value));
    EXPECT_TRUE(ts::is_none(value));
    EXPECT_FALSE(ts::has_value(value));
    EXPECT_THROW(ts::get(value), boost::bad_get);
    ts::set_none(value);
    EXPECT_TRUE(ts::is_none(value));

    ts::set_value(value, sample<TypeParam>(1));
    EXPECT_TRUE(ts::has_value(value));
    EXPECT_FALSE(ts::is_none(value));
    EXPECT_FALSE(ts::is_undefined(value));
    EXPECT_EQ(ts::get(value), sample<TypeParam>(1));

    ts::set_value(value, sample<TypeParam>(2));
    EXPECT_EQ(ts::get(value), sample<TypeParam>(2));

    // A copy is independent of its original.
    const ts::value_t<TypeParam> copy = value;
    ts::set_none(value);
    EXPECT_TRUE(ts::is_none(value));
    EXPECT_EQ(ts::get(copy), sample<TypeParam>(2));
}

TEST(tristate, zero_and_the_empty_string_are_values)
{
    ts::value_t<std::string> name;
    ts::set_value(name, std::string());
    EXPECT_TRUE(ts::has_value(name));
    EXPECT_FALSE(ts::is_none(name));
    EXPECT_EQ(ts::get(name), "");

    ts::value_t<unsigned int> uid;
    ts::set_value(uid, 0u);
    EXPECT_TRUE(ts::has_value(uid));
    EXPECT_EQ(ts::get(uid), 0u);
}

TEST(tristate, get_gives_the_held_value_for_change_in_place)
{
    ts::value_t<std::string> path;
    ts::set_value(path, "/usr/bin/");
    ts::get(path) += "curl";
    EXPECT_EQ(ts::get(path), "/usr/bin/curl");
}

} // namespace
