// A real queue: iptables sends SYNs to a loopback port through NFQUEUE, the
// interceptor receives them and its verdicts decide the connections.
// Witnesses: the connections themselves, the rule counters and
// /proc/net/netfilter/nfnetlink_queue.
#include "linux/nfqueue/nfqueue_config.hpp"
#include "linux/nfqueue/packet_interceptor.hpp"

#include "common/log.hpp"
#include "net/ipv4_header.hpp"
#include "net/tcp_header.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/system/system_error.hpp>
#include <gtest/gtest.h>

#include "tests/common/recording_log.hpp"
#include "tests/support/netns.hpp"

#include <arpa/inet.h>
#include <linux/netlink.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

using fw::linux::nfqueue::packet_interceptor_t;
using fw::util::scoped_fd_t;
using entry_t = std::weak_ptr<packet_interceptor_t::packet_entry_t>;
using namespace std::chrono_literals;

constexpr std::uint16_t queue_number = 17;
constexpr std::uint16_t port = 5517;
constexpr std::uint32_t repeat_mark = 0x20;

const std::string queue_rule = "OUTPUT -p tcp --syn --dport " + std::to_string(port) + " -j NFQUEUE --queue-num "
                               + std::to_string(queue_number);
// Counts the packets that come back from a repeat with the mark.
const std::string marked_rule = "OUTPUT -p tcp --syn --dport " + std::to_string(port) + " -m mark --mark "
                                + std::to_string(repeat_mark) + "/" + std::to_string(repeat_mark) + " -j ACCEPT";

// The line of /proc/net/netfilter/nfnetlink_queue for a queue, as numbers:
// queue, port id, packets waiting, copy mode, copy range, dropped, user dropped, id sequence, 1.
std::optional<std::vector<unsigned long>> queue_state(std::uint16_t queue)
{
    std::ifstream in("/proc/net/netfilter/nfnetlink_queue");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::vector<unsigned long> numbers;
        for (unsigned long n; fields >> n;)
            numbers.push_back(n);
        if (!numbers.empty() && numbers[0] == queue)
            return numbers;
    }
    return std::nullopt;
}

unsigned long waiting(std::uint16_t queue = queue_number)
{
    auto state = queue_state(queue);
    return state ? state->at(2) : 0;
}

std::uint32_t port_id(int fd)
{
    sockaddr_nl self{};
    socklen_t len = sizeof self;
    EXPECT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&self), &len), 0);
    return self.nl_pid;
}

scoped_fd_t tcp_socket()
{
    return scoped_fd_t(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
}

sockaddr_in loopback(std::uint16_t p)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(p);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// Starts a connection to the test port; its SYN goes to the queue.
scoped_fd_t start_connect(std::uint32_t socket_mark = 0)
{
    scoped_fd_t fd = tcp_socket();
    if (socket_mark) {
        EXPECT_EQ(::setsockopt(fd.get(), SOL_SOCKET, SO_MARK, &socket_mark, sizeof socket_mark), 0);
    }
    const sockaddr_in to = loopback(port);
    EXPECT_EQ(::connect(fd.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to), -1);
    EXPECT_EQ(errno, EINPROGRESS);
    return fd;
}

// True when the connection completed within the time.
bool connected(int fd, int milliseconds)
{
    pollfd p{fd, POLLOUT, 0};
    if (::poll(&p, 1, milliseconds) != 1)
        return false;
    int error = -1;
    socklen_t len = sizeof error;
    ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len);
    return error == 0;
}

