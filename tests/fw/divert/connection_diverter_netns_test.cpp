// The diverter against the kernel: real NFQUEUE queues, iptables-legacy rules
// put in by hand (OUTPUT to loopback servers), and the neighbouring services of
// the road (rejector, retransmitter, acceptor, pool, validator, connector).
// Hook sessions are stand-ins that deliver the verdict a test chooses.
#include "fw/divert/connection_diverter.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/filesystem/operations.hpp>

#include "common/log.hpp"
#include "common/log_hook.hpp"
#include "common/rate_limit.hpp"
#include "fw/divert/connection_rejector.hpp"
#include "fw/service/lua_service.hpp"
#include "fw/service/process_finder.hpp"
#include "fw/divert/marking_retransmitter.hpp"
#include "fw/service/marks.hpp"
#include "fw/divert/packet_validator.hpp"
#include "fw/divert/server_connector.hpp"
#include "fw/divert/server_socket_pool.hpp"
#include "fw/divert/transparent_acceptor.hpp"
#include "linux/nfqueue/nfqueue_config.hpp"
#include "links/quisad/quisad.hpp"
#include "linux_firewall_config.pb.h"
#include "lua/intercept_types.hpp"
#include "rules.pb.h"
#include "tests/fw/handover_support.hpp"
#include "tests/net/ipv4_tcp_packet.hpp"
#include "tests/net/raw_capture.hpp"
#include "tests/support/netns.hpp"

namespace {

using namespace fw::service;
using boost::asio::ip::tcp;
using fw::lua::intercept::artifacts_t;
using fw::lua::intercept::connection_info_t;
using morva_test::sh;

constexpr std::uint32_t local_delivery = 0x1, client_mark = 0x2, server_mark = 0x4, output_mark = 0x8;

std::vector<std::string> lines_with(const std::vector<std::string>& lines, const std::string& part)
{
    std::vector<std::string> found;
    for (const auto& line : lines)
        if (line.find(part) != std::string::npos)
            found.push_back(line);
    return found;
}

// The queues bound in this namespace, from the kernel's own table.
std::set<unsigned> bound_queues()
{
    std::ifstream in("/proc/net/netfilter/nfnetlink_queue");
    std::set<unsigned> queues;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        unsigned queue = 0;
        if (fields >> queue)
            queues.insert(queue);
    }
    return queues;
}

// Hook sessions whose verdicts the test chooses.
struct fake_sessions_t {
    struct session_t {
        connection_info_t info;
        std::string id;
        connection_diverter_t::verdict_handler_t handler;
        std::weak_ptr<int> alive;
    };

    explicit fake_sessions_t(boost::asio::io_context& loop) : io(loop) {}

    boost::asio::io_context& io;
    int verdict = fw::lua::intercept::CHECK;
    std::exception_ptr error;
    artifacts_t artifacts;
    // Keep the handler until deliver() instead of answering at once.
    bool hold = false;
    // Post the answer without looking whether the session still lives, and stop
    // the loop, so the test can act before the posted answer runs.
    bool post_unguarded = false;
    std::vector<session_t> sessions;

    connection_diverter_t::session_factory_t factory()
    {
        return [this](const connection_info_t& info, const std::string& id,
                      connection_diverter_t::verdict_handler_t handler) -> std::shared_ptr<void> {
            auto token = std::make_shared<int>(0);
            sessions.push_back({info, id, handler, token});
            if (post_unguarded) {
                boost::asio::post(io, [handler, e = error, v = verdict, a = artifacts] { handler(e, v, a); });
                io.stop();
            } else if (!hold) {
                deliver(sessions.size() - 1);
            }
            return token;
        };
    }

    void deliver(std::size_t index, int with_verdict = -1)
    {
        auto& s = sessions.at(index);
        const int v = with_verdict < 0 ? verdict : with_verdict;
        boost::asio::post(io, [alive = s.alive, handler = s.handler, e = error, v, a = artifacts] {
            if (alive.lock())
                handler(e, v, a);
        });
    }
};

struct pair_t {
    connected_socket_t server;
    connected_socket_t client;
    kv::RuleSet rules;
};

struct fake_pellad_t : server_socket_pool_t::delegate_t {
    std::vector<pair_t> pairs;
    void new_socket_pair(connected_socket_t&& server, connected_socket_t&& client, const kv::RuleSet& rules) override
    {
        pairs.push_back({std::move(server), std::move(client), rules});
    }
};

// A listening loopback server on a port the kernel chose.
struct listener_t {
    fw::util::scoped_fd_t fd{::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0)};
    std::uint16_t port = 0;

    explicit listener_t(bool listening = true)
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
            throw std::runtime_error("bind");
        socklen_t len = sizeof a;
        ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
        if (listening && ::listen(fd.get(), 16) != 0)
            throw std::runtime_error("listen");
    }

    fw::util::scoped_fd_t accept_one() { return fw::util::scoped_fd_t(::accept4(fd.get(), nullptr, nullptr, SOCK_CLOEXEC)); }
};

// A client connecting without blocking.
struct client_t {
    fw::util::scoped_fd_t fd{::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0)};

    explicit client_t(std::uint16_t port, const std::vector<std::uint8_t>& ip_options = {},
                      const char* source = nullptr)
    {
        if (source) {
            sockaddr_in b{};
            b.sin_family = AF_INET;
            ::inet_pton(AF_INET, source, &b.sin_addr);
            if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&b), sizeof b) != 0)
                throw std::runtime_error("bind client");
        }
        if (!ip_options.empty()
            && ::setsockopt(fd.get(), IPPROTO_IP, IP_OPTIONS, ip_options.data(),
                            static_cast<socklen_t>(ip_options.size()))
                   != 0)
            throw std::runtime_error(std::string("IP_OPTIONS: ") + std::strerror(errno));
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port);
        const int rc = ::connect(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
        if (rc != 0 && errno != EINPROGRESS)
            throw std::runtime_error(std::string("connect: ") + std::strerror(errno));
    }

    tcp::endpoint local() const
    {
        sockaddr_in a{};
        socklen_t len = sizeof a;
        ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&a), &len);
        return {boost::asio::ip::address_v4(ntohl(a.sin_addr.s_addr)), ntohs(a.sin_port)};
    }

    // Nothing while the handshake is under way; else 0 or the socket's error
    // (kept: reading SO_ERROR clears it).
    std::optional<int> result()
    {
        if (error_)
            return error_;
        pollfd p{fd.get(), POLLOUT, 0};
        if (::poll(&p, 1, 0) == 0)
            return std::nullopt;
        int error = 0;
        socklen_t len = sizeof error;
        ::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &len);
        if (error)
            error_ = error;
        return error;
    }

