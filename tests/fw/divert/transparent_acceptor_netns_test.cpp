// The transparent acceptor in a private namespace: its listener's options as
// the kernel reports them, reopening on a new address, and connections steered
// to it by a TPROXY rule and a local route, accepted with the destination the
// client asked for as their local endpoint.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/system/system_error.hpp>
#include <gtest/gtest.h>

#include "common/log.hpp"
#include "common/scoped_fd.hpp"
#include "fw/service/marks.hpp"
#include "fw/divert/transparent_acceptor.hpp"
#include "linux_firewall_config.pb.h"
#include "tests/common/fork.hpp"
#include "tests/common/recording_log.hpp"
#include "tests/fw/net_capabilities.hpp"
#include "tests/fw/handover_support.hpp"
#include "tests/support/netns.hpp"

namespace {

using boost::asio::ip::tcp;
using fw::service::transparent_acceptor_t;
using fw::util::scoped_fd_t;
using namespace std::chrono_literals;

struct accepted_t {
    tcp::endpoint peer;
    tcp::endpoint local;
    scoped_fd_t descriptor;
};

struct recording_delegate_t : transparent_acceptor_t::delegate_t {
    std::vector<accepted_t> accepted;
    void new_client_socket(const tcp::endpoint& peer, const tcp::endpoint& local, scoped_fd_t&& descriptor) override
    {
        accepted.push_back({peer, local, std::move(descriptor)});
    }
};

int int_option(int fd, int level, int name)
{
    int value = -1;
    socklen_t size = sizeof value;
    EXPECT_EQ(::getsockopt(fd, level, name, &value, &size), 0);
    return value;
}

tcp::endpoint local_endpoint(int fd)
{
    sockaddr_in address{};
    socklen_t size = sizeof address;
    EXPECT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size), 0);
    return {boost::asio::ip::address_v4(ntohl(address.sin_addr.s_addr)), ntohs(address.sin_port)};
}

// The process's listening TCP socket bound to `endpoint`, found through /proc:
// the kernel's own view of what the acceptor opened.
std::optional<int> listener_at(const tcp::endpoint& endpoint)
{
    std::optional<int> found;
    DIR* dir = ::opendir("/proc/self/fd");
    while (dirent* entry = ::readdir(dir)) {
        const int fd = std::atoi(entry->d_name);
        struct stat st {};
        if (entry->d_name[0] == '.' || fd == ::dirfd(dir) || ::fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode))
            continue;
        int domain = 0;
        socklen_t size = sizeof domain;
        if (::getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &size) != 0 || domain != AF_INET)
            continue;
        if (int_option(fd, SOL_SOCKET, SO_ACCEPTCONN) == 1 && local_endpoint(fd) == endpoint)
            found = fd;
    }
    ::closedir(dir);
    return found;
}