std::uint16_t local_port(int fd)
{
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

unsigned long marked_packets()
{
    // "-c [packets:bytes] -A ..." for each rule.
    std::istringstream lines(morva_test::sh("iptables-legacy-save -c -t mangle"));
    for (std::string line; std::getline(lines, line);)
        if (line.find("--mark 0x20/0x20") != std::string::npos)
            return std::stoul(line.substr(1));
    ADD_FAILURE() << "marked rule missing";
    return 0;
}

// A mangle rule for the length of one test, removed also when the test fails.
struct scoped_rule_t {
    std::string rule;
    explicit scoped_rule_t(std::string r) : rule(std::move(r)) { morva_test::sh("iptables-legacy -t mangle -A " + rule); }
    ~scoped_rule_t() { morva_test::sh_status("iptables-legacy -t mangle -D " + rule); }
};

morva_test::recording_log_t& recording_log() { return *morva_test::installed_recording_log(); }

struct delivered_t {
    std::string endpoints;
    std::uint16_t flags;
    packet_interceptor_t::packet_attribs_t attribs;
    entry_t entry;
};

struct NfqueueKernel : ::testing::Test, packet_interceptor_t::delegate_t {
    boost::asio::io_context io;
    scoped_fd_t listener;
    std::unique_ptr<packet_interceptor_t> interceptor;
    std::vector<delivered_t> delivered;

    void SetUp() override
    {
        ASSERT_TRUE(morva_test::in_private_netns());
        recording_log().taken();
        cf_log_threshold = 0;
        listener = tcp_socket();
        const int on = 1;
        ::setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        const sockaddr_in at = loopback(port);
        ASSERT_EQ(::bind(listener.get(), reinterpret_cast<const sockaddr*>(&at), sizeof at), 0);
        ASSERT_EQ(::listen(listener.get(), 16), 0);
        morva_test::sh("iptables-legacy -t mangle -A " + marked_rule);
        morva_test::sh("iptables-legacy -t mangle -A " + queue_rule);
    }
    void TearDown() override
    {
        interceptor.reset();
        morva_test::sh_status("iptables-legacy -t mangle -D " + queue_rule);
        morva_test::sh_status("iptables-legacy -t mangle -D " + marked_rule);
    }

    void open(std::size_t limit = packet_interceptor_t::default_pending_limit)
    {
        auto link = std::make_unique<fw::linux::netlink::async::link_t>(
            io, fw::linux::nfqueue::open_queue(queue_number, 1024));
        interceptor = std::make_unique<packet_interceptor_t>(std::move(link), queue_number, limit);
        interceptor->start(this);
    }

    void packet_intercepted(const fw::net::ipv4_header_t& ip, const fw::net::tcp_header_t& tcp,
                            const packet_interceptor_t::packet_attribs_t& attribs, entry_t entry) override
    {
        delivered.push_back({fw::net::describe_endpoints(ip, tcp), tcp.flags(), attribs, entry});
    }

    // Runs the loop until `count` packets arrived (or 5 seconds passed).
    void await(std::size_t count)
    {
        const auto until = std::chrono::steady_clock::now() + 5s;
        while (delivered.size() < count && std::chrono::steady_clock::now() < until) {
            io.restart();
            io.run_for(20ms);
        }
        ASSERT_EQ(delivered.size(), count);
    }
    // Lets the verdicts leave.
    void settle()
    {
        io.restart();
        io.run_for(50ms);
    }
};

TEST_F(NfqueueKernel, BindingIsVisibleAndEndsWithTheSocket)
{
    scoped_fd_t fd = fw::linux::nfqueue::open_queue(queue_number, 1024);
    ASSERT_TRUE(fd);
    const auto state = queue_state(queue_number);
    ASSERT_TRUE(state);
    EXPECT_EQ(state->at(1), port_id(fd.get()));
    EXPECT_EQ(state->at(3), 2u);   // copy whole packets...
    EXPECT_EQ(state->at(4), 120u); // ...up to 120 bytes

    // The queue is ours: another socket cannot take it over.
    try {
        fw::linux::nfqueue::open_queue(queue_number, 1024);
        ADD_FAILURE() << "second binding accepted";
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(e.code().value(), EPERM);
        EXPECT_EQ(std::string(e.what()).rfind("NETLINK error received", 0), 0u) << e.what();
    }
    EXPECT_EQ(queue_state(queue_number)->at(1), port_id(fd.get()));

    fd.reset();
    EXPECT_FALSE(queue_state(queue_number));
}

TEST_F(NfqueueKernel, AcceptLetsTheConnectionComplete)
{
    open();
    scoped_fd_t client = start_connect(0x7);
    await(1);
    const auto& d = delivered[0];
    EXPECT_EQ(d.endpoints, "127.0.0.1:" + std::to_string(local_port(client.get())) + " -> 127.0.0.1:" + std::to_string(port));
    EXPECT_EQ(d.flags & 0x12, 0x02);
    EXPECT_EQ(d.attribs.mark, 0x7u);
    EXPECT_EQ(d.attribs.out_ifindex, 1u); // lo
    EXPECT_FALSE(d.attribs.in_ifindex);
    EXPECT_EQ(d.attribs.uid, 0u);
    EXPECT_EQ(d.attribs.gid, 0u);
    EXPECT_EQ(waiting(), 1u);
    EXPECT_FALSE(connected(client.get(), 100)); // held

    interceptor->accept(d.entry);
    settle();
    EXPECT_TRUE(connected(client.get(), 2000));
    EXPECT_EQ(waiting(), 0u);
    EXPECT_EQ(marked_packets(), 0u);
}

TEST_F(NfqueueKernel, IncomingPacketCarriesItsInterface)
{
    const std::string input_rule = "INPUT -p tcp --syn --dport " + std::to_string(port) + " -j NFQUEUE --queue-num "
                                   + std::to_string(queue_number);
    const scoped_rule_t queued_on_input(input_rule);
    open();
    scoped_fd_t client = start_connect();
    await(1);
    interceptor->accept(delivered[0].entry); // leaves OUTPUT, comes back in on lo
    await(2);
    const auto& in = delivered[1];
    EXPECT_EQ(in.endpoints, delivered[0].endpoints);
    EXPECT_EQ(in.attribs.in_ifindex, 1u);
    EXPECT_FALSE(in.attribs.out_ifindex);
    EXPECT_EQ(in.attribs.hw_address, "00:00:00:00:00:00"); // lo's all-zero Ethernet header
    interceptor->accept(in.entry);
    settle();
    EXPECT_TRUE(connected(client.get(), 2000));
}

TEST_F(NfqueueKernel, OwnerOfTheConnectingSocket)
{
    open();
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65533) != 0)
            ::_exit(2);
        scoped_fd_t fd(::socket(AF_INET, SOCK_STREAM, 0));
        const sockaddr_in to = loopback(port);
        // Blocks until the verdict; exits 0 once connected.
        ::_exit(::connect(fd.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0 ? 0 : 1);
    }
    await(1);
    EXPECT_EQ(delivered[0].attribs.uid, 65533u);
    EXPECT_EQ(delivered[0].attribs.gid, 65534u);
    interceptor->accept(delivered[0].entry);
    settle();
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST_F(NfqueueKernel, DropStopsTheSyn)
{
    open();
    scoped_fd_t client = start_connect();
    await(1);
    interceptor->drop(delivered[0].entry);
    settle();
    EXPECT_EQ(waiting(), 0u);
    // The client retransmits only after a second.
    EXPECT_FALSE(connected(client.get(), 300));
}

