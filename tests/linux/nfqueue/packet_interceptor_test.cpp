// The interceptor behind an event-loop link whose "kernel" is the other end of
// a socket pair: the test writes the packet messages and reads every verdict.
#include "linux/nfqueue/packet_interceptor.hpp"

#include "common/log.hpp"
#include "net/ipv4_header.hpp"
#include "net/tcp_header.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/system/system_error.hpp>
#include <gtest/gtest.h>

#include "tests/common/recording_log.hpp"
#include "tests/linux/netlink/datagrams.hpp"

#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

using fw::linux::nfqueue::packet_interceptor_t;
using netlink_test::bytes_t;
using netlink_test::concat;
using entry_t = std::weak_ptr<packet_interceptor_t::packet_entry_t>;

constexpr std::uint16_t queue_number = 2;

bytes_t be32(std::uint32_t v) { return {std::uint8_t(v >> 24), std::uint8_t(v >> 16), std::uint8_t(v >> 8), std::uint8_t(v)}; }

bytes_t be64(std::uint64_t v) { return concat({be32(std::uint32_t(v >> 32)), be32(std::uint32_t(v))}); }

// One attribute as the kernel writes it: unpadded nla_len, then zero padding.
bytes_t attr(std::uint16_t type, const bytes_t& payload)
{
    const auto len = static_cast<std::uint16_t>(4 + payload.size());
    bytes_t out = {std::uint8_t(len), std::uint8_t(len >> 8), std::uint8_t(type), std::uint8_t(type >> 8)};
    out.insert(out.end(), payload.begin(), payload.end());
    out.resize(fw::linux::netlink::align4(out.size()), 0);
    return out;
}

// NFQA_PACKET_HDR: id, hw_protocol 0x0800, hook 3.
bytes_t packet_hdr(std::uint32_t id) { return attr(1, concat({be32(id), {0x08, 0x00, 0x03}})); }

// IPv4 header of `ihl` words and TCP header of `doff` words, SYN from
// 10.0.0.1:40000 to 10.0.0.2:80, then `extra` payload bytes.
bytes_t tcp_packet(unsigned ihl = 5, unsigned doff = 5, std::size_t extra = 0)
{
    bytes_t ip(ihl * 4, 0x01);
    const bytes_t fixed = {std::uint8_t(0x40 | ihl), 0, 0, 0, 0, 0, 0x40, 0, 64, 6, 0, 0, 10, 0, 0, 1, 10, 0, 0, 2};
    std::copy(fixed.begin(), fixed.end(), ip.begin());
    bytes_t tcp(doff * 4, 0x01);
    const bytes_t tcp_fixed = {0x9c, 0x40, 0, 80, 0, 0, 0, 1, 0, 0, 0, 0, std::uint8_t(doff << 4), 0x02, 0xff, 0xff, 0, 0, 0, 0};
    std::copy(tcp_fixed.begin(), tcp_fixed.end(), tcp.begin());
    return concat({ip, tcp, bytes_t(extra, 0xee)});
}

// NFQNL_MSG_PACKET payload: nfgenmsg, then the attributes.
bytes_t packet_payload(const bytes_t& attributes)
{
    return concat({{AF_INET, 0, 0, queue_number}, attributes});
}

bytes_t packet_message(std::uint32_t id, const bytes_t& extra_attributes = {}, const bytes_t& packet = tcp_packet())
{
    return netlink_test::message(0x300, 0, packet_payload(concat({packet_hdr(id), extra_attributes, attr(10, packet)})));
}

// What the interceptor must send: header (length, 0x301, NLM_F_REQUEST, seq),
// nfgenmsg with the queue, NFQA_VERDICT_HDR, and NFQA_MARK for a repeat.
bytes_t verdict(std::uint32_t seq, std::uint32_t value, std::uint32_t id, std::optional<std::uint32_t> mark = {})
{
    bytes_t payload = concat({{0, 0, 0, queue_number}, {0x0c, 0, 0x02, 0}, be32(value), be32(id)});
    if (mark)
        payload = concat({payload, {0x08, 0, 0x03, 0}, be32(*mark)});
    bytes_t out = netlink_test::message(0x301, NLM_F_REQUEST, payload, seq);
    return out;
}

morva_test::recording_log_t& recording_log() { return *morva_test::installed_recording_log(); }

