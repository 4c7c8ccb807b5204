// The raw sender against the kernel of a private namespace: order, socket
// mark, datagrams refused by netfilter, send errors and destruction.
#include "net/raw_sender.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstdio>

#include <boost/system/system_error.hpp>

#include "common/log_hook.hpp"
#include "tests/common/fork.hpp"
#include "tests/net/ipv4_tcp_packet.hpp"
#include "tests/net/raw_capture.hpp"
#include "tests/support/netns.hpp"

namespace {

using morva_test::ipv4_tcp_packet_t;
using morva_test::sh;

constexpr int test_protocol = 253; // reserved for experiments: nothing else sends it

class test_sender_t : public fw::net::raw_sender_t {
public:
    using raw_sender_t::raw_sender_t;
    using raw_sender_t::set_socket_mark;
};

std::uint32_t address(const char* text)
{
    in_addr a{};
    ::inet_pton(AF_INET, text, &a);
    return a.s_addr;
}

// An IPv4 datagram of the test protocol whose payload is `payload`.
std::vector<std::uint8_t> datagram(const char* destination, const std::string& payload)
{
    ipv4_tcp_packet_t p{.source = "127.0.0.1", .destination = destination, .protocol = test_protocol};
    auto bytes = p.bytes();
    bytes.resize(20);
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    return bytes;
}

std::unique_ptr<std::uint8_t[]> owned(const std::vector<std::uint8_t>& bytes)
{
    auto data = std::make_unique<std::uint8_t[]>(bytes.size());
    std::copy(bytes.begin(), bytes.end(), data.get());
    return data;
}

void send(fw::net::raw_sender_t& sender, const char* destination, const std::vector<std::uint8_t>& bytes)
{
    sender.send(address(destination), owned(bytes), bytes.size());
}

std::string payload_of(const std::vector<std::uint8_t>& packet)
{
    return std::string(packet.begin() + (packet[0] & 0x0f) * 4, packet.end());
}

// Packets counted by the first OUTPUT rule.
long packets_of_first_output_rule()
{
    const std::string out = sh("iptables-legacy -L OUTPUT -v -x -n | sed -n 3p | awk '{print $1}'");
    return std::stol(out);
}

class RawSender : public ::testing::Test {
protected:
    void SetUp() override
    {
        previous_level_ = kv::util::set_log_level(0);
        previous_logger_ = kv::util::set_logger([this](int level, const std::string& text) {
            lines_.push_back(std::to_string(level) + " " + text);
        });
    }
    void TearDown() override
    {
        kv::util::set_logger(previous_logger_);
        kv::util::set_log_level(previous_level_);
        sh("iptables-legacy -F OUTPUT");
    }