// A client socket bound to 127.0.0.1, marked as the steering rules expect.
scoped_fd_t client_socket(std::uint32_t mark)
{
    scoped_fd_t fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    EXPECT_EQ(::setsockopt(fd.get(), SOL_SOCKET, SO_MARK, &mark, sizeof mark), 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    return fd;
}

int connect_to(int fd, const char* ip, unsigned short port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    ::inet_pton(AF_INET, ip, &address.sin_addr);
    return ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 ? 0 : errno;
}

class transparent_acceptor_netns : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(morva_test::in_private_netns());
        // The listeners' fixed ports: a client's port, or one the kernel picks
        // for a listener, lingering in TIME_WAIT from an earlier test must not take one.
        morva_test::sh("sysctl -qw net.ipv4.ip_local_reserved_ports=47000-47999");
        log_ = morva_test::fresh_debug_log();
        set_marks(2, 4);
    }

    void TearDown() override
    {
        acceptor_.reset();
        morva_test::sh_status("iptables-legacy -t mangle -F");
        morva_test::sh_status("while ip rule del fwmark 0x1/0x1 lookup 100; do :; done");
        morva_test::sh_status("ip route flush table 100");
    }

    void set_marks(std::uint32_t client, std::uint32_t server)
    {
        config_.mutable_local_delivery_mark()->set_manual(1);
        config_.mutable_client_packets_mark()->set_manual(client);
        config_.mutable_server_packets_mark()->set_manual(server);
        marks_.configure();
    }

    void listen_at(const std::string& address, std::uint32_t port)
    {
        config_.mutable_tproxy_listen_address()->set_address(address);
        config_.mutable_tproxy_listen_address()->set_port(port);
        acceptor_->configure();
    }

    bool run_until(const std::function<bool()>& done, std::chrono::milliseconds timeout = 2s)
    {
        return morva_test::run_until(io_, done, timeout);
    }

    // Steers marked connections to 10.99.0.1:80 to the listener, as the
    // daemon's own steering rules and local-delivery route do.
    void steer_to(const tcp::endpoint& listener)
    {
        morva_test::sh("iptables-legacy -t mangle -A PREROUTING -p tcp -d 10.99.0.1 --dport 80 -j TPROXY --on-ip " +
                       listener.address().to_string() + " --on-port " + std::to_string(listener.port()) +
                       " --tproxy-mark 0x1/0x1");
        morva_test::sh("ip rule add fwmark 0x1/0x1 lookup 100");
        morva_test::sh("ip route add local 0.0.0.0/0 dev lo table 100");
    }

    std::shared_ptr<morva_test::recording_log_t> log_;
    boost::asio::io_context io_;
    kv::LinuxFirewallConfig config_;
    fw::service::marks_t marks_{config_};
    recording_delegate_t delegate_;
    std::unique_ptr<transparent_acceptor_t> acceptor_ =
        std::make_unique<transparent_acceptor_t>(io_, delegate_, config_, marks_);
};