struct delivered_t {
    std::string endpoints;
    std::uint16_t flags;
    unsigned ip_length;
    unsigned tcp_length;
    packet_interceptor_t::packet_attribs_t attribs;
    entry_t entry;
};

struct PacketInterceptor : ::testing::Test, packet_interceptor_t::delegate_t {
    boost::asio::io_context io;
    int peer = -1;
    std::unique_ptr<packet_interceptor_t> interceptor;
    std::vector<delivered_t> delivered;
    std::function<void()> on_delivery;

    void SetUp() override { make(packet_interceptor_t::default_pending_limit); }
    void TearDown() override
    {
        interceptor.reset();
        ::close(peer);
    }

    void make(std::size_t limit)
    {
        interceptor.reset();
        if (peer >= 0)
            ::close(peer);
        const auto fds = netlink_test::kernel_pair();
        ASSERT_GE(fds[0], 0);
        peer = fds[1];
        auto link = std::make_unique<fw::linux::netlink::async::link_t>(io, fw::util::scoped_fd_t(fds[0]));
        interceptor = std::make_unique<packet_interceptor_t>(std::move(link), queue_number, limit);
        interceptor->start(this);
        recording_log().taken();
        cf_log_threshold = 0;
    }

    void packet_intercepted(const fw::net::ipv4_header_t& ip, const fw::net::tcp_header_t& tcp,
                            const packet_interceptor_t::packet_attribs_t& attribs, entry_t entry) override
    {
        delivered.push_back({fw::net::describe_endpoints(ip, tcp), tcp.flags(), ip.header_length(),
                             tcp.header_length(), attribs, entry});
        if (on_delivery)
            on_delivery();
    }

    void kernel_sends(const bytes_t& datagram)
    {
        ASSERT_EQ(::send(peer, datagram.data(), datagram.size(), 0), static_cast<ssize_t>(datagram.size()));
    }
    void settle()
    {
        io.restart();
        io.run_for(std::chrono::milliseconds(50));
    }
    // Every message the interceptor has sent so far, in order; the verdicts of
    // one turn share a datagram.
    std::vector<bytes_t> verdicts()
    {
        settle();
        std::vector<bytes_t> out;
        std::vector<std::uint8_t> buffer(1 << 16);
        for (ssize_t n; (n = ::recv(peer, buffer.data(), buffer.size(), MSG_DONTWAIT)) > 0;) {
            ++datagrams_sent;
            for (std::size_t at = 0; at + NLMSG_HDRLEN <= static_cast<std::size_t>(n);) {
                nlmsghdr header;
                std::memcpy(&header, buffer.data() + at, sizeof header);
                const std::size_t length = fw::linux::netlink::align4(header.nlmsg_len);
                if (header.nlmsg_len < NLMSG_HDRLEN || at + length > static_cast<std::size_t>(n)) {
                    ADD_FAILURE() << "malformed message in a datagram";
                    break;
                }
                out.emplace_back(buffer.begin() + at, buffer.begin() + at + length);
                at += length;
            }
        }
        return out;
    }
    std::size_t datagrams_sent = 0;
};

TEST_F(PacketInterceptor, DeliversHeadersAndAttributes)
{
    const bytes_t attributes = concat({
        attr(3, be32(0x00c0ffee)),                                                      // mark
        attr(5, be32(2)), attr(6, be32(3)),                                             // interfaces
        attr(9, {0x00, 0x06, 0, 0, 0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e, 0, 0}),          // hardware address
        attr(4, concat({be64(0x0000000165000000), be64(123456)})),                      // time stamp
        attr(16, be32(1000)), attr(17, be32(100)),                                      // owner
    });
    // Options on both headers; the TCP header ends exactly at the copied bytes.
    kernel_sends(packet_message(0x01020304, attributes, tcp_packet(6, 8)));
    EXPECT_TRUE(verdicts().empty());
    ASSERT_EQ(delivered.size(), 1u);
    const auto& d = delivered[0];
    EXPECT_EQ(d.endpoints, "10.0.0.1:40000 -> 10.0.0.2:80");
    EXPECT_EQ(d.flags, 0x02);
    EXPECT_EQ(d.ip_length, 24u);
    EXPECT_EQ(d.tcp_length, 32u);
    EXPECT_EQ(d.attribs.mark, 0x00c0ffeeu);
    EXPECT_EQ(d.attribs.in_ifindex, 2u);
    EXPECT_EQ(d.attribs.out_ifindex, 3u);
    EXPECT_EQ(d.attribs.hw_address, "00:1a:2b:3c:4d:5e");
    EXPECT_EQ(d.attribs.timestamp_sec, 0x0000000165000000u);
    EXPECT_EQ(d.attribs.timestamp_usec, 123456u);
    EXPECT_EQ(d.attribs.uid, 1000u);
    EXPECT_EQ(d.attribs.gid, 100u);
    EXPECT_FALSE(d.entry.expired());
    EXPECT_EQ(interceptor->pending(), 1u);
}

