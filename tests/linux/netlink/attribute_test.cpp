#include "linux/netlink/attribute.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

using fw::linux::netlink::byte_array_t;
using fw::linux::netlink::attribute_table_t;
using fw::linux::netlink::compound_attribute_t;
using bytes_t = std::vector<std::uint8_t>;

bytes_t to_vector(const byte_array_t& b)
{
    return bytes_t(b.begin(), b.end());
}

bytes_t serialized(const compound_attribute_t& set)
{
    bytes_t out;
    set.serialize(out);
    return out;
}

void set_bytes(compound_attribute_t& set, std::uint16_t type, const bytes_t& value)
{
    set.add_bytes(type) = byte_array_t(value.data(), value.size());
}

compound_attribute_t parse(const bytes_t& in)
{
    return compound_attribute_t::parse(in.data(), in.size());
}

TEST(CompoundAttributeSerialize, WritesPaddedLengthsAscendingTypesAndNests)
{
    struct case_t {
        const char* name;
        void (*build)(compound_attribute_t&);
        bytes_t expected;
    };
    const case_t cases[] = {
        {"5-byte value grows to its padded length",
         [](compound_attribute_t& s) { set_bytes(s, 2, {1, 2, 3, 4, 5}); },
         {0x0C, 0x00, 0x02, 0x00, 1, 2, 3, 4, 5, 0, 0, 0}},
        {"empty value", [](compound_attribute_t& s) { s.add_bytes(7); }, {0x04, 0x00, 0x07, 0x00}},
        {"empty nested set", [](compound_attribute_t& s) { s.add_nested(1); }, {0x04, 0x00, 0x01, 0x80}},
        {"types in ascending order whatever the order of adding",
         [](compound_attribute_t& s) {
             set_bytes(s, 9, {9});
             set_bytes(s, 1, {1});
             set_bytes(s, 5, {5});
         },
         {0x08, 0, 1, 0, 1, 0, 0, 0, 0x08, 0, 5, 0, 5, 0, 0, 0, 0x08, 0, 9, 0, 9, 0, 0, 0}},
        {"nest of two levels carries each padded child",
         [](compound_attribute_t& s) {
             auto& outer = s.add_nested(3);
             set_bytes(outer, 1, {0xAA});
             set_bytes(outer.add_nested(2), 4, {1, 2, 3, 4});
         },
         {0x18, 0x00, 0x03, 0x80,                  // outer: 4 + 8 + 12
          0x08, 0x00, 0x01, 0x00, 0xAA, 0, 0, 0,   // type 1, padded
          0x0C, 0x00, 0x02, 0x80,                  // inner nest
          0x08, 0x00, 0x04, 0x00, 1, 2, 3, 4}},
        {"a value replaces the one before it of the same type",
         [](compound_attribute_t& s) {
             s.add_nested(4);
             set_bytes(s, 4, {7, 7, 7, 7});
         },
         {0x08, 0x00, 0x04, 0x00, 7, 7, 7, 7}},
    };
    for (const auto& c : cases) {
        compound_attribute_t set;
        c.build(set);
        EXPECT_EQ(serialized(set), c.expected) << c.name;
    }
}

TEST(CompoundAttributeSerialize, AppendsWithoutClearing)
{
    compound_attribute_t set;
    set_bytes(set, 1, {0x11});
    bytes_t out{0xEE, 0xEE};
    set.serialize(out);
    EXPECT_EQ(out, (bytes_t{0xEE, 0xEE, 0x08, 0x00, 0x01, 0x00, 0x11, 0, 0, 0}));
}

TEST(CompoundAttributeSerialize, RefusesValuesBeyondTheLengthField)
{
    compound_attribute_t set;
    set.add_bytes(1) = byte_array_t(65532);
    bytes_t out;
    EXPECT_THROW(set.serialize(out), std::length_error);
}