private:
    std::optional<int> error_;
};

// Sends a packet built by the test from a raw socket with the given mark.
void send_packet(const morva_test::ipv4_tcp_packet_t& packet, std::uint32_t mark = 0)
{
    const auto bytes = packet.bytes();
    fw::util::scoped_fd_t raw(::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW));
    if (mark != 0 && ::setsockopt(raw.get(), SOL_SOCKET, SO_MARK, &mark, sizeof mark) != 0)
        throw std::runtime_error("SO_MARK");
    sockaddr_in to{};
    to.sin_family = AF_INET;
    ::inet_pton(AF_INET, packet.destination.c_str(), &to.sin_addr);
    if (::sendto(raw.get(), bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to)
        != static_cast<ssize_t>(bytes.size()))
        throw std::runtime_error(std::string("sendto: ") + std::strerror(errno));
}

morva_test::ipv4_tcp_packet_t packet_between(const tcp::endpoint& from, const tcp::endpoint& to,
                                             std::uint16_t flags = 0x02)
{
    morva_test::ipv4_tcp_packet_t packet;
    packet.source = from.address().to_string();
    packet.destination = to.address().to_string();
    packet.source_port = from.port();
    packet.destination_port = to.port();
    packet.flags = flags;
    return packet;
}

// A copy of the client's SYN, sent again: while the kernel holds the first one
// in the queue, TCP itself repeats nothing.
void send_syn_again(const tcp::endpoint& client, const tcp::endpoint& server)
{
    send_packet(packet_between(client, server));
}

class ConnectionDiverter : public ::testing::Test {
protected:
    void SetUp() override
    {
        log = morva_test::fresh_debug_log();
        config.set_autoconfigure_iptables(true);
        config.mutable_local_delivery_mark()->set_manual(local_delivery);
        config.mutable_client_packets_mark()->set_manual(client_mark);
        config.mutable_server_packets_mark()->set_manual(server_mark);
        config.mutable_output_divert_mark()->set_manual(output_mark);
        config.mutable_tproxy_listen_address()->set_address("127.0.0.1");
        // Below the ephemeral range, and fixed: a later configure keeps the listener.
        config.mutable_tproxy_listen_address()->set_port(7000);

        marks = std::make_unique<marks_t>(config, [](const mark_filter_t&) { return 0u; });
        rejector = std::make_unique<connection_rejector_t>(io, *marks);
        retransmitter = std::make_unique<marking_retransmitter_t>(io, *marks);
        pool = std::make_unique<server_socket_pool_t>(io, pellad, 100);
        acceptor = std::make_unique<transparent_acceptor_t>(io, *pool, config, *marks);
        validator = std::make_unique<packet_validator_t>(*marks, *acceptor);
        connector = std::make_unique<server_connector_t>(io, config, *marks, 100);
        diverter = std::make_unique<connection_diverter_t>(io, *pool, config, *connector, *marks, *rejector,
                                                           *retransmitter, *validator, lua_stand_in(),
                                                           sessions.factory());
    }

    void TearDown() override
    {
        diverter.reset();
        morva_test::sh("iptables-legacy -t mangle -F; iptables-legacy -t filter -F", false);
        log->taken();
    }

    // The Lua service is never reached while the test gives the sessions.
    static lua_t& lua_stand_in()
    {
        alignas(std::max_align_t) static unsigned char storage[16];
        return *reinterpret_cast<lua_t*>(storage);
    }

    void configure()
    {
        marks->configure();
        rejector->configure();
        retransmitter->configure();
        acceptor->configure();
        pool->configure();
        validator->configure();
        connector->configure();
        diverter->configure();
    }

    // Output divert on queue `queue`, the SYNs of clients to loopback queued,
    // and the re-sent SYNs of checked clients steered to the acceptor.
    void install_rules(std::uint16_t queue)
    {
        sh("iptables-legacy -t mangle -A OUTPUT -o lo -p tcp --syn -m mark --mark 0/"
           + std::to_string(client_mark | server_mark) + " -j NFQUEUE --queue-num " + std::to_string(queue));
        sh("iptables-legacy -t mangle -A PREROUTING -p tcp -m mark --mark " + std::to_string(local_delivery) + "/"
           + std::to_string(local_delivery) + " -j TPROXY --on-ip 127.0.0.1 --on-port "
           + std::to_string(acceptor->endpoint().port()) + " --tproxy-mark " + std::to_string(local_delivery)
           + "/" + std::to_string(local_delivery));
    }

    // The servers' SYN-ACKs, as the rules of the security-option mode queue them.
    void queue_syn_acks()
    {
        sh("iptables-legacy -t mangle -A OUTPUT -o lo -p tcp --tcp-flags SYN,ACK SYN,ACK -m mark --mark 0/"
           + std::to_string(client_mark | server_mark) + " -j NFQUEUE --queue-num "
           + std::to_string(*diverter->nfqueue_number(output_divert)));
    }

    void start_output_divert()
    {
        config.set_output_divert_enable(true);
        config.mutable_output_divert_nfqueue_number()->mutable_auto_();
        configure();
        install_rules(*diverter->nfqueue_number(output_divert));
        log->taken();
    }

