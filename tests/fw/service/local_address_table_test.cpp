// Which client addresses count as this host's own, from the address messages
// the kernel sends: added, removed, on two interfaces, the loopback net, and
// messages the table has no use for.
#include "fw/service/local_address_table.hpp"

#include "linux/netlink/address_message.hpp"

#include <gtest/gtest.h>

#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <arpa/inet.h>

#include <cstring>
#include <vector>

namespace {

using fw::service::local_address_table_t;

struct change_t {
    std::uint16_t type; // RTM_NEWADDR or RTM_DELADDR
    const char* address;
    std::uint8_t prefix_length;
    std::uint32_t index;
    std::uint8_t family = AF_INET;
};

std::vector<std::uint8_t> payload(const change_t& change)
{
    fw::linux::rtnetlink::address::message_t message(change.family);
    message.set_prefix_length(change.prefix_length);
    message.set_index(change.index);
    const std::uint32_t address = htonl(boost::asio::ip::make_address_v4(change.address).to_uint());
    *message.attributes().add_zeroed<std::uint32_t>(IFA_ADDRESS) = address;
    *message.attributes().add_zeroed<std::uint32_t>(IFA_LOCAL) = address;
    return message.serialize();
}

void apply(local_address_table_t& table, const std::vector<change_t>& changes)
{
    for (const auto& change : changes) {
        const auto bytes = payload(change);
        table.apply(change.type, bytes.data(), bytes.size());
    }
}

constexpr std::uint32_t lo = local_address_table_t::loopback_index;

TEST(local_address_table, follows_the_address_messages)
{
    struct case_t {
        const char* name;
        std::vector<change_t> changes;
        const char* address;
        bool local;
    };
    const std::vector<case_t> cases = {
        {"nothing known", {}, "127.0.0.1", false},
        {"address added", {{RTM_NEWADDR, "10.0.0.1", 24, 3}}, "10.0.0.1", true},
        {"its neighbour on the link", {{RTM_NEWADDR, "10.0.0.1", 24, 3}}, "10.0.0.2", false},
        {"address removed", {{RTM_NEWADDR, "10.0.0.1", 24, 3}, {RTM_DELADDR, "10.0.0.1", 24, 3}}, "10.0.0.1", false},
        {"removed from one of two interfaces",
         {{RTM_NEWADDR, "10.0.0.1", 24, 3}, {RTM_NEWADDR, "10.0.0.1", 32, 4}, {RTM_DELADDR, "10.0.0.1", 24, 3}},
         "10.0.0.1", true},
        {"removed from both",
         {{RTM_NEWADDR, "10.0.0.1", 24, 3}, {RTM_NEWADDR, "10.0.0.1", 32, 4}, {RTM_DELADDR, "10.0.0.1", 24, 3},
          {RTM_DELADDR, "10.0.0.1", 32, 4}},
         "10.0.0.1", false},
        {"the same address told twice, removed once",
         {{RTM_NEWADDR, "10.0.0.1", 24, 3}, {RTM_NEWADDR, "10.0.0.1", 24, 3}, {RTM_DELADDR, "10.0.0.1", 24, 3}},
         "10.0.0.1", false},
        {"loopback net", {{RTM_NEWADDR, "127.0.0.1", 8, lo}}, "127.9.8.7", true},
        {"past the loopback net", {{RTM_NEWADDR, "127.0.0.1", 8, lo}}, "128.0.0.1", false},
        {"a host address on loopback", {{RTM_NEWADDR, "10.9.0.1", 32, lo}}, "10.9.0.2", false},
        {"a net on loopback", {{RTM_NEWADDR, "10.9.0.1", 16, lo}}, "10.9.200.2", true},
        {"loopback net removed",
         {{RTM_NEWADDR, "127.0.0.1", 8, lo}, {RTM_DELADDR, "127.0.0.1", 8, lo}}, "127.9.8.7", false},
        {"the same net on another interface", {{RTM_NEWADDR, "127.0.0.1", 8, 3}}, "127.9.8.7", false},
        {"other host", {{RTM_NEWADDR, "127.0.0.1", 8, lo}, {RTM_NEWADDR, "10.0.0.1", 24, 3}}, "192.0.2.1", false},
        {"another family", {{RTM_NEWADDR, "10.0.0.1", 24, 3, AF_INET6}}, "10.0.0.1", false},
        {"another message type", {{RTM_NEWROUTE, "10.0.0.1", 24, 3}}, "10.0.0.1", false},
    };
    for (const auto& c : cases) {
        local_address_table_t table;
        apply(table, c.changes);
        EXPECT_EQ(table.contains(boost::asio::ip::make_address_v4(c.address)), c.local) << c.name;
    }
}

TEST(local_address_table, a_reading_from_scratch_forgets_what_was_known)
{
    local_address_table_t table;
    apply(table, {{RTM_NEWADDR, "127.0.0.1", 8, lo}, {RTM_NEWADDR, "10.0.0.1", 24, 3}});
    table.clear();
    for (const char* address : {"127.0.0.1", "10.0.0.1"})
        EXPECT_FALSE(table.contains(boost::asio::ip::make_address_v4(address))) << address;
}

TEST(local_address_table, a_malformed_message_changes_nothing)
{
    local_address_table_t table;
    apply(table, {{RTM_NEWADDR, "10.0.0.1", 24, 3}});
    auto bytes = payload({RTM_DELADDR, "10.0.0.1", 24, 3});
    for (std::size_t size : {std::size_t(7), bytes.size() - 1}) {
        EXPECT_THROW(table.apply(RTM_DELADDR, bytes.data(), size), std::runtime_error) << size;
        EXPECT_TRUE(table.contains(boost::asio::ip::make_address_v4("10.0.0.1"))) << size;
    }
}

} // namespace