TEST(CompoundAttributeParse, ReadsWellFormedStreams)
{
    // type 3 twice (the second wins), flag bit 14 dropped, a last attribute without padding
    const bytes_t in = {0x05, 0x00, 0x03, 0x00, 0x01, 0, 0, 0,
                        0x06, 0x00, 0x03, 0x00, 0x02, 0x03, 0, 0,
                        0x08, 0x00, 0x05, 0x40, 1, 2, 3, 4,
                        0x05, 0x00, 0x09, 0x00, 0x42};
    compound_attribute_t set = parse(in);
    EXPECT_EQ(set.size(), 3u);
    EXPECT_EQ(to_vector(set.get_bytes(3)), (bytes_t{0x02, 0x03}));
    EXPECT_EQ(to_vector(set.get_bytes(5)), (bytes_t{1, 2, 3, 4}));
    EXPECT_EQ(to_vector(set.get_bytes(9)), (bytes_t{0x42}));
}

TEST(CompoundAttributeParse, ShortOrEmptyRangesGiveEmptySets)
{
    const bytes_t trailing_header = {0x08, 0x00, 0x01, 0x00, 1, 2, 3, 4, 0xFF, 0xFF, 0xFF};
    for (std::size_t n = 0; n < 4; ++n)
        EXPECT_TRUE(parse(bytes_t(n, 0xFF)).empty()) << n << " bytes";
    // 1 to 3 bytes after the last attribute are ignored as well
    EXPECT_EQ(parse(trailing_header).size(), 1u);
}

TEST(CompoundAttributeParse, ReadsNestsAndKeepsUnflaggedPayloadsAsBytes)
{
    const bytes_t in = {0x14, 0x00, 0x05, 0x80,                // nested type 5
                        0x08, 0x00, 0x01, 0x00, 1, 0, 0, 0,    //   type 1
                        0x04, 0x00, 0x02, 0x80,                //   empty nest type 2
                        0x04, 0x00, 0x03, 0x00,                //   empty bytes type 3
                        0x08, 0x00, 0x09, 0x00, 0x08, 0x00, 0x01, 0x00}; // looks nested, is not flagged
    compound_attribute_t set = parse(in);
    const compound_attribute_t& nested = set.get_nested(5);
    EXPECT_EQ(*nested.get_as<std::uint32_t>(1), 1u);
    EXPECT_TRUE(nested.get_nested(2).empty());
    EXPECT_EQ(nested.get_bytes(3).size, 0u);
    EXPECT_EQ(to_vector(set.get_bytes(9)), (bytes_t{0x08, 0x00, 0x01, 0x00}));
    EXPECT_THROW(set.get_nested(9), compound_attribute_t::invalid_attribute_t);
}

