// The socket-diagnostics request against this kernel: the filter passes exactly
// the asked-for sockets, and their inodes agree with /proc/net/tcp; the exact
// request finds the one socket of a pair.
#include "linux/netlink/sock_diag.hpp"
#include "linux/netlink/socket.hpp"
#include "linux/netlink/sync_link.hpp"

#include "tests/support/netns.hpp"

#include <boost/system/system_error.hpp>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

namespace {

using namespace fw::linux;
using boost::asio::ip::make_address;
using boost::asio::ip::tcp;
using fw::util::scoped_fd_t;
using morva_test::sh;

scoped_fd_t tcp_socket()
{
    return scoped_fd_t(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
}

tcp::endpoint local_of(int fd)
{
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return {boost::asio::ip::address_v4(ntohl(a.sin_addr.s_addr)), ntohs(a.sin_port)};
}

sockaddr_in address_of(const tcp::endpoint& e)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(e.port());
    a.sin_addr.s_addr = htonl(e.address().to_v4().to_uint());
    return a;
}

std::uint32_t inode_of(int fd)
{
    struct stat st{};
    ::fstat(fd, &st);
    return static_cast<std::uint32_t>(st.st_ino);
}

// "0100007F:1F90" as /proc/net/tcp writes 127.0.0.1:8080 on this host
std::string proc_text(const tcp::endpoint& e)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "%08X:%04X", htonl(e.address().to_v4().to_uint()), e.port());
    return buf;
}

// (local, remote) -> inode, from the witness
std::map<std::pair<std::string, std::string>, std::uint32_t> proc_net_tcp()
{
    std::map<std::pair<std::string, std::string>, std::uint32_t> out;
    std::ifstream in("/proc/net/tcp");
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string sl, local, remote, st, queues, timer, retr, uid, timeout;
        std::uint32_t inode = 0;
        fields >> sl >> local >> remote >> st >> queues >> timer >> retr >> uid >> timeout >> inode;
        out[{local, remote}] = inode;
    }
    return out;
}

struct drop_syn_t {
    const std::string rule = "OUTPUT -d 127.0.0.2 -p tcp --syn -j DROP";
    drop_syn_t() { sh("iptables-legacy -A " + rule); }
    ~drop_syn_t() { morva_test::sh_status("iptables-legacy -D " + rule); }
};

scoped_fd_t listening_on_loopback()
{
    scoped_fd_t listener = tcp_socket();
    sockaddr_in any_port = address_of({make_address("127.0.0.1"), 0});
    EXPECT_EQ(::bind(listener.get(), reinterpret_cast<sockaddr*>(&any_port), sizeof any_port), 0);
    EXPECT_EQ(::listen(listener.get(), 8), 0);
    return listener;
}

scoped_fd_t connected_to(const tcp::endpoint& server)
{
    scoped_fd_t fd = tcp_socket();
    sockaddr_in server_address = address_of(server);
    EXPECT_EQ(::connect(fd.get(), reinterpret_cast<sockaddr*>(&server_address), sizeof server_address), 0);
    return fd;
}