    bool run_until(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(5))
    {
        return morva_test::run_until(io, done, limit);
    }

    // Lets the loop run for a while, for things that must not happen.
    void run_for(std::chrono::milliseconds time)
    {
        morva_test::run_until(io, [] { return false; }, time);
    }

    std::shared_ptr<morva_test::recording_log_t> log;
    boost::asio::io_context io;
    kv::LinuxFirewallConfig config;
    fake_sessions_t sessions{io};
    fake_pellad_t pellad;
    std::unique_ptr<marks_t> marks;
    std::unique_ptr<connection_rejector_t> rejector;
    std::unique_ptr<marking_retransmitter_t> retransmitter;
    std::unique_ptr<server_socket_pool_t> pool;
    std::unique_ptr<transparent_acceptor_t> acceptor;
    std::unique_ptr<packet_validator_t> validator;
    std::unique_ptr<server_connector_t> connector;
    std::unique_ptr<connection_diverter_t> diverter;
};

// --- configure: starting, keeping, restarting and stopping diverts ---

TEST_F(ConnectionDiverter, ManualNumbersFirstThenAutomaticInDivertOrder)
{
    config.set_output_divert_enable(true);
    config.mutable_output_divert_nfqueue_number()->mutable_auto_();
    config.set_input_divert_enable(true);
    config.mutable_input_divert_nfqueue_number()->set_manual(5);
    config.set_forward_divert_enable(true);
    config.mutable_forward_divert_nfqueue_number()->set_manual(2);
    EXPECT_FALSE(diverter->nfqueue_number(output_divert));
    diverter->configure();

    EXPECT_EQ(diverter->nfqueue_number(output_divert), 0);
    EXPECT_EQ(diverter->nfqueue_number(input_divert), 5);
    EXPECT_EQ(diverter->nfqueue_number(forward_divert), 2);
    EXPECT_FALSE(diverter->nfqueue_number(3));
    EXPECT_FALSE(diverter->nfqueue_number(-1));
    EXPECT_EQ(bound_queues(), (std::set<unsigned>{0, 2, 5}));
    EXPECT_EQ(log->taken(), (std::vector<std::string>{
                                           "0 Connection diverter: connected to nfqueue 2 for divert FORWARD",
                                           "0 Connection diverter: divert FORWARD: started",
                                           "0 Connection diverter: connected to nfqueue 5 for divert INPUT",
                                           "0 Connection diverter: divert INPUT: started",
                                           "0 Connection diverter: connected to nfqueue 0 for divert OUTPUT",
                                           "0 Connection diverter: divert OUTPUT: started",
                                       }));

    // The same fields again: every entry stays, no queue is opened again.
    diverter->configure();
    EXPECT_TRUE(log->taken().empty());
    EXPECT_EQ(bound_queues(), (std::set<unsigned>{0, 2, 5}));

    // Destruction unbinds every queue.
    diverter.reset();
    EXPECT_TRUE(bound_queues().empty());
    EXPECT_EQ(log->taken(), (std::vector<std::string>{
                                           "0 Connection diverter: interceptor OUTPUT: stopped",
                                           "0 Connection diverter: interceptor INPUT: stopped",
                                           "0 Connection diverter: interceptor FORWARD: stopped",
                                       }));
}

TEST_F(ConnectionDiverter, AutomaticSearchSkipsQueuesBoundElsewhereAndKeepsItsQueue)
{
    std::vector<fw::util::scoped_fd_t> others;
    for (std::uint16_t n = 0; n < 5; ++n)
        others.push_back(fw::linux::nfqueue::open_queue(n, 16));
    config.set_output_divert_enable(true);
    config.mutable_output_divert_nfqueue_number()->mutable_auto_();
    diverter->configure();
    EXPECT_EQ(diverter->nfqueue_number(output_divert), 5);

    // Queue 0 free again: an automatic divert stays where it is.
    others.clear();
    log->taken();
    diverter->configure();
    EXPECT_EQ(diverter->nfqueue_number(output_divert), 5);
    EXPECT_TRUE(log->taken().empty());

    // Nothing selected means queue 0: the entry on 5 is stopped and a new search runs.
    config.mutable_output_divert_nfqueue_number()->Clear();
    diverter->configure();
    EXPECT_EQ(diverter->nfqueue_number(output_divert), 0);
    EXPECT_EQ(log->taken(), (std::vector<std::string>{
                                           "0 Connection diverter: divert OUTPUT: stopped",
                                           "0 Connection diverter: connected to nfqueue 0 for divert OUTPUT",
                                           "0 Connection diverter: divert OUTPUT: started",
                                       }));
    // And on queue 0 nothing selected keeps it.
    diverter->configure();
    EXPECT_TRUE(log->taken().empty());
    EXPECT_EQ(bound_queues(), (std::set<unsigned>{0}));
}

TEST_F(ConnectionDiverter, ChangedManualNumberRestartsAndDisablingStops)
{
    config.set_input_divert_enable(true);
    config.mutable_input_divert_nfqueue_number()->set_manual(7);
    diverter->configure();
    log->taken();

    config.mutable_input_divert_nfqueue_number()->set_manual(8);
    diverter->configure();
    EXPECT_EQ(diverter->nfqueue_number(input_divert), 8);
    EXPECT_EQ(bound_queues(), (std::set<unsigned>{8}));
    EXPECT_EQ(log->taken(), (std::vector<std::string>{
                                           "0 Connection diverter: divert INPUT: stopped",
                                           "0 Connection diverter: connected to nfqueue 8 for divert INPUT",
                                           "0 Connection diverter: divert INPUT: started",
                                       }));

    // Only connect-transparently changed: the entry stays.
    config.set_input_divert_connect_transparently(true);
    diverter->configure();
    EXPECT_TRUE(log->taken().empty());

    config.set_input_divert_enable(false);
    diverter->configure();
    EXPECT_FALSE(diverter->nfqueue_number(input_divert));
    EXPECT_TRUE(bound_queues().empty());
    EXPECT_EQ(log->taken(), (std::vector<std::string>{"0 Connection diverter: divert INPUT: stopped"}));
    // Disabled and not running: nothing to say.
    diverter->configure();
    EXPECT_TRUE(log->taken().empty());
}