TEST(CompoundAttributeParse, RejectsMalformedLengthsWithTheirValue)
{
    struct case_t {
        const char* name;
        bytes_t in;
        std::string text;
    };
    const std::string prefix = "netlink: cannot parse attribute: Invalid header length: ";
    const case_t cases[] = {
        {"length below the header", {0x03, 0x00, 0x01, 0x00, 0, 0, 0, 0}, prefix + "3"},
        {"length zero", {0x00, 0x00, 0x01, 0x00}, prefix + "0"},
        {"length past the end", {0x09, 0x00, 0x01, 0x00, 1, 2, 3, 4}, prefix + "9"},
        {"second attribute past the end",
         {0x08, 0x00, 0x01, 0x00, 1, 2, 3, 4, 0x10, 0x00, 0x02, 0x00, 1, 2, 3, 4},
         prefix + "16"},
        {"nested length past its parent",
         // the parent holds 8 payload bytes, the child claims 12; the stream itself is long enough
         {0x0C, 0x00, 0x01, 0x80, 0x0C, 0x00, 0x02, 0x00, 1, 2, 3, 4, 5, 6, 7, 8},
         prefix + "12"},
        {"nested child below the header", {0x08, 0x00, 0x01, 0x80, 0x02, 0x00, 0x02, 0x00}, prefix + "2"},
        {"error two levels down",
         {0x10, 0x00, 0x01, 0x80, 0x0C, 0x00, 0x02, 0x80, 0xFF, 0x00, 0x03, 0x00, 0, 0, 0, 0},
         prefix + "255"},
    };
    // The in-place table refuses what the copying parse refuses, with the same text.
    const std::pair<const char*, void (*)(const std::uint8_t*, std::size_t)> parsers[] = {
        {"compound", [](const std::uint8_t* p, std::size_t n) { compound_attribute_t::parse(p, n); }},
        {"table", [](const std::uint8_t* p, std::size_t n) { attribute_table_t::parse(p, n); }},
    };
    for (const auto& [parser, parse_with] : parsers)
        for (const auto& c : cases) {
            try {
                // Parse from an exact-size heap copy so AddressSanitizer sees any read past it.
                std::unique_ptr<std::uint8_t[]> exact(new std::uint8_t[c.in.size()]);
                std::copy(c.in.begin(), c.in.end(), exact.get());
                parse_with(exact.get(), c.in.size());
                ADD_FAILURE() << parser << ", " << c.name << ": no exception";
            } catch (const compound_attribute_t::parse_error_t& e) {
                EXPECT_EQ(std::string(e.what()), c.text) << parser << ", " << c.name;
            }
        }
}

TEST(CompoundAttributeParse, RefusesNestingTooDeepToRecurseInto)
{
    // Each level is a 4-byte nested header around the rest; the kernel never nests like this.
    const std::size_t levels = 10000;
    bytes_t in(levels * 4);
    for (std::size_t i = 0; i < levels; ++i) {
        auto len = static_cast<std::uint16_t>((levels - i) * 4);
        in[i * 4] = len & 0xff;
        in[i * 4 + 1] = len >> 8;
        in[i * 4 + 2] = 1;
        in[i * 4 + 3] = 0x80;
    }
    EXPECT_THROW(parse(in), compound_attribute_t::parse_error_t);
    EXPECT_THROW(attribute_table_t::parse(in.data(), in.size()), compound_attribute_t::parse_error_t);

    bytes_t shallow(bytes_t(in.end() - 4 * compound_attribute_t::max_nesting, in.end()));
    EXPECT_NO_THROW(parse(shallow));
    EXPECT_NO_THROW(attribute_table_t::parse(shallow.data(), shallow.size()));
}

TEST(AttributeTable, ReadsInPlaceWithTheLookupRulesOfTheSet)
{
    const bytes_t in = {
        0x07, 0x00, 0x01, 0x00, 1, 2, 3, 0,          // type 1: 3 bytes
        0x08, 0x00, 0x02, 0x00, 1, 2, 3, 4,          // type 2: replaced below
        0x0C, 0x00, 0x03, 0x80, 0x08, 0x00, 0x01, 0x00, 9, 9, 9, 9, // type 3: nested
        0x08, 0x00, 0x28, 0x00, 7, 7, 7, 7,          // type 40: beyond the table, skipped
        0x08, 0x00, 0x02, 0x40, 5, 6, 7, 8,          // type 2 again, byte-order flag: the last one wins
    };
    const auto table = attribute_table_t::parse(in.data(), in.size());
    const auto* two = table.find_bytes(2);
    ASSERT_NE(two, nullptr);
    EXPECT_EQ(bytes_t(two->data, two->data + two->size), (bytes_t{5, 6, 7, 8}));
    EXPECT_EQ(two->data, in.data() + 40); // in place, not copied
    EXPECT_EQ(table.get_bytes(1).size, 3u);
    EXPECT_EQ(*table.get_as<std::uint32_t>(2), 0x08070605u);
    EXPECT_THROW(table.find_as<std::uint32_t>(1), compound_attribute_t::invalid_attribute_t); // too short
    EXPECT_THROW(table.find_bytes(3), compound_attribute_t::invalid_attribute_t);             // nested
    EXPECT_EQ(table.find_bytes(4), nullptr);
    EXPECT_EQ(table.find_bytes(40), nullptr);
    try {
        table.get_as<std::uint32_t>(4);
        ADD_FAILURE() << "no exception";
    } catch (const compound_attribute_t::no_such_attribute_t& e) {
        EXPECT_STREQ(e.what(), "netlink: 4: No such attribute");
    }
    EXPECT_THROW(table.get_bytes(40), compound_attribute_t::no_such_attribute_t);
}

