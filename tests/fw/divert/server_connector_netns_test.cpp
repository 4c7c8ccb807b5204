// The server connector in a private namespace: marked and transparently bound
// connects to servers on loopback, connects held in progress by a dropping
// rule for the limit, cancel and the security-option index.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/system/system_error.hpp>
#include <gtest/gtest.h>

#include "common/log.hpp"
#include "common/scoped_fd.hpp"
#include "fw/service/marks.hpp"
#include "fw/divert/server_connector.hpp"
#include "linux_firewall_config.pb.h"
#include "tests/common/fork.hpp"
#include "tests/common/recording_log.hpp"
#include "tests/fw/net_capabilities.hpp"
#include "tests/fw/handover_support.hpp"
#include "tests/support/netns.hpp"

namespace {

using boost::asio::ip::tcp;
using fw::service::server_connector_t;
using fw::util::scoped_fd_t;

struct result_t {
    bool called = false;
    boost::system::error_code ec;
    scoped_fd_t fd;
};

tcp::endpoint ep(const char* address, unsigned short port)
{
    return {boost::asio::ip::make_address_v4(address), port};
}

tcp::endpoint peer_endpoint(int fd)
{
    sockaddr_in address{};
    socklen_t size = sizeof address;
    EXPECT_EQ(::getpeername(fd, reinterpret_cast<sockaddr*>(&address), &size), 0);
    return {boost::asio::ip::address_v4(ntohl(address.sin_addr.s_addr)), ntohs(address.sin_port)};
}

scoped_fd_t listener(unsigned short port)
{
    scoped_fd_t fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    const int on = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(::listen(fd.get(), 16), 0);
    return fd;
}

// Sockets of this namespace in SYN-SENT towards the port, as ss sees them.
int syn_sent_to(unsigned short port)
{
    return std::stoi(morva_test::sh("ss -Htn state syn-sent '( dport = :" + std::to_string(port) + " )' | wc -l"));
}

const unsigned short server_port = 48001;
// SYNs to this port are dropped, so connects to it stay in progress.
const unsigned short silent_port = 48002;

class server_connector_netns : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(morva_test::in_private_netns());
        log_ = morva_test::fresh_debug_log();
        config_.mutable_local_delivery_mark()->set_manual(1);
        config_.mutable_client_packets_mark()->set_manual(2);
        config_.mutable_server_packets_mark()->set_manual(4);
        config_.set_input_divert_enable(true);
        config_.mutable_input_divert_mark()->set_manual(8);
        config_.set_output_divert_enable(true);
        config_.mutable_output_divert_mark()->set_manual(16);
        marks_.configure();
        morva_test::sh("iptables-legacy -A OUTPUT -p tcp --dport " + std::to_string(silent_port) + " -j DROP");
    }

    void TearDown() override
    {
        connector_.reset();
        morva_test::sh_status("iptables-legacy -F OUTPUT");
        morva_test::sh_status("while ip rule del lookup 100; do :; done");
        morva_test::sh_status("ip route flush table 100");
    }

    std::unique_ptr<server_connector_t> make(unsigned limit = 100, bool security_option_mode = false)
    {
        config_.set_process_ip_security_option(security_option_mode);
        auto connector = std::make_unique<server_connector_t>(io_, config_, marks_, limit);
        connector->configure();
        return connector;
    }

    server_connector_t::connection_handle connect(server_connector_t& connector, const tcp::endpoint& server,
                                                  result_t& result, int divert_kind = 0,
                                                  const std::uint8_t* option = nullptr,
                                                  std::optional<boost::asio::ip::address> bind = std::nullopt)
    {
        return connector.connect(server, option, bind, divert_kind,
                                 [&result](boost::system::error_code ec, scoped_fd_t fd) {
                                     EXPECT_FALSE(result.called);
                                     result.called = true;
                                     result.ec = ec;
                                     result.fd = std::move(fd);
                                 });
    }

    bool wait_for(const result_t& result)
    {
        return morva_test::run_until(io_, [&] { return result.called; });
    }

    std::shared_ptr<morva_test::recording_log_t> log_;
    boost::asio::io_context io_;
    kv::LinuxFirewallConfig config_;
    fw::service::marks_t marks_{config_};
    std::unique_ptr<server_connector_t> connector_;
};