TEST_F(PacketInterceptor, AbsentAttributesStayAbsent)
{
    // A kernel without the owner flag sends neither uid nor gid; a zero mark is not sent.
    kernel_sends(packet_message(9, {}, tcp_packet(5, 5, 60)));
    settle();
    ASSERT_EQ(delivered.size(), 1u);
    const auto& a = delivered[0].attribs;
    EXPECT_FALSE(a.mark || a.hw_address || a.in_ifindex || a.out_ifindex || a.timestamp_sec || a.timestamp_usec
                 || a.uid || a.gid);
}

TEST_F(PacketInterceptor, HardwareAddressText)
{
    struct case_t {
        std::uint16_t length;
        std::string text;
    };
    const case_t cases[] = {{6, "00:1a:2b:3c:4d:5e"}, {1, "00"}, {0, ""}, {8, "00:1a:2b:3c:4d:5e:6f:70"},
                            {300, "00:1a:2b:3c:4d:5e:6f:70"}};
    std::uint32_t id = 1;
    for (const auto& c : cases) {
        const bytes_t hw = {std::uint8_t(c.length >> 8), std::uint8_t(c.length), 0, 0, 0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e, 0x6f, 0x70};
        kernel_sends(packet_message(id++, attr(9, hw)));
    }
    bytes_t single = {0x00, 0x01, 0, 0, 0x0a, 0, 0, 0, 0, 0, 0, 0};
    kernel_sends(packet_message(id++, attr(9, single)));
    settle();
    ASSERT_EQ(delivered.size(), std::size(cases) + 1);
    for (std::size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(delivered[i].attribs.hw_address, cases[i].text) << cases[i].length;
    EXPECT_EQ(delivered.back().attribs.hw_address, "0a");
}

TEST_F(PacketInterceptor, EachVerdictOnceInOrder)
{
    kernel_sends(concat({packet_message(7), packet_message(8), packet_message(9)}));
    settle();
    ASSERT_EQ(delivered.size(), 3u);
    interceptor->accept(delivered[0].entry);
    interceptor->accept(delivered[0].entry); // the entry is gone: nothing
    interceptor->drop(delivered[1].entry);
    interceptor->repeat_with_mark(delivered[2].entry, 0x20);
    interceptor->drop(delivered[2].entry);
    const auto sent = verdicts();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0], verdict(0, 1, 7));
    EXPECT_EQ(sent[0].size(), 32u);
    EXPECT_EQ(sent[1], verdict(1, 0, 8));
    EXPECT_EQ(sent[2], verdict(2, 4, 9, 0x20));
    EXPECT_EQ(sent[2].size(), 40u);
    EXPECT_EQ(datagrams_sent, 1u); // given in one turn, they leave together
    EXPECT_EQ(interceptor->pending(), 0u);
    for (const auto& d : delivered)
        EXPECT_TRUE(d.entry.expired());
}

TEST_F(PacketInterceptor, TheLastHeldPacketsVerdictLeavesWithoutWaitingForTheTurn)
{
    kernel_sends(concat({packet_message(7), packet_message(8)}));
    settle();
    ASSERT_EQ(delivered.size(), 2u);
    std::vector<std::uint8_t> buffer(1 << 16);
    const auto sent_now = [&] { return ::recv(peer, buffer.data(), buffer.size(), MSG_DONTWAIT); };
    // Another packet is held: its verdict may still share the datagram.
    interceptor->accept(delivered[0].entry);
    EXPECT_EQ(sent_now(), -1);
    // The last one: both leave now, in one datagram, without the loop running.
    interceptor->drop(delivered[1].entry);
    ASSERT_EQ(sent_now(), 64);
    EXPECT_EQ(bytes_t(buffer.begin(), buffer.begin() + 32), verdict(0, 1, 7));
    EXPECT_EQ(bytes_t(buffer.begin() + 32, buffer.begin() + 64), verdict(1, 0, 8));
}

