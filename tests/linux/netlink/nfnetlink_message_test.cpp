#include "linux/netlink/nfnetlink_message.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>

namespace {

using fw::linux::nfnetlink::message_t;
using bytes_t = std::vector<std::uint8_t>;

TEST(NfnetlinkMessage, SerializesHeaderThenAttributes)
{
    EXPECT_EQ(message_t(0, 5).serialize(), (bytes_t{0x00, 0x00, 0x00, 0x05}));
    EXPECT_EQ(message_t(2, 0x0102).serialize(), (bytes_t{0x02, 0x00, 0x01, 0x02}));

    // a verdict: NFQA_VERDICT_HDR with NF_ACCEPT for packet 7 on queue 2
    message_t verdict(0, 2);
    auto* hdr = verdict.attributes().add_zeroed<std::uint32_t[2]>(2);
    (*hdr)[0] = htonl(1);
    (*hdr)[1] = htonl(7);
    EXPECT_EQ(verdict.serialize(),
              (bytes_t{0x00, 0x00, 0x00, 0x02, 0x0C, 0x00, 0x02, 0x00, 0, 0, 0, 1, 0, 0, 0, 7}));
}

TEST(NfnetlinkMessage, ParsesHeaderAsItStands)
{
    const bytes_t in = {0x02, 0x01, 0x01, 0x02, 0x08, 0x00, 0x03, 0x00, 0xAA, 0xBB, 0xCC, 0xDD};
    message_t m = message_t::parse(in.data(), in.size());
    EXPECT_EQ(m.family(), 2);
    EXPECT_EQ(m.res_id(), 0x0102);
    EXPECT_EQ(m.attributes().get_bytes(3).size, 4u);
    EXPECT_EQ(m.serialize(), in); // version 1 kept as received

    message_t bare = message_t::parse(in.data(), 4);
    EXPECT_TRUE(bare.attributes().empty());
}

TEST(NfnetlinkMessage, RejectsMalformedPayloads)
{
    const bytes_t three = {0, 0, 0};
    try {
        message_t::parse(three.data(), three.size());
        ADD_FAILURE() << "no exception";
    } catch (const message_t::parse_error_t& e) {
        EXPECT_STREQ(e.what(), "Cannot parse nfnetlink message: Truncated message");
    }
    const bytes_t bad_attribute = {0, 0, 0, 1, 0x0C, 0x00, 0x01, 0x00, 0, 0, 0, 0};
    EXPECT_THROW(message_t::parse(bad_attribute.data(), bad_attribute.size()),
                 fw::linux::netlink::compound_attribute_t::parse_error_t);
}

} // namespace