TEST_F(NfqueueKernel, RepeatSendsThePacketThroughTheHookAgainWithTheMark)
{
    open();
    scoped_fd_t client = start_connect();
    await(1);
    EXPECT_FALSE(delivered[0].attribs.mark);
    interceptor->repeat_with_mark(delivered[0].entry, repeat_mark);
    settle();
    EXPECT_TRUE(connected(client.get(), 2000));
    EXPECT_EQ(marked_packets(), 1u);
    EXPECT_EQ(delivered.size(), 1u); // the marked rule came first: not queued again
}

TEST_F(NfqueueKernel, LimitDropsTheOldestHeldPacket)
{
    open(2);
    scoped_fd_t first = start_connect();
    await(1);
    scoped_fd_t second = start_connect();
    scoped_fd_t third = start_connect();
    await(3);
    settle();
    EXPECT_EQ(recording_log().taken(),
              std::vector<std::string>{"1 Packet interceptor: queue limit reached; dropping the oldest packet"});
    EXPECT_TRUE(delivered[0].entry.expired());
    EXPECT_EQ(waiting(), 2u);
    EXPECT_EQ(interceptor->pending(), 2u);

    interceptor->accept(delivered[1].entry);
    interceptor->accept(delivered[2].entry);
    interceptor->accept(delivered[0].entry); // gone: nothing is sent
    settle();
    EXPECT_TRUE(connected(second.get(), 2000));
    EXPECT_TRUE(connected(third.get(), 2000));
    EXPECT_FALSE(connected(first.get(), 100));
    EXPECT_TRUE(recording_log().taken().empty()); // no refused verdict came back
}

TEST_F(NfqueueKernel, BurstOf512SynsAllGetTheirVerdictsTogether)
{
    constexpr std::size_t burst = 512;
    ASSERT_EQ(::listen(listener.get(), 1024), 0); // room for every connection
    open();
    // The SYNs reach the socket while the event loop does not run: none may be
    // lost to its receive buffer.
    std::vector<scoped_fd_t> clients;
    for (std::size_t i = 0; i < burst; ++i)
        clients.push_back(start_connect());
    const auto before = queue_state(queue_number);
    ASSERT_TRUE(before);
    EXPECT_EQ(before->at(6), 0u) << "packets lost to the socket buffer";
    EXPECT_EQ(before->at(5), 0u) << "packets lost to the queue's length";
    // A slow machine may let a client send its SYN again meanwhile: that one
    // is queued too and gets its verdict like the others.
    const auto until = std::chrono::steady_clock::now() + 10s;
    while (delivered.size() < burst && std::chrono::steady_clock::now() < until) {
        io.restart();
        io.run_for(20ms);
    }
    std::set<std::string> connections;
    for (const auto& d : delivered)
        connections.insert(d.endpoints);
    ASSERT_EQ(connections.size(), burst);

    // All verdicts given in one turn: they leave together, and each one counts.
    for (const auto& d : delivered)
        interceptor->accept(d.entry);
    settle();
    EXPECT_EQ(interceptor->pending(), 0u);
    std::size_t completed = 0;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    for (const auto& client : clients) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        completed += connected(client.get(), static_cast<int>(std::max<long>(left.count(), 0))) ? 1 : 0;
    }
    EXPECT_EQ(completed, burst);
    EXPECT_EQ(waiting(), 0u);
    EXPECT_TRUE(recording_log().taken().empty()); // no verdict was refused
}

TEST_F(NfqueueKernel, ClosingTheInterceptorUnbindsTheQueue)
{
    open();
    scoped_fd_t client = start_connect();
    await(1);
    ASSERT_TRUE(queue_state(queue_number));
    const entry_t entry = delivered[0].entry;
    interceptor.reset();
    EXPECT_TRUE(entry.expired());
    EXPECT_FALSE(queue_state(queue_number));
    // The kernel drops what was held for us.
    EXPECT_FALSE(connected(client.get(), 300));
}

} // namespace