TEST_F(PacketInterceptor, MalformedMessagesAreDroppedWhenTheirIdIsKnown)
{
    const bytes_t hdr = packet_hdr(0x11);
    const bytes_t payload = attr(10, tcp_packet());
    bytes_t bad_length = packet_payload(concat({hdr, payload}));
    bad_length.push_back(0x40); // nla_len 64 with 4 bytes left
    bad_length.insert(bad_length.end(), {0x00, 0x0b, 0x00});
    struct case_t {
        const char* what;
        std::uint16_t type;
        bytes_t payload;
        std::string error;
        bool dropped;
    };
    const auto first = [](const bytes_t& packet, std::size_t n) { return bytes_t(packet.begin(), packet.begin() + n); };
    bytes_t offset15 = tcp_packet();
    offset15[32] = 0xf0;
    bytes_t data_offset4 = tcp_packet();
    data_offset4[32] = 0x40;
    bytes_t ihl4 = tcp_packet();
    ihl4[0] = 0x44;
    const auto with_packet = [&](const bytes_t& packet) { return packet_payload(concat({hdr, attr(10, packet)})); };
    const case_t cases[] = {
        {"39 bytes", 0x300, with_packet(first(tcp_packet(), 39)), "truncated packet", true},
        {"IHL 6 in 40 bytes", 0x300, with_packet(first(tcp_packet(6, 5), 40)), "truncated TCP header", true},
        {"IHL 15 in 40 bytes", 0x300, with_packet(concat({{0x4f}, bytes_t(39, 0)})), "truncated TCP header", true},
        {"data offset 8, 28 bytes", 0x300, with_packet(first(tcp_packet(5, 8), 48)), "truncated TCP header", true},
        {"data offset 15, 20 bytes", 0x300, with_packet(offset15), "truncated TCP header", true},
        // Forged forwarded packets: a copy by header length would miss the fixed part.
        {"IHL 4", 0x300, with_packet(ihl4),
         "invalid IPv4 header length: 16", true},
        {"data offset 4", 0x300, with_packet(data_offset4), "invalid TCP header length: 16", true},
        {"no payload", 0x300, packet_payload(hdr), "netlink: 10: No such attribute", true},
        {"short hardware address", 0x300, packet_payload(concat({hdr, attr(9, bytes_t(11, 0)), payload})),
         "netlink: Invalid attribute type", true},
        {"short time stamp", 0x300, packet_payload(concat({hdr, attr(4, bytes_t(15, 0)), payload})),
         "netlink: Invalid attribute type", true},
        {"short uid", 0x300, packet_payload(concat({hdr, attr(16, bytes_t(3, 0)), payload})),
         "netlink: Invalid attribute type", true},
        {"short mark", 0x300, packet_payload(concat({hdr, attr(3, bytes_t(2, 0)), payload})),
         "netlink: Invalid attribute type", true},
        {"no packet header", 0x300, packet_payload(payload), "netlink: 1: No such attribute", false},
        {"short packet header", 0x300, packet_payload(concat({attr(1, {0, 0, 0, 0x11, 8, 0}), payload})),
         "netlink: Invalid attribute type", false},
        {"wrong type", 0x302, packet_payload(concat({hdr, payload})), "invalid message type: 770", false},
        {"no nfgenmsg", 0x300, {AF_INET, 0, 0}, "Cannot parse nfnetlink message: Truncated message", false},
        {"attribute past the end", 0x300, bad_length, "netlink: cannot parse attribute: Invalid header length: 64", false},
    };
    for (const auto& c : cases) {
        kernel_sends(netlink_test::message(c.type, 0, c.payload));
        const auto sent = verdicts();
        EXPECT_EQ(recording_log().taken(), std::vector<std::string>{"3 Packet interceptor: netlink: " + c.error}) << c.what;
        EXPECT_EQ(sent, c.dropped ? std::vector<bytes_t>{verdict(0, 0, 0x11)} : std::vector<bytes_t>{}) << c.what;
        EXPECT_TRUE(delivered.empty()) << c.what;
        EXPECT_EQ(interceptor->pending(), 0u) << c.what;
        make(packet_interceptor_t::default_pending_limit); // sequence numbers from 0 again
    }
    // The interceptor goes on with the next message.
    kernel_sends(concat({netlink_test::message(0x300, 0, packet_payload(payload)), packet_message(0x12)}));
    settle();
    ASSERT_EQ(delivered.size(), 1u);
}