TEST(SockDiagKernel, FindsTheAskedForSocketsWithTheirInodes)
{
    scoped_fd_t listener = listening_on_loopback();
    const tcp::endpoint server = local_of(listener.get());
    scoped_fd_t client = connected_to(server), other = connected_to(server);
    scoped_fd_t accepted(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    scoped_fd_t accepted_other(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));

    drop_syn_t drop;
    scoped_fd_t syn_sent = tcp_socket();
    ::fcntl(syn_sent.get(), F_SETFL, O_NONBLOCK);
    sockaddr_in unanswered = address_of({make_address("127.0.0.2"), 9});
    ASSERT_EQ(::connect(syn_sent.get(), reinterpret_cast<sockaddr*>(&unanswered), sizeof unanswered), -1);
    ASSERT_EQ(errno, EINPROGRESS);

    const tcp::endpoint client_end = local_of(client.get()), syn_end = local_of(syn_sent.get());
    const tcp::endpoint nowhere(make_address("0.0.0.0"), 0);
    // which socket each asked-for pair must find; `other` is left out on purpose
    const std::vector<std::pair<sock_diag::endpoint_pair_t, int>> wanted = {
        {{server, nowhere}, listener.get()},
        {{client_end, server}, client.get()},
        {{server, client_end}, accepted.get()},
        {{syn_end, {make_address("127.0.0.2"), 9}}, syn_sent.get()},
    };
    std::vector<sock_diag::endpoint_pair_t> pairs;
    for (const auto& w : wanted)
        pairs.push_back(w.first);
    const std::uint32_t states = (1u << TCP_ESTABLISHED) | (1u << TCP_SYN_SENT) | (1u << TCP_LISTEN);

    netlink::sync_link_t link(netlink::open_netlink_socket(NETLINK_SOCK_DIAG));
    link.send(SOCK_DIAG_BY_FAMILY, sock_diag::request_message_t(AF_INET, pairs, states).serialize(), NLM_F_DUMP);
    std::map<sock_diag::endpoint_pair_t, std::pair<std::uint32_t, int>> found;
    for (const auto& reply : link.receive_all()) {
        sock_diag::response_message_t r(reply.payload.data.get(), reply.payload.size);
        EXPECT_TRUE(found.emplace(sock_diag::endpoint_pair_t{r.source(), r.destination()},
                                  std::pair<std::uint32_t, int>{r.inode(), r.state()}).second);
    }

    const auto witness = proc_net_tcp();
    ASSERT_EQ(found.size(), wanted.size());
    const int expected_state[] = {TCP_LISTEN, TCP_ESTABLISHED, TCP_ESTABLISHED, TCP_SYN_SENT};
    for (std::size_t i = 0; i < wanted.size(); ++i) {
        const auto& [pair, fd] = wanted[i];
        auto it = found.find(pair);
        ASSERT_NE(it, found.end()) << pair.first << " -> " << pair.second;
        EXPECT_EQ(it->second.first, inode_of(fd)) << pair.first << " -> " << pair.second;
        EXPECT_EQ(it->second.second, expected_state[i]);
        EXPECT_EQ(witness.at({proc_text(pair.first), proc_text(pair.second)}), it->second.first);
    }
}

TEST(SockDiagKernel, ExactRequestFindsTheOneSocketOfThePair)
{
    scoped_fd_t listener = listening_on_loopback();
    const tcp::endpoint server = local_of(listener.get());
    scoped_fd_t client = connected_to(server);
    scoped_fd_t accepted(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    const tcp::endpoint client_end = local_of(client.get());
    const tcp::endpoint elsewhere(make_address("127.0.0.3"), 7);

    struct case_t {
        const char* name;
        sock_diag::endpoint_pair_t pair;
        int fd; // -1: none
        int state;
    };
    const std::vector<case_t> cases = {
        {"client", {client_end, server}, client.get(), TCP_ESTABLISHED},
        {"accepted", {server, client_end}, accepted.get(), TCP_ESTABLISHED},
        // With no connection of the pair, the kernel answers with a listener
        // of the source endpoint: the caller checks the state.
        {"listener in place of a connection", {server, elsewhere}, listener.get(), TCP_LISTEN},
        {"no socket", {tcp::endpoint(make_address("127.0.0.1"), client_end.port() ^ 1), server}, -1, 0},
    };
    netlink::sync_link_t link(netlink::open_netlink_socket(NETLINK_SOCK_DIAG));
    for (const auto& c : cases) {
        const sock_diag::exact_request_message_t request(AF_INET, c.pair);
        const auto* p = reinterpret_cast<const std::uint8_t*>(&request.header());
        link.send(SOCK_DIAG_BY_FAMILY, std::vector<std::uint8_t>(p, p + sizeof(inet_diag_req_v2)), 0);
        if (c.fd < 0) {
            try {
                link.receive_one();
                ADD_FAILURE() << c.name << ": found a socket";
            } catch (const boost::system::system_error& e) {
                EXPECT_EQ(e.code().value(), ENOENT) << c.name;
            }
            continue;
        }
        const auto reply = link.receive_one();
        ASSERT_EQ(reply.type, SOCK_DIAG_BY_FAMILY) << c.name;
        sock_diag::response_message_t r(reply.payload.data.get(), reply.payload.size);
        EXPECT_EQ(r.inode(), inode_of(c.fd)) << c.name;
        EXPECT_EQ(r.state(), c.state) << c.name;
        EXPECT_EQ(r.uid(), ::geteuid()) << c.name;
    }
}

TEST(SockDiagKernel, ProbeOfUnspecifiedEndpointsFindsNothing)
{
    // the process finder's probe: one pair of unspecified endpoints matches nothing
    netlink::sync_link_t link(netlink::open_netlink_socket(NETLINK_SOCK_DIAG));
    const tcp::endpoint nowhere(make_address("0.0.0.0"), 0);
    link.send(SOCK_DIAG_BY_FAMILY, sock_diag::request_message_t(AF_INET, {{nowhere, nowhere}}, 6).serialize(),
              NLM_F_DUMP);
    EXPECT_TRUE(link.receive_all().empty());
}

} // namespace
