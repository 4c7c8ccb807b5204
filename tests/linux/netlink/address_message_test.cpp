#include "linux/netlink/address_message.hpp"

#include <gtest/gtest.h>

namespace {

using fw::linux::rtnetlink::address::message_t;
using bytes_t = std::vector<std::uint8_t>;

TEST(AddressMessage, ParsesANotifiedAddress)
{
    // 10.0.0.1/24 on index 3, scope 0: IFA_ADDRESS 10.0.0.2 (the peer of a
    // point-to-point link), IFA_LOCAL 10.0.0.1, IFA_LABEL "p01"
    const bytes_t in = {0x02, 0x18, 0x80, 0x00, 0x03, 0x00, 0x00, 0x00,
                        0x08, 0x00, 0x01, 0x00, 0x0A, 0x00, 0x00, 0x02,
                        0x08, 0x00, 0x02, 0x00, 0x0A, 0x00, 0x00, 0x01,
                        0x08, 0x00, 0x03, 0x00, 'p',  '0',  '1',  0x00};
    const message_t m = message_t::parse(in.data(), in.size());
    EXPECT_EQ(m.family(), 2);
    EXPECT_EQ(m.prefix_length(), 24);
    EXPECT_EQ(m.scope(), 0);
    EXPECT_EQ(m.index(), 3u);
    EXPECT_EQ(m.local_v4(), 0x0A000001u);
    EXPECT_EQ(m.serialize(), in);

    // Without IFA_LOCAL the address is the interface's own.
    const message_t plain = message_t::parse(in.data(), 16);
    EXPECT_EQ(plain.local_v4(), 0x0A000002u);
    EXPECT_EQ(message_t::parse(in.data(), 8).local_v4(), std::nullopt);
}

TEST(AddressMessage, TheDumpRequestIsTheFamilyAlone)
{
    EXPECT_EQ(message_t(2).serialize(), (bytes_t{0x02, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(AddressMessage, RejectsMalformedPayloads)
{
    const bytes_t short_header(7, 0);
    try {
        message_t::parse(short_header.data(), short_header.size());
        ADD_FAILURE() << "no exception";
    } catch (const message_t::parse_error_t& e) {
        EXPECT_STREQ(e.what(), "Cannot parse rtnetlink address message: Truncated message");
    }
    bytes_t past_end = {0x02, 0x20, 0, 0, 0x01, 0, 0, 0, 0x0C, 0x00, 0x02, 0x00, 0x7F, 0x00, 0x00, 0x01};
    EXPECT_THROW(message_t::parse(past_end.data(), past_end.size()),
                 fw::linux::netlink::compound_attribute_t::parse_error_t);
    // A local address of two bytes.
    const bytes_t short_value = {0x02, 0x20, 0, 0, 0x01, 0, 0, 0, 0x06, 0x00, 0x02, 0x00, 0x7F, 0x00, 0x00, 0x00};
    EXPECT_THROW(message_t::parse(short_value.data(), short_value.size()).local_v4(),
                 fw::linux::netlink::compound_attribute_t::invalid_attribute_t);
}

} // namespace