TEST(CompoundAttributeParse, RoundTripPadsOddValues)
{
    compound_attribute_t set;
    set_bytes(set, 2, {1, 2, 3, 4, 5});
    set_bytes(set.add_nested(6), 1, {9});
    compound_attribute_t back = parse(serialized(set));
    EXPECT_EQ(to_vector(back.get_bytes(2)), (bytes_t{1, 2, 3, 4, 5, 0, 0, 0}));
    EXPECT_EQ(to_vector(back.get_nested(6).get_bytes(1)), (bytes_t{9, 0, 0, 0}));
}

TEST(CompoundAttributeLookup, ReportsAbsentAndMistypedValues)
{
    compound_attribute_t set;
    set_bytes(set, 1, {1, 2, 3});
    set_bytes(set, 2, {1, 2, 3, 4, 5, 6});
    set.add_nested(3);

    try {
        set.get(15);
        ADD_FAILURE() << "no exception";
    } catch (const compound_attribute_t::no_such_attribute_t& e) {
        EXPECT_STREQ(e.what(), "netlink: 15: No such attribute");
    }
    EXPECT_THROW(set.get_bytes(15), compound_attribute_t::no_such_attribute_t);
    EXPECT_THROW(set.get_nested(15), compound_attribute_t::no_such_attribute_t);
    EXPECT_THROW(set.get_as<std::uint32_t>(15), compound_attribute_t::no_such_attribute_t);
    EXPECT_EQ(set.find(15), nullptr);
    EXPECT_EQ(set.find_bytes(15), nullptr);
    EXPECT_EQ(set.find_nested(15), nullptr);
    EXPECT_EQ(set.find_as<std::uint32_t>(15), nullptr);

    try {
        set.find_as<std::uint32_t>(1);
        ADD_FAILURE() << "no exception";
    } catch (const compound_attribute_t::invalid_attribute_t& e) {
        EXPECT_STREQ(e.what(), "netlink: Invalid attribute type");
    }
    EXPECT_EQ(*set.find_as<std::uint32_t>(2), 0x04030201u); // first 4 of 6 bytes (little-endian host)
    EXPECT_THROW(set.get_nested(1), compound_attribute_t::invalid_attribute_t);
    EXPECT_THROW(set.find_bytes(3), compound_attribute_t::invalid_attribute_t);
    EXPECT_THROW(set.get_as<std::uint32_t>(3), compound_attribute_t::invalid_attribute_t);
    EXPECT_EQ(set.size(), 3u); // failed lookups change nothing

    // exception hierarchy: one catch clause for every attribute error
    EXPECT_THROW(set.get(15), compound_attribute_t::exception_t);
    EXPECT_THROW(set.get(15), std::runtime_error);
}

TEST(CompoundAttributeAdd, ReplacesTheFormOfAType)
{
    compound_attribute_t set;
    set.add_nested(4);
    set.add_bytes(4);
    EXPECT_EQ(set.get_bytes(4).size, 0u);
    EXPECT_THROW(set.get_nested(4), compound_attribute_t::invalid_attribute_t);

    *set.add_zeroed<std::uint64_t>(4) = 0x0102030405060708ull;
    EXPECT_EQ(set.get_bytes(4).size, 8u);
    set.add_nested(4);
    EXPECT_TRUE(set.get_nested(4).empty());
}

} // namespace