// A queue number that moves from one divert to another on a new revision is
// let go by its old divert before its new divert binds it; the result is what
// a first start with the new revision gives.
TEST_F(ConnectionDiverter, QueueNumbersMovingBetweenDivertsAreFreedFirst)
{
    using edit_t = std::function<void(kv::LinuxFirewallConfig&)>;
    // A divert enabled with a manual number, or an automatic one.
    const auto divert = [](int kind, std::optional<std::uint32_t> manual) -> edit_t {
        return [kind, manual](kv::LinuxFirewallConfig& c) {
            kv::NfqueueNumber* number = nullptr;
            switch (kind) {
            case output_divert:
                c.set_output_divert_enable(true);
                number = c.mutable_output_divert_nfqueue_number();
                break;
            case input_divert:
                c.set_input_divert_enable(true);
                number = c.mutable_input_divert_nfqueue_number();
                break;
            default:
                c.set_forward_divert_enable(true);
                number = c.mutable_forward_divert_nfqueue_number();
            }
            if (manual)
                number->set_manual(*manual);
            else
                number->mutable_auto_();
        };
    };
    const auto both = [](edit_t a, edit_t b) -> edit_t {
        return [a, b](kv::LinuxFirewallConfig& c) {
            a(c);
            b(c);
        };
    };
    const struct {
        const char* what;
        edit_t first;
        edit_t second;
        std::optional<std::uint16_t> output, input;
    } cases[] = {
        {"input 22 and output 25 swap", both(divert(input_divert, 22), divert(output_divert, 25)),
         both(divert(input_divert, 25), divert(output_divert, 22)), 22, 25},
        {"input 22 off, output takes 22", divert(input_divert, 22), divert(output_divert, 22), 22, std::nullopt},
        {"automatic output on 0 set to 3, input takes 0", divert(output_divert, std::nullopt),
         both(divert(output_divert, 3), divert(input_divert, 0)), 3, 0},
        {"automatic output on 0 stays automatic, input takes 0", divert(output_divert, std::nullopt),
         both(divert(output_divert, std::nullopt), divert(input_divert, 0)), 1, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto apply = [&](const edit_t& edit) {
            config.Clear();
            config.set_autoconfigure_iptables(true);
            edit(config);
        };
        const auto make = [&] {
            return std::make_unique<connection_diverter_t>(io, *pool, config, *connector, *marks, *rejector,
                                                           *retransmitter, *validator, lua_stand_in(),
                                                           sessions.factory());
        };
        std::set<unsigned> expected;
        for (const auto& queue : {c.output, c.input})
            if (queue)
                expected.insert(*queue);

        apply(c.first);
        auto running = make();
        running->configure();
        apply(c.second);
        EXPECT_NO_THROW(running->configure());
        EXPECT_EQ(running->nfqueue_number(output_divert), c.output);
        EXPECT_EQ(running->nfqueue_number(input_divert), c.input);
        EXPECT_EQ(bound_queues(), expected);
        running.reset();

        // A first start with the second revision agrees.
        auto started = make();
        started->configure();
        EXPECT_EQ(started->nfqueue_number(output_divert), c.output);
        EXPECT_EQ(started->nfqueue_number(input_divert), c.input);
        started.reset();
        EXPECT_TRUE(bound_queues().empty());
    }
    log->taken();
}

TEST_F(ConnectionDiverter, FailuresNameTheDivertAndLeaveEarlierDivertsDone)
{
    const struct {
        const char* what;
        std::function<void(kv::LinuxFirewallConfig&)> setup;
        const char* error;
        std::set<unsigned> queues;
    } cases[] = {
        {"automatic number with manual iptables",
         [](kv::LinuxFirewallConfig& c) {
             c.set_autoconfigure_iptables(false);
             c.set_forward_divert_enable(true);
             c.mutable_forward_divert_nfqueue_number()->set_manual(3);
             c.set_input_divert_enable(true);
             c.mutable_input_divert_nfqueue_number()->mutable_auto_();
         },
         "Manual iptables configuration requested along with automatic NFQUEUE number for INPUT divert",
         {3}},
        {"two diverts on one number",
         [](kv::LinuxFirewallConfig& c) {
             c.set_output_divert_enable(true);
             c.mutable_output_divert_nfqueue_number()->set_manual(4);
             c.set_input_divert_enable(true);
             c.mutable_input_divert_nfqueue_number()->set_manual(4);
         },
         "Cannot connect to nfqueue 4 for divert INPUT: NETLINK error received: Operation not permitted",
         {4}},
        {"number beyond 16 bits",
         [](kv::LinuxFirewallConfig& c) {
             c.set_forward_divert_enable(true);
             c.mutable_forward_divert_nfqueue_number()->set_manual(65536);
         },
         "Cannot connect to nfqueue 65536 for divert FORWARD: NFQUEUE numbers range from 0 to 65535",
         {}},
    };
    for (const auto& c : cases) {
        config.Clear();
        config.set_autoconfigure_iptables(true);
        c.setup(config);
        auto d = std::make_unique<connection_diverter_t>(io, *pool, config, *connector, *marks, *rejector,
                                                         *retransmitter, *validator, lua_stand_in(),
                                                         sessions.factory());
        try {
            d->configure();
            ADD_FAILURE() << c.what << ": no error";
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), c.error) << c.what;
        }
        EXPECT_EQ(bound_queues(), c.queues) << c.what;
        d.reset();
        EXPECT_TRUE(bound_queues().empty()) << c.what;
    }
}

