// The IPv4 option scan over untrusted option lists.
#include "net/ip_options.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

using bytes_t = std::vector<std::uint8_t>;
using fw::net::find_security_option;

// Copies into an exactly-sized heap block so that any read past the list is an
// address-sanitizer report; returns the offset found, or -1 for null.
long scan(const bytes_t& list)
{
    auto copy = std::make_unique<std::uint8_t[]>(list.size());
    std::copy(list.begin(), list.end(), copy.get());
    const std::uint8_t* found = find_security_option(list.empty() ? nullptr : copy.get(), list.size());
    return found ? found - copy.get() : -1;
}

TEST(IpOptions, FindSecurityOption)
{
    struct case_t {
        const char* what;
        bytes_t list;
        long offset;
    };
    const case_t cases[] = {
        {"no-ops, security, end, padding", {0x01, 0x01, 0x82, 0x03, 0xab, 0x00, 0x00, 0x00}, 2},
        {"security alone", {0x82, 0x02}, 0},
        {"security filling the list", {0x82, 0x04, 0x01, 0x02}, 0},
        {"after another option", {0x07, 0x03, 0x04, 0x82, 0x03, 0xab, 0x00, 0x00}, 3},
        {"before another option", {0x82, 0x03, 0xab, 0x44, 0x04, 0x00, 0x00, 0x00}, 0},
        {"security twice", {0x01, 0x01, 0x82, 0x03, 0xab, 0x82, 0x03, 0xcd, 0x00, 0x00, 0x00, 0x00}, -1},
        {"then length 1", {0x82, 0x03, 0xab, 0x07, 0x01, 0x00, 0x00, 0x00}, -1},
        {"then length 0", {0x82, 0x03, 0xab, 0x07, 0x00, 0x00, 0x00, 0x00}, -1},
        {"then length past the end", {0x82, 0x03, 0xab, 0x07, 0x06, 0x00, 0x00, 0x00}, -1},
        {"security with length past the end", {0x82, 0x05, 0xab, 0x00}, -1},
        {"security with length 1", {0x82, 0x01, 0x00, 0x00}, -1},
        {"then a type in the last byte", {0x82, 0x03, 0xab, 0x07}, -1},
        {"security type in the last byte", {0x01, 0x01, 0x01, 0x82}, -1},
        {"end of list first", {0x00, 0x82, 0x03, 0xab}, -1},
        {"malformed after end of list", {0x82, 0x03, 0xab, 0x00, 0x07, 0x00, 0x82, 0x09}, 0},
        {"no-ops only", {0x01, 0x01, 0x01, 0x01}, -1},
        {"other options only", {0x44, 0x04, 0x00, 0x00}, -1},
        {"empty", {}, -1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(scan(c.list), c.offset) << c.what;
}

TEST(IpOptions, KindAndLength)
{
    struct case_t {
        bytes_t option;
        unsigned kind;
        unsigned length;
    };
    const case_t cases[] = {
        {{0x00, 0x09}, 0, 1},
        {{0x01, 0x09}, 1, 1},
        {{0x82, 0x0b}, 130, 11},
        {{0x86, 0x05}, 255, 5}, // commercial security: not ours
        {{0x07, 0x27}, 255, 39},
        {{0x02, 0x00}, 255, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(fw::net::ip_option_kind(c.option.data()), c.kind) << int(c.option[0]);
        EXPECT_EQ(fw::net::ip_option_length(c.option.data()), c.length) << int(c.option[0]);
    }
    EXPECT_EQ(fw::net::ip_option_kind(nullptr), 255u);
    EXPECT_EQ(fw::net::ip_option_length(nullptr), 0u);
}

TEST(IpOptions, RandomListsStayInBounds)
{
    // Lists built mostly from the interesting bytes; whatever comes back must
    // be a whole security option inside the list.
    std::mt19937 random(20261210);
    const std::uint8_t alphabet[] = {0x00, 0x01, 0x82, 0x07, 0x02, 0x03, 0x04, 0x05, 0x28, 0xff};
    for (int round = 0; round < 200000; ++round) {
        bytes_t list(random() % 41);
        for (auto& b : list)
            b = alphabet[random() % sizeof alphabet];
        const long offset = scan(list);
        if (offset < 0)
            continue;
        ASSERT_LT(offset + 1, static_cast<long>(list.size()));
        EXPECT_EQ(list[offset], 0x82);
        EXPECT_GE(list[offset + 1], 2);
        EXPECT_LE(offset + list[offset + 1], static_cast<long>(list.size()));
    }
}

} // namespace