TEST_F(transparent_acceptor_netns, listens_transparently_with_the_client_and_server_marks)
{
    EXPECT_EQ(acceptor_->endpoint(), tcp::endpoint(tcp::v4(), 0));
    listen_at("127.0.0.1", 47001);
    const tcp::endpoint expected(boost::asio::ip::make_address_v4("127.0.0.1"), 47001);
    EXPECT_EQ(acceptor_->endpoint(), expected);
    const auto fd = listener_at(expected);
    ASSERT_TRUE(fd);
    EXPECT_EQ(int_option(*fd, SOL_SOCKET, SO_REUSEADDR), 1);
    EXPECT_EQ(int_option(*fd, IPPROTO_IP, IP_TRANSPARENT), 1);
    EXPECT_EQ(int_option(*fd, SOL_SOCKET, SO_MARK), 2 | 4);
    // A program the daemon starts must not inherit the port.
    EXPECT_EQ(::fcntl(*fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    EXPECT_EQ(log_->taken(), std::vector<std::string>{"0 Transparent acceptor: listening at 127.0.0.1:47001"});
}

TEST_F(transparent_acceptor_netns, the_same_address_keeps_the_listener_and_takes_on_changed_marks)
{
    listen_at("127.0.0.1", 47002);
    const tcp::endpoint endpoint = acceptor_->endpoint();
    const int fd = *listener_at(endpoint);
    struct stat before {};
    ASSERT_EQ(::fstat(fd, &before), 0);
    log_->taken();

    set_marks(8, 16);
    acceptor_->configure();
    struct stat after {};
    ASSERT_EQ(::fstat(fd, &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(int_option(fd, SOL_SOCKET, SO_MARK), 8 | 16);
    EXPECT_TRUE(log_->taken().empty());

    // Connections accepted from now on carry the new marks, so the answers to
    // their clients pass the rules of the new marks.
    scoped_fd_t client = client_socket(0);
    ASSERT_EQ(connect_to(client.get(), "127.0.0.1", 47002), 0);
    ASSERT_TRUE(run_until([&] { return delegate_.accepted.size() == 1; }));
    EXPECT_EQ(int_option(delegate_.accepted[0].descriptor.get(), SOL_SOCKET, SO_MARK), 8 | 16);
}

TEST_F(transparent_acceptor_netns, a_new_port_closes_the_old_listener_and_opens_another)
{
    listen_at("127.0.0.1", 47003);
    log_->taken();
    listen_at("127.0.0.1", 47004);
    EXPECT_EQ(acceptor_->endpoint().port(), 47004);
    EXPECT_FALSE(listener_at({boost::asio::ip::make_address_v4("127.0.0.1"), 47003}));
    EXPECT_TRUE(listener_at(acceptor_->endpoint()));
    EXPECT_EQ(log_->taken(), std::vector<std::string>{"0 Transparent acceptor: listening at 127.0.0.1:47004"});

    // The pending accept of the closed listener does nothing; the new one accepts.
    scoped_fd_t client = client_socket(0);
    ASSERT_EQ(connect_to(client.get(), "127.0.0.1", 47004), 0);
    EXPECT_TRUE(run_until([&] { return delegate_.accepted.size() == 1; }));
}

TEST_F(transparent_acceptor_netns, port_zero_takes_the_kernels_port_and_reopens_at_every_apply)
{
    listen_at("127.0.0.1", 0);
    const tcp::endpoint first = acceptor_->endpoint();
    EXPECT_NE(first.port(), 0);
    EXPECT_TRUE(listener_at(first));
    acceptor_->configure();
    EXPECT_NE(acceptor_->endpoint(), first);
    EXPECT_FALSE(listener_at(first));
    EXPECT_TRUE(listener_at(acceptor_->endpoint()));
}

TEST_F(transparent_acceptor_netns, a_bad_address_fails_before_the_listener_is_touched)
{
    listen_at("127.0.0.1", 47005);
    const tcp::endpoint listening = acceptor_->endpoint();
    struct {
        std::optional<std::string> address;
        std::uint32_t port;
        std::string error;
    } const cases[] = {
        {std::nullopt, 0, "invalid IPv4 address: "},
        {"::1", 47006, "invalid IPv4 address: ::1"},
        {"localhost", 47006, "invalid IPv4 address: localhost"},
        {"127.0.0.1.5", 47006, "invalid IPv4 address: 127.0.0.1.5"},
        {"127.0.0.1", 65536, "invalid port: 65536"},
        {"127.0.0.1", 4294967295u, "invalid port: 4294967295"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.error);
        if (c.address) {
            config_.mutable_tproxy_listen_address()->set_address(*c.address);
            config_.mutable_tproxy_listen_address()->set_port(c.port);
        } else {
            config_.clear_tproxy_listen_address();
        }
        try {
            acceptor_->configure();
            ADD_FAILURE() << "accepted";
        } catch (const boost::system::system_error& e) {
            ADD_FAILURE() << "system error " << e.what();
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), c.error);
        }
        EXPECT_EQ(acceptor_->endpoint(), listening);
        EXPECT_TRUE(listener_at(listening));
    }
}

TEST_F(transparent_acceptor_netns, a_port_in_use_fails_the_bind_with_its_text)
{
    scoped_fd_t other(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(47007);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(other.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(other.get(), 1), 0);
    try {
        listen_at("127.0.0.1", 47007);
        FAIL() << "bound";
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(e.code().value(), EADDRINUSE);
        EXPECT_EQ(std::string(e.what()),
                  "Transparent acceptor: bind to 127.0.0.1:47007 failed: " + e.code().message());
    }
    // Nothing of the failed open is left listening.
    EXPECT_EQ(listener_at({boost::asio::ip::make_address_v4("127.0.0.1"), 47007}), other.get());
}

TEST_F(transparent_acceptor_netns, without_the_privilege_to_mark_the_open_fails)
{
    const auto result = morva_test::run_in_child([this] {
        morva_test::drop_net_capabilities();
        try {
            listen_at("127.0.0.1", 47008);
            std::fputs("no error\n", stderr);
        } catch (const boost::system::system_error& e) {
            std::fprintf(stderr, "%d %s\n", e.code().value(), e.what());
        }
        ::_exit(0);
    });
    EXPECT_EQ(result.status, 0);
    // IP_TRANSPARENT comes before the mark and needs the same privilege.
    EXPECT_EQ(result.err, std::to_string(EPERM) +
                              " Transparent acceptor: cannot set IP_TRANSPARENT: Operation not permitted\n");
}

TEST_F(transparent_acceptor_netns, a_steered_connection_is_handed_over_with_the_destination_it_asked_for)
{
    listen_at("127.0.0.1", 47009);
    steer_to(acceptor_->endpoint());
    scoped_fd_t client = client_socket(1);
    ASSERT_EQ(connect_to(client.get(), "10.99.0.1", 80), 0);
    ASSERT_TRUE(run_until([&] { return delegate_.accepted.size() == 1; }));

    auto& accepted = delegate_.accepted[0];
    EXPECT_EQ(accepted.peer, local_endpoint(client.get()));
    EXPECT_EQ(accepted.local, tcp::endpoint(boost::asio::ip::make_address_v4("10.99.0.1"), 80));
    // The descriptor handed over is the connection itself, and close-on-exec.
    ASSERT_EQ(::send(client.get(), "ping", 4, 0), 4);
    char buffer[8] = {};
    EXPECT_EQ(::recv(accepted.descriptor.get(), buffer, sizeof buffer, 0), 4);
    EXPECT_EQ(std::string(buffer), "ping");
    EXPECT_EQ(::fcntl(accepted.descriptor.get(), F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    // Nor watched: the connection's traffic in pellad's hands must not wake the event loop.
    EXPECT_FALSE(morva_test::watched_by_an_epoll(accepted.descriptor.get()));
    // The accepted socket itself is closed: the handed one is the only one left.
    accepted.descriptor.reset();
    EXPECT_EQ(::recv(client.get(), buffer, sizeof buffer, 0), 0);
}

TEST_F(transparent_acceptor_netns, a_client_gone_before_its_endpoints_are_read_costs_one_debug_line)
{
    listen_at("127.0.0.1", 47010);
    log_->taken();
    // Reset while still in the accept queue: accepted, but no longer connected.
    scoped_fd_t gone = client_socket(0);
    ASSERT_EQ(connect_to(gone.get(), "127.0.0.1", 47010), 0);
    const linger reset{1, 0};
    ASSERT_EQ(::setsockopt(gone.get(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset), 0);
    gone.reset();
    std::this_thread::sleep_for(20ms);

    scoped_fd_t next = client_socket(0);
    ASSERT_EQ(connect_to(next.get(), "127.0.0.1", 47010), 0);
    ASSERT_TRUE(run_until([&] { return delegate_.accepted.size() == 1; }));
    EXPECT_EQ(delegate_.accepted[0].peer, local_endpoint(next.get()));
    EXPECT_EQ(log_->taken(), std::vector<std::string>{"0 Transparent acceptor: getpeername failed: " +
                                                      std::string(std::strerror(ENOTCONN))});
}

// At the descriptor limit a client waits, never the daemon: the one
// descriptor left is all an accepted client needs to be handed over, and the
// accept after it fails; an accept that fails leaves the client in the
// backlog, to be handed over once a descriptor is free again.
TEST_F(transparent_acceptor_netns, at_the_descriptor_limit_a_client_is_handed_over_or_waits_and_accepting_goes_on)
{
    const struct {
        const char* name;
        int free_descriptors;
        const char* warning;
        const char* outcome;
    } cases[] = {
        {"the last descriptor", 1, "3 Transparent acceptor: accept failed: Too many open files", "handed over 1"},
        {"accept fails", 0, "3 Transparent acceptor: accept failed: Too many open files", "handed over 1"},
    };
    config_.mutable_tproxy_listen_address()->set_address("127.0.0.1");
    config_.mutable_tproxy_listen_address()->set_port(47012);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // A child of its own per case: the limit and the warnings' window are the process's.
        const auto result = morva_test::run_in_child([&] {
            boost::asio::io_context io;
            recording_delegate_t delegate;
            transparent_acceptor_t acceptor(io, delegate, config_, marks_);
            acceptor.configure();
            log_->taken();
            scoped_fd_t client = client_socket(0);
            if (connect_to(client.get(), "127.0.0.1", 47012) != 0)
                ::_exit(1);
            rlimit saved{};
            ::getrlimit(RLIMIT_NOFILE, &saved);
            const int lowest_free = ::dup(0);
            ::close(lowest_free);
            const rlimit low{static_cast<rlim_t>(lowest_free + c.free_descriptors), saved.rlim_max};
            ::setrlimit(RLIMIT_NOFILE, &low);
            std::vector<std::string> logged;
            morva_test::run_until(io, [&] {
                for (auto& line : log_->taken())
                    logged.push_back(line);
                return !logged.empty() && (c.free_descriptors == 0 || !delegate.accepted.empty());
            }, 10s);
            ::setrlimit(RLIMIT_NOFILE, &saved);
            // The waiting client is taken at the next try, after a short pause.
            if (c.free_descriptors == 0)
                morva_test::run_until(io, [&] { return !delegate.accepted.empty(); }, 10s);
            char byte;
            const bool reset = ::recv(client.get(), &byte, 1, MSG_DONTWAIT) < 0 && errno == ECONNRESET;
            for (const auto& line : logged)
                std::fprintf(stderr, "%s\n", line.c_str());
            std::fprintf(stderr, "%shanded over %zu\n", reset ? "reset, " : "", delegate.accepted.size());
            ::_exit(0);
        });
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.err, std::string(c.warning) + "\n" + c.outcome + "\n");
    }
}

TEST_F(transparent_acceptor_netns, destruction_closes_the_listener_and_disarms_the_accept)
{
    listen_at("127.0.0.1", 47011);
    const tcp::endpoint endpoint = acceptor_->endpoint();
    acceptor_.reset();
    EXPECT_FALSE(listener_at(endpoint));
    scoped_fd_t client = client_socket(0);
    EXPECT_EQ(connect_to(client.get(), "127.0.0.1", 47011), ECONNREFUSED);
    io_.run_for(20ms);
    EXPECT_TRUE(delegate_.accepted.empty());
}


// ---------------------------------------------------------------------------
// TIME_WAIT and orphaned FIN_WAIT2 sockets of accepted connections

// How a connection whose accepted side closed first is left.
enum class left_t { time_wait, orphaned_fin_wait2 };

const char* ss_state(left_t left) { return left == left_t::time_wait ? "time-wait" : "fin-wait-2"; }

// A connection to `port` from a client marked `mark`, whose accepted side closed
// first. The client closes too (the accepted socket is left in TIME_WAIT), or
// stays open, returned (the accepted socket is left orphaned in FIN_WAIT2).
scoped_fd_t leave_closed(const std::function<scoped_fd_t()>& accept, unsigned short port, left_t left,
                         std::uint32_t mark = 0)
{
    scoped_fd_t client = client_socket(mark);
    EXPECT_EQ(connect_to(client.get(), "127.0.0.1", port), 0);
    accept().reset();
    char byte;
    EXPECT_EQ(::read(client.get(), &byte, 1), 0);
    if (left == left_t::time_wait)
        return {};
    return client;
}

// The sockets on `port` in the state `left` (the kernel's view, with their marks).
std::string left_on(unsigned short port, left_t left)
{
    // The accepting side sees the client's FIN acknowledgement a moment after the client read the end.
    std::string found;
    for (int i = 0; i < 100 && found.empty(); ++i, std::this_thread::sleep_for(10ms))
        found = morva_test::sh(std::string("ss -tanoeH state ") + ss_state(left) + " sport = :" + std::to_string(port));
    return found;
}

// Another program's listener and, for an orphaned FIN_WAIT2, its client kept open.
struct other_socket_t {
    scoped_fd_t listener;
    scoped_fd_t client;
    unsigned short port() const { return local_endpoint(listener.get()).port(); }
};

class acceptor_time_wait;

struct time_wait_case_t {
    const char* name;
    std::chrono::milliseconds period;
    // What happens while the client waits in the listener's queue.
    std::function<void(acceptor_time_wait&)> before;
    // What happens after the accept, before the accepted socket is closed.
    std::function<void(acceptor_time_wait&)> between;
    // What happens once it is closed.
    std::function<void(acceptor_time_wait&)> then;
};

class acceptor_time_wait : public transparent_acceptor_netns,
                           public testing::WithParamInterface<std::tuple<time_wait_case_t, left_t>> {
public:
    void forward(bool on)
    {
        config_.set_forward_divert_enable(on);
        acceptor_->configure();
    }
    void change_marks()
    {
        set_marks(8, 16);
        acceptor_->configure();
    }
    void destroy() { acceptor_.reset(); }
    // Nothing but the periods, which the test runs until the socket is gone.
    void the_periods() {}

protected:
    void TearDown() override
    {
        transparent_acceptor_netns::TearDown();
        morva_test::sh("sysctl -qw net.ipv4.tcp_fwmark_accept=0");
    }

    // Another program's listener with `listener_mark`, its connection from a
    // client marked `client_mark` left as the case leaves the daemon's.
    other_socket_t other(std::uint32_t listener_mark, std::uint32_t client_mark, left_t left)
    {
        other_socket_t o;
        o.listener = client_socket(listener_mark);
        EXPECT_EQ(::listen(o.listener.get(), 8), 0);
        const auto accept = [&] { return scoped_fd_t(::accept4(o.listener.get(), nullptr, nullptr, SOCK_CLOEXEC)); };
        o.client = leave_closed(accept, o.port(), left, client_mark);
        return o;
    }
};

TEST_P(acceptor_time_wait, the_accepted_sockets_are_ended_and_no_other)
{
    const auto& [c, left] = GetParam();
    acceptor_ = std::make_unique<transparent_acceptor_t>(io_, delegate_, config_, marks_, c.period);
    config_.set_forward_divert_enable(true);
    listen_at("127.0.0.1", 47101);
    // An administrator's setting: an unmarked listener's accepted sockets take the SYN's mark.
    morva_test::sh("sysctl -qw net.ipv4.tcp_fwmark_accept=1");
    // Another program's sockets: unmarked, with the daemon's bits and more, with
    // exactly the daemon's mark by SO_MARK, and by a client whose SYN carried it.
    std::vector<other_socket_t> others;
    others.push_back(other(0, 0, left));
    others.push_back(other(2 | 4 | 1, 0, left));
    others.push_back(other(2 | 4, 0, left));
    others.push_back(other(0, 2 | 4, left));
    for (const auto& o : others)
        ASSERT_NE(left_on(o.port(), left), "") << "the situation under test";
    ASSERT_NE(left_on(others.back().port(), left).find("fwmark:0x6"), std::string::npos) << "the situation under test";

    scoped_fd_t accepted;
    const scoped_fd_t client = leave_closed(
        [&] {
            if (c.before)
                c.before(*this);
            EXPECT_TRUE(run_until([&] { return delegate_.accepted.size() == 1; }));
            accepted = delegate_.accepted.empty() ? scoped_fd_t() : std::move(delegate_.accepted.back().descriptor);
            if (c.between)
                c.between(*this);
            return std::move(accepted);
        },
        47101, left);
    ASSERT_NE(left_on(47101, left).find("fwmark:0x6"), std::string::npos) << "the situation under test";

    c.then(*this);
    // Cases that reap at once leave nothing for the periods (of an hour) to do.
    EXPECT_TRUE(run_until([&] {
        return morva_test::sh(std::string("ss -tanoeH state ") + ss_state(left) + " sport = :47101").empty();
    }, 10s));
    for (const auto& o : others)
        EXPECT_NE(left_on(o.port(), left), "") << o.port();
}

INSTANTIATE_TEST_SUITE_P(
    cases, acceptor_time_wait,
    testing::Combine(
        testing::Values(
            time_wait_case_t{"every_period_while_forward_is_on", 20ms, {}, {}, [](auto& t) { t.the_periods(); }},
            time_wait_case_t{"at_once_when_forward_is_turned_off", 1h, {}, {}, [](auto& t) { t.forward(false); }},
            time_wait_case_t{"every_period_after_forward_was_turned_off", 20ms, {},
                             [](auto& t) { t.forward(false); }, [](auto& t) { t.the_periods(); }},
            time_wait_case_t{"every_period_after_the_marks_changed", 20ms, {},
                             [](auto& t) { t.change_marks(); }, [](auto& t) { t.the_periods(); }},
            time_wait_case_t{"at_destruction", 1h, {}, {}, [](auto& t) { t.destroy(); }},
            // The steering rules still take a client on its way when the
            // forward divert goes off: it is accepted after.
            time_wait_case_t{"accepted_after_forward_was_turned_off_every_period", 20ms,
                             [](auto& t) { t.forward(false); }, {}, [](auto& t) { t.the_periods(); }},
            time_wait_case_t{"accepted_after_forward_was_turned_off_at_destruction", 1h,
                             [](auto& t) { t.forward(false); }, {}, [](auto& t) { t.destroy(); }}),
        testing::Values(left_t::time_wait, left_t::orphaned_fin_wait2)),
    [](const auto& info) {
        return std::string(std::get<0>(info.param).name)
               + (std::get<1>(info.param) == left_t::time_wait ? "_time_wait" : "_orphaned_fin_wait2");
    });

// A process still holds the socket: only it or the client may end it.
TEST_F(transparent_acceptor_netns, an_accepted_socket_held_in_fin_wait2_is_kept)
{
    acceptor_ = std::make_unique<transparent_acceptor_t>(io_, delegate_, config_, marks_, 20ms);
    config_.set_forward_divert_enable(true);
    listen_at("127.0.0.1", 47102);
    scoped_fd_t client = client_socket(0);
    ASSERT_EQ(connect_to(client.get(), "127.0.0.1", 47102), 0);
    ASSERT_TRUE(run_until([&] { return delegate_.accepted.size() == 1; }));
    ASSERT_EQ(::shutdown(delegate_.accepted.back().descriptor.get(), SHUT_WR), 0);
    ASSERT_NE(left_on(47102, left_t::orphaned_fin_wait2), "") << "the situation under test";
    const std::string held = "sport = :47102 dport = :" + std::to_string(local_endpoint(client.get()).port());
    // A pass has gone over it: another accepted socket, orphaned in FIN_WAIT2
    // after it, is ended. The same dump of the same mark brought both.
    const scoped_fd_t witness = leave_closed(
        [&] {
            EXPECT_TRUE(run_until([&] { return delegate_.accepted.size() == 2; }));
            return delegate_.accepted.size() == 2 ? std::move(delegate_.accepted.back().descriptor) : scoped_fd_t();
        },
        47102, left_t::orphaned_fin_wait2);
    ASSERT_TRUE(witness);
    const std::string ended = "sport = :47102 dport = :" + std::to_string(local_endpoint(witness.get()).port());
    ASSERT_TRUE(run_until([&] { return morva_test::sh("ss -tanH " + ended).empty(); }, 10s)) << "a pass of the reaper";
    EXPECT_NE(morva_test::sh("ss -tanH state fin-wait-2 " + held), "");
    // Released, it is ended by a later pass.
    delegate_.accepted.clear();
    EXPECT_TRUE(run_until([&] { return morva_test::sh("ss -tanH " + held).empty(); }, 10s));
}

} // namespace