TEST_F(ConnectionDiverter, NoFreeQueueAmongTheFirstHundred)
{
    std::vector<fw::util::scoped_fd_t> others;
    for (std::uint16_t n = 0; n < 100; ++n)
        others.push_back(fw::linux::nfqueue::open_queue(n, 16));
    config.set_output_divert_enable(true);
    try {
        diverter->configure();
        ADD_FAILURE() << "no error";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Cannot connect to nfqueue 0 for divert OUTPUT: Cannot detect free nfqueue number");
    }
    EXPECT_FALSE(diverter->nfqueue_number(output_divert));
}

// --- the road of an intercepted SYN ---

TEST_F(ConnectionDiverter, PassLetsTheConnectionThroughAndTellsTheSessionAboutIt)
{
    start_output_divert();
    listener_t server;
    sessions.verdict = fw::lua::intercept::PASS;
    client_t client(server.port);
    ASSERT_TRUE(run_until([&] { return client.result().has_value(); }));
    EXPECT_EQ(client.result(), 0);
    EXPECT_TRUE(server.accept_one());

    ASSERT_EQ(sessions.sessions.size(), 1u);
    const auto& s = sessions.sessions[0];
    EXPECT_EQ(s.info.source, client.local());
    EXPECT_EQ(s.info.destination, tcp::endpoint(boost::asio::ip::address_v4::loopback(), server.port));
    EXPECT_EQ(s.info.divert, "output");
    EXPECT_EQ(s.info.uid, ::getuid());
    EXPECT_EQ(s.info.gid, ::getgid());
    EXPECT_FALSE(s.info.in_interface);
    EXPECT_TRUE(s.info.out_interface);
    // "%%%%-%%%%-%%%%" in lower-case hexadecimal.
    ASSERT_EQ(s.id.size(), 14u);
    for (std::size_t i = 0; i < s.id.size(); ++i) {
        if (i == 4 || i == 9)
            EXPECT_EQ(s.id[i], '-');
        else
            EXPECT_TRUE(std::isxdigit(static_cast<unsigned char>(s.id[i])) && !std::isupper(s.id[i])) << s.id;
    }

    const auto lines = log->taken();
    EXPECT_EQ(lines_with(lines, "packet intercepted: ").size(), 1u);
    EXPECT_EQ(lines_with(lines, "0 Connection diverter: divert OUTPUT: packet intercepted: "
                                    + fw::service::endpoint_text(client.local()) + " -> 127.0.0.1:"
                                    + std::to_string(server.port) + " (SYN), mark 0")
                  .size(),
              1u);

    // PASS leaves nothing behind: a SYN of the same pair is a new request,
    // and so is the next connection.
    sessions.verdict = fw::lua::intercept::DROP;
    send_syn_again(client.local(), s.info.destination);
    ASSERT_TRUE(run_until([&] { return sessions.sessions.size() == 2; }));
    EXPECT_EQ(sessions.sessions[1].info.source, client.local());
    client_t second(server.port);
    ASSERT_TRUE(run_until([&] { return sessions.sessions.size() == 3; }));
}

// The client's own retry of its SYN shows that the first was dropped: while
// the queue holds a SYN, TCP repeats nothing, and a SYN let through would
// have been answered. A drop leaves nothing behind, so the retry is decided
// anew, and nothing has answered the client nor reached the server.
TEST_F(ConnectionDiverter, DropLeavesTheClientWaiting)
{
    start_output_divert();
    listener_t server;
    sessions.verdict = fw::lua::intercept::DROP;
    client_t client(server.port);
    ASSERT_TRUE(run_until([&] { return sessions.sessions.size() >= 2; }, std::chrono::seconds(30)))
        << "the client's retry, decided anew";
    for (const auto& session : sessions.sessions)
        EXPECT_EQ(session.info.source, client.local());
    EXPECT_FALSE(client.result());
    EXPECT_FALSE(server.accept_one());
}

TEST_F(ConnectionDiverter, RejectAnswersWithAReset)
{
    start_output_divert();
    listener_t server;
    sessions.verdict = fw::lua::intercept::REJECT;
    client_t client(server.port);
    ASSERT_TRUE(run_until([&] { return client.result().has_value(); }));
    EXPECT_EQ(client.result(), ECONNREFUSED);
    EXPECT_FALSE(server.accept_one());
}

TEST_F(ConnectionDiverter, CheckConnectsToTheServerAndHandsBothSocketsOn)
{
    start_output_divert();
    listener_t server;
    sessions.verdict = fw::lua::intercept::CHECK;
    sessions.artifacts.user = "root";
    sessions.artifacts.exe_path = "/usr/bin/test";
    config.mutable_rules()->add_rule();
    client_t client(server.port);
    ASSERT_TRUE(run_until([&] { return client.result().has_value() && !pellad.pairs.empty(); }));
    EXPECT_EQ(client.result(), 0);
    ASSERT_EQ(pellad.pairs.size(), 1u);
    auto& pair = pellad.pairs[0];
    EXPECT_EQ(pair.client.endpoint, client.local());
    EXPECT_EQ(pair.server.endpoint, tcp::endpoint(boost::asio::ip::address_v4::loopback(), server.port));

    const auto& rules = pair.rules;
    EXPECT_EQ(rules.rule_size(), 1);
    ASSERT_EQ(rules.variable_size(), 5);
    EXPECT_EQ(rules.variable(0).src_address().port(), client.local().port());
    EXPECT_EQ(rules.variable(1).dst_address().port(), server.port);
    EXPECT_EQ(rules.variable(2).divert(), kv::D_OUTPUT);
    EXPECT_EQ(rules.variable(3).exe_path(), "/usr/bin/test");
    EXPECT_EQ(rules.variable(4).user_name(), "root");

    // The server saw the daemon's connection; bytes flow both ways through the pair.
    auto served = server.accept_one();
    ASSERT_TRUE(served);
    ASSERT_EQ(::write(client.fd.get(), "ping", 4), 4);
    char buffer[8] = {};
    ::fcntl(pair.client.descriptor.get(), F_SETFL, 0);
    ASSERT_EQ(::read(pair.client.descriptor.get(), buffer, sizeof buffer), 4);
    EXPECT_EQ(std::string(buffer, 4), "ping");
    ASSERT_EQ(::write(pair.server.descriptor.get(), "pong", 4), 4);
    ::fcntl(served.get(), F_SETFL, 0);
    ASSERT_EQ(::read(served.get(), buffer, sizeof buffer), 4);
    EXPECT_EQ(std::string(buffer, 4), "pong");

    const auto lines = log->taken();
    EXPECT_EQ(lines_with(lines, "0 Connection diverter: divert OUTPUT: connected to 127.0.0.1:"
                                    + std::to_string(server.port) + " for client "
                                    + fw::service::endpoint_text(client.local()))
                  .size(),
              1u);
}