    boost::asio::io_context io_;
    morva_test::raw_capture_t capture_{test_protocol};
    std::vector<std::string> lines_;
    int previous_level_ = 0;
    kv::util::logger_t previous_logger_;
};

TEST_F(RawSender, SendsDatagramsInTheOrderGiven)
{
    test_sender_t sender(io_);
    for (const char* payload : {"first", "second", "third"})
        send(sender, "127.0.0.1", datagram("127.0.0.1", payload));
    io_.run();
    for (const char* payload : {"first", "second", "third"}) {
        auto packet = capture_.next();
        ASSERT_TRUE(packet) << payload;
        EXPECT_EQ(payload_of(*packet), payload);
    }
    EXPECT_FALSE(capture_.next(100));
    EXPECT_TRUE(lines_.empty());
}

TEST_F(RawSender, DatagramsCarryTheSocketMark)
{
    sh("iptables-legacy -A OUTPUT -p 253 -m mark --mark 0x10");
    test_sender_t sender(io_);
    sender.set_socket_mark(0x10, "mark");
    send(sender, "127.0.0.1", datagram("127.0.0.1", "a"));
    send(sender, "127.0.0.1", datagram("127.0.0.1", "b"));
    io_.run();
    EXPECT_EQ(packets_of_first_output_rule(), 2);
}

TEST_F(RawSender, RefusedDatagramIsLoggedAndTheQueueGoesOn)
{
    sh("iptables-legacy -A OUTPUT -d 127.0.0.2 -j DROP");
    test_sender_t sender(io_);
    send(sender, "127.0.0.2", datagram("127.0.0.2", "dropped"));
    ipv4_tcp_packet_t syn{.source = "127.0.0.1", .destination = "127.0.0.2"};
    send(sender, "127.0.0.2", syn.bytes());
    send(sender, "127.0.0.1", datagram("127.0.0.1", "after"));
    io_.run();

    auto packet = capture_.next();
    ASSERT_TRUE(packet);
    EXPECT_EQ(payload_of(*packet), "after");
    EXPECT_EQ(lines_, (std::vector<std::string>{
                          "0 Raw sender: packet dropped by kernel: IP 127.0.0.1 -> 127.0.0.2, 7 bytes payload",
                          "0 Raw sender: packet dropped by kernel: TCP SYN 127.0.0.1:5000 -> 127.0.0.2:80"}));
}

TEST_F(RawSender, RefusedDatagramIsNotDescribedAboveDebug)
{
    kv::util::set_log_level(1);
    sh("iptables-legacy -A OUTPUT -d 127.0.0.2 -j DROP");
    test_sender_t sender(io_);
    send(sender, "127.0.0.2", datagram("127.0.0.2", "dropped"));
    send(sender, "127.0.0.1", datagram("127.0.0.1", "after"));
    io_.run();
    EXPECT_TRUE(capture_.next());
    EXPECT_TRUE(lines_.empty());
}

TEST_F(RawSender, OtherSendErrorCostsThatDatagramAloneWithARateLimitedWarning)
{
    // A header length beyond the datagram is refused as invalid; a reset to a
    // forged source this namespace has no route to cannot leave at all.
    auto bad_header = datagram("127.0.0.1", "x");
    bad_header[0] = 0x4f;
    const struct {
        const char* name;
        const char* destination;
        std::vector<std::uint8_t> bytes;
        const char* warning;
    } cases[] = {
        {"invalid", "127.0.0.1", bad_header,
         "3 Raw sender: sendto failed: Invalid argument; dropping IP 127.0.0.1 -> 127.0.0.1, 0 bytes payload"},
        {"unroutable", "10.250.0.5", datagram("10.250.0.5", "x"),
         "3 Raw sender: sendto failed: Network is unreachable; dropping IP 127.0.0.1 -> 10.250.0.5, 1 bytes payload"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // A child of its own per case: the warnings' window is process-wide.
        const auto result = morva_test::run_in_child([&] {
            boost::asio::io_context io;
            test_sender_t sender(io);
            send(sender, c.destination, c.bytes);
            send(sender, c.destination, c.bytes); // within the window: not logged again
            send(sender, "127.0.0.1", datagram("127.0.0.1", "after"));
            io.run();
            for (const auto& line : lines_)
                std::fprintf(stderr, "%s\n", line.c_str());
            ::_exit(0);
        });
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.err, std::string(c.warning) + "\n");
        auto packet = capture_.next();
        ASSERT_TRUE(packet);
        EXPECT_EQ(payload_of(*packet), "after");
    }
}

TEST_F(RawSender, DestroyedSenderSendsNothingMore)
{
    {
        test_sender_t sender(io_);
        for (const char* payload : {"first", "second", "third"})
            send(sender, "127.0.0.1", datagram("127.0.0.1", payload));
    }
    io_.run(); // the completion of the first send must not touch the destroyed sender
    // The first datagram may already have left when it was queued; none after it.
    if (auto packet = capture_.next(200)) {
        EXPECT_EQ(payload_of(*packet), "first");
    }
    EXPECT_FALSE(capture_.next(200));
}

} // namespace