TEST_F(PacketInterceptor, DefaultLimitDropsTheOldest)
{
    constexpr std::uint32_t limit = 768;
    for (std::uint32_t id = 1; id <= limit;) {
        bytes_t datagram;
        for (int i = 0; i < 32 && id <= limit; ++i)
            datagram = concat({datagram, packet_message(id++)});
        kernel_sends(datagram);
        settle();
    }
    ASSERT_EQ(delivered.size(), limit);
    EXPECT_TRUE(verdicts().empty());
    EXPECT_TRUE(recording_log().taken().empty());

    kernel_sends(packet_message(limit + 1));
    settle();
    EXPECT_EQ(recording_log().taken(),
              std::vector<std::string>{"1 Packet interceptor: queue limit reached; dropping the oldest packet"});
    ASSERT_EQ(delivered.size(), limit + 1);
    EXPECT_TRUE(delivered[0].entry.expired());
    EXPECT_FALSE(delivered[1].entry.expired());
    EXPECT_EQ(interceptor->pending(), limit);
    interceptor->accept(delivered[0].entry); // already dropped: nothing
    interceptor->accept(delivered[limit].entry);
    EXPECT_EQ(verdicts(), (std::vector<bytes_t>{verdict(0, 0, 1), verdict(1, 1, limit + 1)}));
}

TEST_F(PacketInterceptor, OldestIsTheLongestWaitingWithoutVerdict)
{
    make(3);
    kernel_sends(concat({packet_message(1), packet_message(2), packet_message(3)}));
    settle();
    interceptor->accept(delivered[1].entry);
    kernel_sends(concat({packet_message(4), packet_message(5), packet_message(6)}));
    EXPECT_EQ(verdicts(), (std::vector<bytes_t>{verdict(0, 1, 2), verdict(1, 0, 1), verdict(2, 0, 3)}));
    EXPECT_EQ(recording_log().taken().size(), 2u);
    EXPECT_EQ(interceptor->pending(), 3u);
}

TEST_F(PacketInterceptor, DelegateMayDestroyTheInterceptor)
{
    on_delivery = [this] { interceptor.reset(); };
    kernel_sends(concat({packet_message(1), packet_message(2)}));
    settle();
    EXPECT_EQ(delivered.size(), 1u);
    EXPECT_TRUE(delivered[0].entry.expired());
}

TEST_F(PacketInterceptor, DestructionExpiresPendingEntries)
{
    kernel_sends(concat({packet_message(1), packet_message(2)}));
    settle();
    ASSERT_EQ(delivered.size(), 2u);
    interceptor.reset();
    EXPECT_TRUE(delivered[0].entry.expired());
    EXPECT_TRUE(delivered[1].entry.expired());
    EXPECT_TRUE(verdicts().empty()); // no verdicts on the way out
}

TEST_F(PacketInterceptor, RefusedVerdictIsAWarningOnly)
{
    // The kernel forgets a queued packet when its interface goes away; a
    // verdict for it comes back as ENOENT.
    kernel_sends(packet_message(1));
    settle();
    interceptor->accept(delivered[0].entry);
    ASSERT_EQ(verdicts().size(), 1u);
    kernel_sends(netlink_test::error_message(-ENOENT, 0, 0x301));
    kernel_sends(packet_message(2));
    settle();
    EXPECT_EQ(recording_log().taken(),
              std::vector<std::string>{"3 Packet interceptor: queue 2: verdict refused (sequence number 0): No such file or directory"});
    EXPECT_EQ(delivered.size(), 2u);
}

TEST_F(PacketInterceptor, LinkFailureEndsTheLoop)
{
    kernel_sends(netlink_test::message(NLMSG_ERROR, 0, bytes_t(4, 0)));
    io.restart();
    try {
        io.run_for(std::chrono::milliseconds(50));
        FAIL() << "no error";
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(e.code().value(), EINVAL);
        EXPECT_EQ(std::string(e.what()), "NFQUEUE: netlink: Invalid argument");
    }
}

} // namespace