TEST_F(ConnectionDiverter, ConnectTransparentlyBindsTheDaemonsSocketToTheClientAddress)
{
    start_output_divert();
    listener_t server;
    const auto source_seen_by_server = [&] {
        client_t client(server.port, {}, "127.0.0.2");
        pellad.pairs.clear();
        EXPECT_TRUE(run_until([&] { return !pellad.pairs.empty(); }));
        EXPECT_EQ(pellad.pairs.at(0).client.endpoint, client.local());
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        const int served = ::accept4(server.fd.get(), reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
        EXPECT_GE(served, 0);
        fw::util::scoped_fd_t close_it(served);
        char text[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
        return std::string(text);
    };
    EXPECT_EQ(source_seen_by_server(), "127.0.0.1");

    // The running entry takes the new setting without a restart.
    config.set_output_divert_connect_transparently(true);
    configure();
    EXPECT_TRUE(lines_with(log->taken(), "started").empty());
    EXPECT_EQ(source_seen_by_server(), "127.0.0.2");
}

TEST_F(ConnectionDiverter, FailedHookFallsBackToCheck)
{
    start_output_divert();
    listener_t server;
    sessions.verdict = fw::lua::intercept::PASS; // ignored with a failure
    sessions.error = std::make_exception_ptr(std::runtime_error("hook exploded"));
    client_t client(server.port);
    ASSERT_TRUE(run_until([&] { return !pellad.pairs.empty(); }));
    ASSERT_EQ(sessions.sessions.size(), 1u);
    std::vector<std::string> lines;
    for (const auto& line : log->taken())
        if (line.rfind("4 ", 0) == 0)
            lines.push_back(line);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "4 Connection diverter: divert OUTPUT: Session " + sessions.sessions[0].id
                            + ": cannot get verdict for intercepted connection: hook exploded; falling back to CHECK");
    // No artifacts from a failed hook beyond what it carried: none here.
    EXPECT_EQ(pellad.pairs[0].rules.variable_size(), 3);
}

TEST_F(ConnectionDiverter, RefusedServerResetsTheClient)
{
    start_output_divert();
    listener_t closed(false); // bound, not listening: the kernel refuses
    sessions.verdict = fw::lua::intercept::CHECK;
    client_t client(closed.port);
    ASSERT_TRUE(run_until([&] { return client.result().has_value(); }));
    EXPECT_EQ(client.result(), ECONNREFUSED);
    EXPECT_TRUE(pellad.pairs.empty());
    const auto lines = log->taken();
    EXPECT_EQ(lines_with(lines, "0 Connection diverter: divert OUTPUT: cannot connect to 127.0.0.1:"
                                    + std::to_string(closed.port) + " for client "
                                    + fw::service::endpoint_text(client.local())
                                    + ": Connection refused; rejecting connection")
                  .size(),
              1u);
}

TEST_F(ConnectionDiverter, RepeatedSynWhileTheHookDecidesIsDropped)
{
    start_output_divert();
    listener_t server;
    sessions.hold = true;
    client_t client(server.port);
    ASSERT_TRUE(run_until([&] { return !sessions.sessions.empty(); }));
    send_syn_again(client.local(), sessions.sessions[0].info.destination);
    ASSERT_TRUE(run_until([&] { return !lines_with(log->lines, "is already requested").empty(); }));
    EXPECT_EQ(sessions.sessions.size(), 1u);
    const auto lines = log->taken();
    EXPECT_EQ(lines_with(lines, "0 Connection diverter: divert OUTPUT: verdict for connection to server 127.0.0.1:"
                                    + std::to_string(server.port) + " for client "
                                    + fw::service::endpoint_text(client.local()) + " is already requested")
                  .size(),
              1u);
    EXPECT_EQ(lines_with(lines, "dropping packet ").size(), 1u);

    // The first SYN still gets the hook's verdict, also after a configuration
    // that leaves the divert as it is.
    configure();
    EXPECT_TRUE(lines_with(log->taken(), "started").empty());
    sessions.deliver(0, fw::lua::intercept::PASS);
    ASSERT_TRUE(run_until([&] { return client.result().has_value(); }));
    EXPECT_EQ(client.result(), 0);
}

TEST_F(ConnectionDiverter, RepeatedSynWhileConnectingToTheServerIsDropped)
{
    start_output_divert();
    listener_t server;
    // The daemon's own SYN to the server is lost, so its connect stays in progress.
    sh("iptables-legacy -t filter -A OUTPUT -p tcp --dport " + std::to_string(server.port) + " -m mark --mark "
       + std::to_string(server_mark) + "/" + std::to_string(server_mark) + " -j DROP");
    client_t client(server.port);
    ASSERT_TRUE(run_until([&] { return !sessions.sessions.empty(); }));
    run_for(std::chrono::milliseconds(100));
    send_syn_again(client.local(), sessions.sessions[0].info.destination);
    ASSERT_TRUE(run_until([&] { return !lines_with(log->lines, "is already in progress").empty(); }));
    EXPECT_EQ(sessions.sessions.size(), 1u);

    // Stopping with the connect in progress: cancelled, the client hears nothing.
    diverter.reset();
    run_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(client.result());
    EXPECT_TRUE(pellad.pairs.empty());
}

TEST_F(ConnectionDiverter, VerdictOfARestartedDivertIsIgnored)
{
    start_output_divert();
    listener_t server;
    sessions.post_unguarded = true;
    sessions.verdict = fw::lua::intercept::PASS;
    client_t client(server.port);
    ASSERT_TRUE(run_until([&] { return !sessions.sessions.empty(); }));

    // The verdict is posted; the divert moves to another queue before it runs.
    config.mutable_output_divert_nfqueue_number()->set_manual(*diverter->nfqueue_number(output_divert) + 1);
    diverter->configure();
    io.restart();
    io.poll();
    EXPECT_EQ(lines_with(log->taken(), "divert OUTPUT: started").size(), 1u);
    run_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(client.result());
}

TEST_F(ConnectionDiverter, InvalidPacketsAreDroppedWithOneWarningPerWindow)
{
    start_output_divert();
    // Everything to port 9 is queued, whatever its mark or flags.
    sh("iptables-legacy -t mangle -I OUTPUT -o lo -p tcp --dport 9 -j NFQUEUE --queue-num "
       + std::to_string(*diverter->nfqueue_number(output_divert)));
    const tcp::endpoint client(boost::asio::ip::address_v4::loopback(), 1234);
    const tcp::endpoint closed(boost::asio::ip::address_v4::loopback(), 9);
    // One window for the whole process: wait out a warning of an earlier run.
    while (!rate_limit_elapsed())
        std::this_thread::sleep_for(std::chrono::milliseconds(100));

    // A SYN-ACK outside the security-option mode is taken for a request.
    send_packet(packet_between(client, closed, 0x12));
    ASSERT_TRUE(run_until([&] { return lines_with(log->lines, "dropping packet").size() == 1; }));
    EXPECT_EQ(lines_with(log->taken(), "3 "),
              (std::vector<std::string>{"3 Connection diverter: divert OUTPUT: invalid packet intercepted: tcp flags 18 "
                                        "do not match 2/18; dropping. Iptables rules are likely misconfigured!"}));

    // A SYN carrying the client-packets mark: dropped, but within five seconds
    // of the last warning nothing more is said.
    send_packet(packet_between(client, closed), client_mark);
    ASSERT_TRUE(run_until([&] { return lines_with(log->lines, "dropping packet").size() == 1; }));
    const auto lines = log->taken();
    EXPECT_EQ(lines_with(lines, "packet intercepted: 127.0.0.1:1234 -> 127.0.0.1:9 (SYN), mark 2").size(), 1u);
    EXPECT_TRUE(lines_with(lines, "invalid packet").empty());
    EXPECT_TRUE(sessions.sessions.empty());
}

TEST_F(ConnectionDiverter, SecurityOptionModeLetsTheServersSynAckThrough)
{
    config.set_process_ip_security_option(true);
    start_output_divert();
    queue_syn_acks();
    listener_t server;
    client_t client(server.port);
    ASSERT_TRUE(run_until([&] { return !pellad.pairs.empty(); }));
    const auto lines = log->taken();
    const auto syn_acks = lines_with(lines, "(SYN,ACK), mark 0");
    ASSERT_EQ(syn_acks.size(), 1u);
    EXPECT_NE(syn_acks[0].find("packet intercepted: 127.0.0.1:" + std::to_string(server.port) + " -> 127.0.0.1:"),
              std::string::npos);
    EXPECT_TRUE(lines_with(lines, "dropping packet").empty());

    // A SYN-ACK for no connect of the daemon.
    const tcp::endpoint nobody(boost::asio::ip::address_v4::loopback(), 4321);
    send_packet(packet_between(tcp::endpoint(boost::asio::ip::address_v4::loopback(), server.port), nobody, 0x12));
    ASSERT_TRUE(run_until([&] { return !lines_with(log->lines, "dropping packet").empty(); }));
    EXPECT_EQ(lines_with(log->taken(), "0 Connection diverter: divert OUTPUT: connection 127.0.0.1:4321 -> 127.0.0.1:"
                                           + std::to_string(server.port) + " is not in progress")
                  .size(),
              1u);
}

TEST_F(ConnectionDiverter, SecurityOptionModeDropsASynAckWithAnotherOption)
{
    config.set_process_ip_security_option(true);
    start_output_divert();
    queue_syn_acks();
    listener_t server;
    // The daemon's SYN is lost, so its connect waits for the SYN-ACKs the test sends.
    sh("iptables-legacy -t filter -A OUTPUT -p tcp --dport " + std::to_string(server.port) + " -m mark --mark "
       + std::to_string(server_mark) + "/" + std::to_string(server_mark) + " -j DROP");
    client_t client(server.port);
    const std::string port = std::to_string(client.local().port());
    std::string daemon_port;
    ASSERT_TRUE(run_until([&] {
        std::istringstream out(sh("ss -Htn state syn-sent dst 127.0.0.1:" + std::to_string(server.port)));
        std::string recv_q, send_q, local, peer;
        while (out >> recv_q >> send_q >> local >> peer)
            if (local != "127.0.0.1:" + port)
                daemon_port = local.substr(local.find(':') + 1);
        return !daemon_port.empty();
    }));
    log->taken();
    const tcp::endpoint from(boost::asio::ip::address_v4::loopback(), server.port);
    const tcp::endpoint to(boost::asio::ip::address_v4::loopback(),
                           static_cast<std::uint16_t>(std::stoul(daemon_port)));

    auto syn_ack = packet_between(from, to, 0x12);
    syn_ack.ip_options = {0x82, 0x03, 0x96};
    send_packet(syn_ack);
    ASSERT_TRUE(run_until([&] { return !lines_with(log->lines, "dropping packet").empty(); }));
    EXPECT_EQ(lines_with(log->taken(), "0 Connection diverter: divert OUTPUT: security option mismatch for 127.0.0.1:"
                                           + daemon_port + " -> 127.0.0.1:" + std::to_string(server.port))
                  .size(),
              1u);

    // The option the daemon sent when the client's SYN had none: accepted.
    syn_ack.ip_options = {0x82, 0x03, 0xab};
    send_packet(syn_ack);
    ASSERT_TRUE(run_until([&] { return lines_with(log->lines, "(SYN,ACK)").size() == 1; }));
    run_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(lines_with(log->taken(), "dropping packet").empty());
}

TEST_F(ConnectionDiverter, RejectInSecurityOptionModeCarriesTheClientsOption)
{
    config.set_process_ip_security_option(true);
    start_output_divert();
    listener_t server;
    morva_test::raw_capture_t capture(IPPROTO_TCP);
    sessions.verdict = fw::lua::intercept::REJECT;
    client_t client(server.port, {0x82, 0x03, 0x96, 0x00});
    ASSERT_TRUE(run_until([&] { return client.result().has_value(); }));
    EXPECT_EQ(client.result(), ECONNREFUSED);

    const std::uint16_t port = client.local().port();
    const auto reset = capture.next_matching([&](const std::vector<std::uint8_t>& p) {
        const std::size_t ihl = (p[0] & 0x0fu) * 4u;
        return p.size() >= ihl + 20 && (p[ihl + 13] & 0x04) && ((p[ihl + 2] << 8) | p[ihl + 3]) == port;
    });
    ASSERT_TRUE(reset);
    ASSERT_GE((*reset)[0] & 0x0f, 6);
    EXPECT_EQ(std::vector<std::uint8_t>(reset->begin() + 20, reset->begin() + 23),
              (std::vector<std::uint8_t>{0x82, 0x03, 0x96}));
}

// --- with the hook run by the Lua service ---

class ConnectionDiverterWithLua : public ConnectionDiverter, public fw::quisad::quisad_t::link_provider_t {
protected:
    void SetUp() override
    {
        ConnectionDiverter::SetUp();
        previous_logger = kv::util::set_logger(
            [this](kv::util::log_level_t level, const std::string& text) {
                session_lines.push_back(std::to_string(level) + " " + text);
            });
        previous_level = kv::util::set_log_level(0);
        finder = std::make_unique<process_finder_t>(io);
        quisad = std::make_unique<fw::quisad::quisad_t>(io, *this);
        lua = std::make_unique<lua_t>(io, config, *finder, *quisad);
        // The verdict is the global `verdict`, or the hook fails when it is "fail".
        config.mutable_intercept_hook()->set_buffer(R"(
            function intercept_hook(ctx)
                if verdict == "fail" then error("hook failed on purpose") end
                return verdict
            end
        )");
        lua->configure();
        diverter = std::make_unique<connection_diverter_t>(io, *pool, config, *connector, *marks, *rejector,
                                                           *retransmitter, *validator, *lua);
    }

    void TearDown() override
    {
        ConnectionDiverter::TearDown();
        lua.reset();
        quisad.reset();
        finder.reset();
        kv::util::set_logger(std::move(previous_logger));
        kv::util::set_log_level(previous_level);
    }

    // No script here looks anything up.
    void get_link(fw::quisad::quisad_t::link_callback_t callback) override
    {
        callback(std::make_exception_ptr(std::runtime_error("no quisad here")), nullptr);
    }

    void set_verdict(const char* verdict)
    {
        lua_pushstring(lua->state(), verdict);
        lua_setglobal(lua->state(), "verdict");
    }

    std::unique_ptr<process_finder_t> finder;
    std::unique_ptr<fw::quisad::quisad_t> quisad;
    std::unique_ptr<lua_t> lua;
    std::vector<std::string> session_lines;
    kv::util::logger_t previous_logger;
    int previous_level = 0;
};

TEST_F(ConnectionDiverterWithLua, EveryVerdictOfTheHook)
{
    start_output_divert();
    listener_t server;
    const struct {
        const char* verdict;
        std::optional<int> client_result;
        bool server_accepts;
        bool handed_to_pellad;
    } cases[] = {
        {"PASS", 0, true, false},
        {"reject", ECONNREFUSED, false, false},
        {"drop", std::nullopt, false, false},
        {"check", 0, true, true},
        {"fail", 0, true, true},
    };
    for (const auto& c : cases) {
        set_verdict(c.verdict);
        pellad.pairs.clear();
        client_t client(server.port);
        if (c.client_result)
            ASSERT_TRUE(run_until([&] {
                return client.result().has_value() && pellad.pairs.size() == (c.handed_to_pellad ? 1u : 0u);
            })) << c.verdict;
        else
            run_for(std::chrono::milliseconds(300));
        EXPECT_EQ(client.result(), c.client_result) << c.verdict;
        EXPECT_EQ(bool(server.accept_one()), c.server_accepts) << c.verdict;
        ASSERT_EQ(pellad.pairs.size(), c.handed_to_pellad ? 1u : 0u) << c.verdict;
        if (c.handed_to_pellad) {
            // The artifacts of the context come last: the executable of the
            // socket's owner (this test, found while its SYN is held in the
            // queue), then the user.
            const auto& rules = pellad.pairs[0].rules;
            ASSERT_EQ(rules.variable_size(), 5) << c.verdict;
            EXPECT_EQ(rules.variable(3).exe_path(), boost::filesystem::read_symlink("/proc/self/exe").string())
                << c.verdict;
            EXPECT_EQ(rules.variable(4).user_name(), "root") << c.verdict;
        }
    }
    const auto errors = lines_with(log->taken(), "4 Connection diverter: divert OUTPUT: Session ");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find(": cannot get verdict for intercepted connection: [string \"...\"]:3: hook failed on "
                             "purpose; falling back to CHECK"),
              std::string::npos)
        << errors[0];
    EXPECT_EQ(lines_with(session_lines, ": started 127.0.0.1:").size(), std::size(cases));
}

} // namespace