TEST_F(server_connector_netns, a_connect_hands_over_its_connection_marked_for_its_divert)
{
    connector_ = make();
    auto server = listener(server_port);
    const struct {
        int divert_kind;
        int mark;
    } cases[] = {{0, 16 | 4}, {1, 8 | 4}, {2, 4}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.divert_kind);
        result_t result;
        connect(*connector_, ep("127.0.0.1", server_port), result, c.divert_kind);
        ASSERT_TRUE(wait_for(result));
        EXPECT_FALSE(result.ec);
        ASSERT_TRUE(result.fd);
        int mark = 0;
        socklen_t size = sizeof mark;
        ASSERT_EQ(::getsockopt(result.fd.get(), SOL_SOCKET, SO_MARK, &mark, &size), 0);
        EXPECT_EQ(mark, c.mark);
        EXPECT_EQ(::fcntl(result.fd.get(), F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
        // Nor a watch: the connection's traffic in pellad's hands must not wake the event loop.
        EXPECT_FALSE(morva_test::watched_by_an_epoll(result.fd.get()));

        // The descriptor is the connection itself; the connector kept no copy.
        scoped_fd_t accepted(::accept4(server.get(), nullptr, nullptr, SOCK_CLOEXEC));
        ASSERT_TRUE(accepted);
        ASSERT_EQ(::send(result.fd.get(), "x", 1, 0), 1);
        result.fd.reset();
        char buffer[4];
        EXPECT_EQ(::recv(accepted.get(), buffer, sizeof buffer, 0), 1);
        EXPECT_EQ(::recv(accepted.get(), buffer, sizeof buffer, 0), 0);
    }
}

TEST_F(server_connector_netns, a_later_configure_changes_the_marks_of_later_connects)
{
    connector_ = make();
    config_.mutable_server_packets_mark()->set_manual(32);
    marks_.configure();
    connector_->configure();
    auto server = listener(server_port);
    result_t result;
    connect(*connector_, ep("127.0.0.1", server_port), result, 0);
    ASSERT_TRUE(wait_for(result));
    ASSERT_TRUE(result.fd);
    int mark = 0;
    socklen_t size = sizeof mark;
    ASSERT_EQ(::getsockopt(result.fd.get(), SOL_SOCKET, SO_MARK, &mark, &size), 0);
    EXPECT_EQ(mark, 16 | 32);
}

TEST_F(server_connector_netns, a_refused_connect_reaches_the_handler_as_its_error)
{
    connector_ = make();
    result_t result;
    connect(*connector_, ep("127.0.0.1", server_port), result);
    ASSERT_TRUE(wait_for(result));
    EXPECT_EQ(result.ec, boost::system::error_code(ECONNREFUSED, boost::system::system_category()));
    EXPECT_FALSE(result.fd);
}

TEST_F(server_connector_netns, a_transparent_connect_shows_the_server_the_clients_address)
{
    // Answers to the client's address come back to the daemon's socket.
    morva_test::sh("ip rule add to 10.99.0.7 lookup 100");
    morva_test::sh("ip route add local 0.0.0.0/0 dev lo table 100");
    connector_ = make();
    auto server = listener(server_port);
    result_t result;
    connect(*connector_, ep("127.0.0.1", server_port), result, 1, nullptr,
            boost::asio::ip::make_address("10.99.0.7"));
    ASSERT_TRUE(wait_for(result));
    ASSERT_FALSE(result.ec) << result.ec.message();
    scoped_fd_t accepted(::accept4(server.get(), nullptr, nullptr, SOCK_CLOEXEC));
    ASSERT_TRUE(accepted);
    const tcp::endpoint seen = peer_endpoint(accepted.get());
    EXPECT_EQ(seen.address(), boost::asio::ip::make_address("10.99.0.7"));
    EXPECT_NE(seen.port(), 0);
}

TEST_F(server_connector_netns, the_limit_pushes_out_the_oldest_connect_inside_connect)
{
    connector_ = make(3);
    result_t first, second, third;
    connect(*connector_, ep("127.0.0.1", silent_port), first);
    connect(*connector_, ep("127.0.0.1", silent_port), second);
    EXPECT_EQ(syn_sent_to(silent_port), 2);
    log_->taken();

    connect(*connector_, ep("127.0.0.1", silent_port), third);
    // Before connect returned: the generic time-out, no descriptor.
    ASSERT_TRUE(first.called);
    EXPECT_EQ(first.ec, boost::system::error_code(ETIMEDOUT, boost::system::generic_category()));
    EXPECT_FALSE(first.fd);
    EXPECT_FALSE(second.called);
    EXPECT_FALSE(third.called);
    EXPECT_EQ(syn_sent_to(silent_port), 2);
    EXPECT_EQ(log_->taken(), std::vector<std::string>{"1 Server connector: exceeded the limit of 3 open files; "
                                                      "drop oldest connection"});
    io_.run_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(second.called);
}

TEST_F(server_connector_netns, cancel_and_destruction_close_the_socket_and_call_no_handler)
{
    connector_ = make();
    auto server = listener(server_port);
    result_t cancelled, silent;
    const auto handle = connect(*connector_, ep("127.0.0.1", server_port), cancelled);
    connect(*connector_, ep("127.0.0.1", silent_port), silent);
    // The connect to the listener has completed in the kernel; its completion is queued.
    connector_->cancel(handle);
    scoped_fd_t accepted(::accept4(server.get(), nullptr, nullptr, SOCK_CLOEXEC));
    ASSERT_TRUE(accepted);
    char c;
    EXPECT_EQ(::recv(accepted.get(), &c, 1, 0), 0);

    EXPECT_EQ(syn_sent_to(silent_port), 1);
    connector_.reset();
    EXPECT_EQ(syn_sent_to(silent_port), 0);
    io_.run_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(cancelled.called);
    EXPECT_FALSE(silent.called);
}

TEST_F(server_connector_netns, the_security_option_mode_indexes_connects_by_their_endpoints)
{
    connector_ = make(100, true);
    const std::uint8_t given[] = {0x82, 0x03, 0x0A};
    result_t with_option, without_option;
    const auto a = connect(*connector_, ep("127.0.0.1", silent_port), with_option, 0, given);
    const auto b = connect(*connector_, ep("127.0.0.1", silent_port), without_option, 0);

    // The socket sends exactly the given option (padded to a 4-byte word by the kernel).
    std::uint8_t options[40] = {};
    socklen_t size = sizeof options;
    ASSERT_EQ(::getsockopt(a->socket.native_handle(), IPPROTO_IP, IP_OPTIONS, options, &size), 0);
    EXPECT_EQ(std::vector<std::uint8_t>(options, options + size), (std::vector<std::uint8_t>{0x82, 0x03, 0x0A, 0x00}));
    size = sizeof options;
    ASSERT_EQ(::getsockopt(b->socket.native_handle(), IPPROTO_IP, IP_OPTIONS, options, &size), 0);
    EXPECT_EQ(size, 0u);

    for (const auto& handle : {a, b}) {
        // A program the daemon starts meanwhile must not inherit the connect.
        EXPECT_EQ(::fcntl(handle->socket.native_handle(), F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
        const tcp::endpoint local = handle->socket.local_endpoint();
        const auto found = connector_->find_connection({local, ep("127.0.0.1", silent_port)});
        ASSERT_TRUE(found);
        EXPECT_EQ(*found, handle);
        EXPECT_FALSE(connector_->find_connection({ep("127.0.0.1", silent_port), local}));
    }

    const std::uint8_t default_option[] = {0x82, 0x03, 0xAB};
    const std::uint8_t other_level[] = {0x82, 0x03, 0xAC};
    const std::uint8_t longer[] = {0x82, 0x04, 0x0A, 0x00};
    const struct {
        server_connector_t::connection_handle handle;
        const std::uint8_t* option;
        bool matches;
    } cases[] = {
        {a, given, true},          {a, nullptr, false},      {a, default_option, false},
        {a, longer, false},        {b, nullptr, true},       {b, default_option, true},
        {b, other_level, false},   {b, given, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(connector_->security_option_matches(c.handle, c.option), c.matches)
            << (c.handle == a ? "a " : "b ") << (c.option ? int(c.option[2]) : -1);

    // A cancelled connect is gone from the index.
    const tcp::endpoint local = a->socket.local_endpoint();
    connector_->cancel(a);
    EXPECT_FALSE(connector_->find_connection({local, ep("127.0.0.1", silent_port)}));
}

TEST_F(server_connector_netns, without_the_mode_nothing_is_indexed_and_the_option_is_ignored)
{
    connector_ = make();
    const std::uint8_t given[] = {0x82, 0x03, 0x0A};
    result_t result;
    const auto handle = connect(*connector_, ep("127.0.0.1", silent_port), result, 0, given);
    std::uint8_t options[40] = {};
    socklen_t size = sizeof options;
    ASSERT_EQ(::getsockopt(handle->socket.native_handle(), IPPROTO_IP, IP_OPTIONS, options, &size), 0);
    EXPECT_EQ(size, 0u);
    EXPECT_FALSE(connector_->find_connection({handle->socket.local_endpoint(), ep("127.0.0.1", silent_port)}));
}

TEST_F(server_connector_netns, the_security_option_mode_cannot_change_after_the_first_configure)
{
    for (const bool first : {false, true}) {
        SCOPED_TRACE(first);
        auto connector = make(100, first);
        config_.set_process_ip_security_option(!first);
        try {
            connector->configure();
            ADD_FAILURE() << "changed";
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), first ? "Cannot stop processing ip security option"
                                                   : "Cannot start processing ip security option");
        }
    }
}

rlimit saved_limit{};

// Lets no new descriptor be opened: the soft limit becomes the lowest free number.
void exhaust_descriptors()
{
    ::getrlimit(RLIMIT_NOFILE, &saved_limit);
    const int lowest_free = ::dup(0);
    ::close(lowest_free);
    const rlimit limit{static_cast<rlim_t>(lowest_free), saved_limit.rlim_max};
    ::setrlimit(RLIMIT_NOFILE, &limit);
}

// A failure that concerns one connection (no descriptor left, no privilege to
// mark its socket, a dup at the descriptor limit) never leaves connect or the
// event loop: a rate-limited Warning, and the handler hears it later as the
// connect's error, so the diverter resets that client and goes on.
TEST_F(server_connector_netns, a_failure_of_one_connect_reaches_its_handler_later_as_its_error)
{
    auto server = listener(server_port);
    const struct {
        const char* name;
        unsigned short port;
        std::function<void()> before_connect;
        std::function<void()> before_completion;
        int error;
        std::string warning;
    } cases[] = {
        {"no privilege to mark", silent_port, morva_test::drop_net_capabilities, [] {}, EPERM,
         "3 Server connector: setsockopt(SO_MARK) failed: Operation not permitted; resetting the client"},
        {"no descriptor left", silent_port, exhaust_descriptors, [] {}, EMFILE,
         "3 Server connector: cannot open socket: Too many open files; resetting the client"},
        {"dup at the descriptor limit", server_port, [] {}, exhaust_descriptors, EMFILE,
         "3 Server connector: dup failed: Too many open files; resetting the client"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // A child of its own per case: the limits, the capabilities and the
        // warnings' window are the process's.
        const auto result = morva_test::run_in_child([&] {
            boost::asio::io_context io;
            // The event loop opens its own descriptors at its first socket, as in
            // the daemon long before any limit is reached.
            tcp::socket(io).open(tcp::v4());
            server_connector_t connector(io, config_, marks_, 100);
            connector.configure();
            log_->taken();
            c.before_connect();
            result_t result;
            try {
                connector.connect(ep("127.0.0.1", c.port), nullptr, std::nullopt, 0,
                                  [&result](boost::system::error_code ec, scoped_fd_t fd) {
                                      result.called = true;
                                      result.ec = ec;
                                      result.fd = std::move(fd);
                                  });
            } catch (const std::exception& e) {
                std::fprintf(stderr, "thrown: %s\n", e.what());
                ::_exit(1);
            }
            std::fprintf(stderr, "called inside connect %d\n", result.called);
            c.before_completion();
            morva_test::run_until(io, [&] { return result.called; }, std::chrono::seconds(20));
            if (saved_limit.rlim_cur)
                ::setrlimit(RLIMIT_NOFILE, &saved_limit);
            std::fprintf(stderr, "error %d, descriptor %d, in progress %d\n", result.ec.value(), bool(result.fd),
                         syn_sent_to(silent_port));
            for (const auto& line : log_->taken())
                std::fprintf(stderr, "%s\n", line.c_str());
            ::_exit(0);
        });
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.err, "called inside connect 0\nerror " + std::to_string(c.error)
                                  + ", descriptor 0, in progress 0\n" + c.warning + "\n");
        // The server saw the daemon's connection end with it.
        if (c.port == server_port) {
            scoped_fd_t accepted(::accept4(server.get(), nullptr, nullptr, SOCK_CLOEXEC));
            ASSERT_TRUE(accepted);
            char byte;
            EXPECT_EQ(::recv(accepted.get(), &byte, 1, 0), 0);
        }
    }
}

// In the security-option mode a connect that fails at once leaves its socket
// unbound; it is a failed connect like any other, not a failure of the daemon.
TEST_F(server_connector_netns, a_connect_failing_at_once_in_the_security_option_mode_reaches_its_handler)
{
    auto server = listener(server_port);
    const std::string saved_range = morva_test::sh("sysctl -n net.ipv4.ip_local_port_range");
    morva_test::sh("sysctl -q -w net.ipv4.ip_local_port_range='40000 40000'");
    struct restore_t {
        std::string range;
        ~restore_t() { morva_test::sh_status("sysctl -q -w net.ipv4.ip_local_port_range='" + range + "'"); }
    } restore{saved_range.substr(0, saved_range.find('\n'))};
    connector_ = make(100, true);
    // Holds the one local port towards the server.
    result_t holder;
    connect(*connector_, ep("127.0.0.1", server_port), holder);
    ASSERT_TRUE(morva_test::run_until(io_, [&] { return holder.called; }, std::chrono::seconds(20)));
    ASSERT_FALSE(holder.ec) << holder.ec.message();
    log_->taken();

    const struct {
        const char* name;
        tcp::endpoint server;
        int error;
    } cases[] = {
        {"no route", ep("10.250.0.5", 80), ENETUNREACH},
        {"no local port left", ep("127.0.0.1", server_port), EADDRNOTAVAIL},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        result_t result;
        try {
            connect(*connector_, c.server, result);
        } catch (const std::exception& e) {
            ADD_FAILURE() << "thrown: " << e.what();
            continue;
        }
        EXPECT_FALSE(result.called);
        ASSERT_TRUE(morva_test::run_until(io_, [&] { return result.called; }, std::chrono::seconds(20)));
        EXPECT_EQ(result.ec, boost::system::error_code(c.error, boost::system::system_category()))
            << result.ec.message();
        EXPECT_FALSE(result.fd);
    }
    EXPECT_EQ(log_->taken(), std::vector<std::string>{});
}

} // namespace
