// The local addresses against the kernel of a namespace of our own: kept
// current from its notifications, read again when they overflow, and asked
// without a descriptor at the open-file limit.
#include "fw/service/local_addresses.hpp"

#include "tests/fw/descriptor_limit.hpp"
#include "tests/support/netns.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <linux/rtnetlink.h>
#include <sys/wait.h>

namespace {

using boost::asio::ip::make_address_v4;
using fw::service::local_addresses_t;

std::map<std::string, bool> locality(local_addresses_t& addresses, const std::vector<std::string>& list)
{
    addresses.refresh();
    std::map<std::string, bool> result;
    for (const auto& address : list)
        result[address] = addresses.contains(make_address_v4(address));
    return result;
}

std::map<std::string, bool> expected(const std::vector<std::string>& asked, const std::vector<std::string>& local)
{
    std::map<std::string, bool> result;
    for (const auto& address : asked)
        result[address] = std::find(local.begin(), local.end(), address) != local.end();
    return result;
}

// A veth pair whose first end is left down: an address counts whatever the
// state of its link.
struct veth_t {
    veth_t() { morva_test::sh("ip link add morva-la0 type veth peer name morva-la1"); }
    ~veth_t() { morva_test::sh_status("ip link del morva-la0"); }
};

TEST(local_addresses, follow_the_addresses_of_this_namespace)
{
    ASSERT_TRUE(morva_test::in_private_netns());
    local_addresses_t addresses;
    EXPECT_TRUE(addresses.known());
    const std::vector<std::string> asked = {"127.0.0.1", "127.9.8.7", "10.77.0.1", "10.77.0.2", "192.0.2.1"};
    struct step_t {
        const char* name;
        const char* command;
        std::vector<std::string> local; // of `asked`
    };
    const std::vector<step_t> steps = {
        {"at start: the loopback net", "true", {"127.0.0.1", "127.9.8.7"}},
        {"address added on a link that is down", "ip addr add 10.77.0.1/24 dev morva-la0",
         {"127.0.0.1", "127.9.8.7", "10.77.0.1"}},
        {"the link up", "ip link set morva-la0 up && ip link set morva-la1 up", {"127.0.0.1", "127.9.8.7", "10.77.0.1"}},
        {"a second address on loopback", "ip addr add 10.77.0.2/32 dev lo",
         {"127.0.0.1", "127.9.8.7", "10.77.0.1", "10.77.0.2"}},
        {"address removed", "ip addr del 10.77.0.1/24 dev morva-la0", {"127.0.0.1", "127.9.8.7", "10.77.0.2"}},
        {"loopback's own addresses removed", "ip addr del 127.0.0.1/8 dev lo && ip addr del 10.77.0.2/32 dev lo", {}},
        {"loopback's address back", "ip addr add 127.0.0.1/8 dev lo", {"127.0.0.1", "127.9.8.7"}},
        {"an address on an interface that goes away", "ip addr add 10.77.0.1/24 dev morva-la1 && ip link del morva-la1",
         {"127.0.0.1", "127.9.8.7"}},
    };
    veth_t veth;
    for (const auto& step : steps) {
        morva_test::sh(step.command);
        EXPECT_EQ(locality(addresses, asked), expected(asked, step.local)) << step.name;
    }
}

// The drops the kernel counted on the sockets of this namespace that joined
// the IPv4 address group.
unsigned long address_group_drops()
{
    std::ifstream in("/proc/net/netlink");
    std::string line;
    std::getline(in, line);
    unsigned long drops = 0;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string sk, groups;
        int protocol = -1;
        unsigned long port = 0, rmem = 0, wmem = 0, dump = 0, locks = 0, dropped = 0;
        if (fields >> sk >> protocol >> port >> groups >> rmem >> wmem >> dump >> locks >> dropped && protocol == 0
            && (std::stoul(groups, nullptr, 16) & RTMGRP_IPV4_IFADDR))
            drops += dropped;
    }
    return drops;
}

std::string address_batch(const char* verb, int count)
{
    std::string batch;
    for (int i = 0; i < count; ++i)
        batch += std::string("addr ") + verb + " 10.78." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1)
                 + "/32 dev morva-la0\n";
    return batch;
}

TEST(local_addresses, changes_lost_to_an_overflow_are_read_again)
{
    ASSERT_TRUE(morva_test::in_private_netns());
    veth_t veth;
    local_addresses_t addresses;
    constexpr int count = 2000;
    morva_test::sh("printf '" + address_batch("add", count) + "' | ip -batch -");
    // Witness: more changes than the socket holds, so the kernel dropped some.
    EXPECT_GT(address_group_drops(), 0u);
    const std::vector<std::string> asked = {"10.78.0.1", "10.78.3.250", "10.78.7.250", "10.78.8.1"};
    EXPECT_EQ(locality(addresses, asked), expected(asked, {"10.78.0.1", "10.78.3.250", "10.78.7.250"}));
    morva_test::sh("printf '" + address_batch("del", count) + "' | ip -batch -");
    EXPECT_EQ(locality(addresses, asked), expected(asked, {}));
}

TEST(local_addresses, answer_at_the_open_file_limit)
{
    ASSERT_TRUE(morva_test::in_private_netns());
    veth_t veth;
    const auto result = morva_test::run_guarded_in_child([] {
        local_addresses_t addresses;
        if (!morva_test::exhaust_descriptors())
            ::_exit(4);
        // The change is made by a shell, which needs descriptors of its own:
        // it runs from a child that closed what the limit took.
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::close_range(3, ~0u, 0);
            ::_exit(std::system("ip addr add 10.79.0.1/24 dev morva-la0") == 0 ? 0 : 1);
        }
        int status = 0;
        if (::waitpid(pid, &status, 0) != pid || status != 0)
            ::_exit(5);
        addresses.refresh();
        const bool added = addresses.known() && addresses.contains(make_address_v4("10.79.0.1"));
        const bool other = addresses.contains(make_address_v4("192.0.2.1"));
        ::_exit(added && !other ? 0 : 6);
    });
    EXPECT_EQ(result.status, 0) << result.err;
}

} // namespace
