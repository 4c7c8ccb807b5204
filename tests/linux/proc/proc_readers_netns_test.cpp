// The interface list and the /proc/net/tcp scan
// against the kernel of a namespace of our own.
#include "linux/proc/proc_readers.hpp"

#include "common/file_reader.hpp"
#include "common/scoped_fd.hpp"
#include "tests/support/netns.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> names_of(const std::vector<fw::linux::interface_info_t>& list)
{
    std::vector<std::string> names;
    for (const auto& entry : list)
        names.push_back(entry.name + "#" + std::to_string(entry.index));
    return names;
}

// Labelled addresses on lo, removed again also when a check fails.
struct lo_aliases_t {
    explicit lo_aliases_t(int count) : count(count)
    {
        std::string batch;
        for (int i = 1; i <= count; ++i)
            batch += "addr add 10.77." + std::to_string(i / 200) + "." + std::to_string(i % 200 + 1)
                     + "/32 dev lo label lo:" + std::to_string(i) + "\n";
        morva_test::sh("printf '" + batch + "' | ip -batch -");
    }
    ~lo_aliases_t()
    {
        std::string batch;
        for (int i = 1; i <= count; ++i)
            batch += "addr del 10.77." + std::to_string(i / 200) + "." + std::to_string(i % 200 + 1) + "/32 dev lo\n";
        morva_test::sh_status("printf '" + batch + "' | ip -batch -");
    }
    int count;
};

TEST(list_interfaces, one_entry_per_ipv4_address)
{
    ASSERT_TRUE(morva_test::in_private_netns());
    const int lo = static_cast<int>(::if_nametoindex("lo"));
    EXPECT_EQ(names_of(fw::linux::list_interfaces()), std::vector<std::string>{"lo#" + std::to_string(lo)});

    // An interface is listed by its IPv4 address: none, none listed.
    struct veth_t {
        veth_t() { morva_test::sh("ip link add morva-v0 type veth peer name morva-v1"); }
        ~veth_t() { morva_test::sh_status("ip link del morva-v0"); }
    } veth;
    EXPECT_EQ(fw::linux::list_interfaces().size(), 1u);
    morva_test::sh("ip addr add 10.78.0.1/24 dev morva-v1 && ip link set morva-v1 up");
    const int v1 = static_cast<int>(::if_nametoindex("morva-v1"));
    EXPECT_EQ(names_of(fw::linux::list_interfaces()),
              (std::vector<std::string>{"lo#" + std::to_string(lo), "morva-v1#" + std::to_string(v1)}));
    morva_test::sh("ip addr flush dev morva-v1");

    // More than fill the first answer: the list is asked again with more room.
    for (int count : {2, 63, 64, 130}) {
        lo_aliases_t aliases(count);
        const auto names = names_of(fw::linux::list_interfaces());
        ASSERT_EQ(names.size(), std::size_t(count) + 1) << count;
        EXPECT_EQ(names.front(), "lo#" + std::to_string(lo));
        EXPECT_EQ(names.back(), "lo:" + std::to_string(count) + "#" + std::to_string(lo)) << count;
    }
}

TEST(proc_net_tcp_iterator, finds_a_socket_of_this_process)
{
    fw::util::scoped_fd_t fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(fd.get(), 1), 0);
    socklen_t len = sizeof a;
    ASSERT_EQ(::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&a), &len), 0);
    struct stat st{};
    ASSERT_EQ(::fstat(fd.get(), &st), 0);

    // Small chunks: the line is split across reads.
    file_reader_t reader("/proc/net/tcp", 16);
    auto [it, end] = fw::linux::proc_net_tcp_iterator_t::range(reader);
    int seen = 0;
    for (; it != end; ++it) {
        ++seen;
        if (it->inode == st.st_ino) {
            EXPECT_EQ(it->local, boost::asio::ip::tcp::endpoint(boost::asio::ip::address_v4::loopback(), ntohs(a.sin_port)));
            EXPECT_EQ(it->remote, boost::asio::ip::tcp::endpoint(boost::asio::ip::address_v4::any(), 0));
            return;
        }
    }
    ADD_FAILURE() << "socket not among " << seen << " entries";
}

} // namespace
