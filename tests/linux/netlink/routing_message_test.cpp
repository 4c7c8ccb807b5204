#include "linux/netlink/routing_message.hpp"

#include <gtest/gtest.h>

namespace {

using fw::linux::rtnetlink::routing::message_t;
using bytes_t = std::vector<std::uint8_t>;

TEST(RoutingMessage, SerializesHeaderBytesThenAttributes)
{
    message_t route(2);
    route.set_table(100);
    route.set_protocol(3);
    route.set_scope(254);
    route.set_type(2);
    EXPECT_EQ(route.serialize(), (bytes_t{0x02, 0, 0, 0, 0x64, 0x03, 0xFE, 0x02, 0, 0, 0, 0}));

    message_t rule(2);
    *rule.attributes().add_zeroed<std::uint32_t>(15) = 300; // table beyond the header byte
    EXPECT_EQ(rule.serialize(), (bytes_t{0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x08, 0x00, 0x0F, 0x00, 0x2C, 0x01, 0, 0}));
}

TEST(RoutingMessage, ParsesADumpedRoute)
{
    // table 150, local route, RTA_MULTIPATH (9) without the nested flag, RTA_TABLE 150
    const bytes_t in = {0x02, 0x00, 0x00, 0x00, 0x96, 0x04, 0xFE, 0x02, 0x00, 0x02, 0x00, 0x00,
                        0x0C, 0x00, 0x09, 0x00, 0x08, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00,
                        0x08, 0x00, 0x0F, 0x00, 0x96, 0x00, 0x00, 0x00};
    message_t m = message_t::parse(in.data(), in.size());
    EXPECT_EQ(m.family(), 2);
    EXPECT_EQ(m.table(), 150);
    EXPECT_EQ(m.protocol(), 4);
    EXPECT_EQ(m.scope(), 254);
    EXPECT_EQ(m.type(), 2);
    EXPECT_EQ(*m.attributes().get_as<std::uint32_t>(15), 150u);
    EXPECT_EQ(m.attributes().get_bytes(9).size, 8u);
    EXPECT_EQ(m.serialize(), in); // flags and unset bytes kept as received

    EXPECT_TRUE(message_t::parse(in.data(), 12).attributes().empty());
}

TEST(RoutingMessage, RejectsMalformedPayloads)
{
    const bytes_t in(11, 0);
    try {
        message_t::parse(in.data(), in.size());
        ADD_FAILURE() << "no exception";
    } catch (const message_t::parse_error_t& e) {
        EXPECT_STREQ(e.what(), "Cannot parse rtnetlink message: Truncated message");
    }
    bytes_t past_end(12, 0);
    past_end.insert(past_end.end(), {0x10, 0x00, 0x0F, 0x00, 0x96, 0x00, 0x00, 0x00});
    EXPECT_THROW(message_t::parse(past_end.data(), past_end.size()),
                 fw::linux::netlink::compound_attribute_t::parse_error_t);
}

} // namespace
