// Batches: their frames, bounds and sequence numbers; single requests.
#include "tests/linux/nftables/bytes.hpp"

#include "linux/nftables/policy.hpp"
#include "linux/nftables/writer.hpp"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

using namespace fw::linux::nftables;
using namespace fw::linux::nftables::policy;
using nft_test::bytes_t;
using nft_test::hex;
using nft_test::u16_at;
using nft_test::u32_at;

namespace {

struct sent_batch_t {
    bytes_t bytes;
    batch_info_t info;
};

struct batch_capture_t {
    std::vector<sent_batch_t> sent;
    bool fail_next = false;
    batch_policy_t policy;
    message_writer_t writer{policy};

    explicit batch_capture_t(std::size_t max_size = 8192)
        : policy(
              [this](std::span<const std::uint8_t> b, const batch_info_t& info) {
                  sent.push_back({bytes_t(b.begin(), b.end()), info});
                  if (std::exchange(fail_next, false))
                      throw std::runtime_error("sink failed");
              },
              max_size)
    {
    }

    // One message of exactly `size` bytes (a multiple of 4, at least 24).
    void message(std::size_t size)
    {
        writer.begin_message(6, 2, 0x400);
        writer.put_bytes(1, nullptr, 0); // 4 bytes
        if (size > 24)
            writer.put_bytes(2, std::string(size - 28, 'x').data(), size - 28);
        writer.end_message();
    }
};

// Walks the messages of a datagram: (type, seq) of each.
std::vector<std::pair<std::uint16_t, std::uint32_t>> messages_of(const bytes_t& d)
{
    std::vector<std::pair<std::uint16_t, std::uint32_t>> out;
    for (std::size_t off = 0; off < d.size(); off += u32_at(d, off))
        out.emplace_back(u16_at(d, off + 4), u32_at(d, off + 8));
    return out;
}

TEST(batch_policy, new_policy_holds_one_begin_and_flushes_nothing)
{
    batch_capture_t c;
    EXPECT_EQ(nft_test::dump(c.policy.batch_bytes()),
              nft_test::dump(hex("14 00 00 00 10 00 05 00 01 00 00 00 00 00 00 00 00 00 00 0a")));
    c.policy.flush_batch();
    EXPECT_TRUE(c.sent.empty());
    EXPECT_EQ(c.policy.batch_bytes().size(), 20u);
    EXPECT_EQ(c.policy.info().first_seq, 1u);
    EXPECT_EQ(c.policy.info().count, 1u);
}

TEST(batch_policy, max_size_bounds)
{
    struct {
        std::size_t size;
        const char* error;
    } cases[] = {{39, "batch_policy_t: max_size so small!"},
                 {40, nullptr},
                 {8192, nullptr},
                 {8193, "batch_policy_t: max size is too big!"}};
    for (auto& k : cases) {
        SCOPED_TRACE(k.size);
        if (!k.error) {
            EXPECT_NO_THROW(batch_capture_t{k.size});
            continue;
        }
        try {
            batch_capture_t c{k.size};
            ADD_FAILURE() << "accepted";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), k.error);
        }
    }
}

TEST(batch_policy, with_max_size_40_no_message_fits)
{
    batch_capture_t c{40};
    c.writer.begin_message(6, 2, 0);
    try {
        c.writer.end_message();
        FAIL() << "no error";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "batch_policy_t: something is wrong");
    }
    EXPECT_TRUE(c.sent.empty());
}

TEST(batch_policy, sequence_numbers_and_frames_of_one_batch)
{
    batch_capture_t c;
    for (int i = 0; i < 3; ++i)
        c.message(24);
    c.policy.flush_batch();
    ASSERT_EQ(c.sent.size(), 1u);
    using m = std::pair<std::uint16_t, std::uint32_t>;
    EXPECT_EQ(messages_of(c.sent[0].bytes),
              (std::vector<m>{{0x10, 1}, {0x0a06, 2}, {0x0a06, 3}, {0x0a06, 4}, {0x11, 5}}));
    EXPECT_EQ(c.sent[0].info.first_seq, 1u);
    EXPECT_EQ(c.sent[0].info.count, 5u);
    // The END frame: family 0, resource id NFNL_SUBSYS_NFTABLES big-endian.
    EXPECT_EQ(nft_test::dump(bytes_t(c.sent[0].bytes.end() - 20, c.sent[0].bytes.end())),
              nft_test::dump(hex("14 00 00 00 11 00 05 00 05 00 00 00 00 00 00 00 00 00 00 0a")));
    // The next batch goes on counting.
    EXPECT_EQ(c.policy.info().first_seq, 6u);
    c.message(24);
    c.policy.flush_batch();
    EXPECT_EQ(c.sent[1].info.first_seq, 6u);
    EXPECT_EQ(c.sent[1].info.count, 3u);
}

TEST(batch_policy, a_message_filling_the_batch_up_to_its_end_frame_stays)
{
    // BEGIN (20) + message + END (20) == 8192 exactly.
    batch_capture_t c;
    c.message(24);
    c.message(8192 - 20 - 24 - 20);
    EXPECT_TRUE(c.sent.empty());
    c.policy.flush_batch();
    ASSERT_EQ(c.sent.size(), 1u);
    EXPECT_EQ(c.sent[0].bytes.size(), 8192u);
    EXPECT_EQ(c.sent[0].info.count, 4u);
}

TEST(batch_policy, four_bytes_more_flushes_the_earlier_messages_first)
{
    batch_capture_t c;
    c.message(24);
    c.message(8192 - 20 - 24 - 20 + 4);
    ASSERT_EQ(c.sent.size(), 1u);
    using m = std::pair<std::uint16_t, std::uint32_t>;
    EXPECT_EQ(messages_of(c.sent[0].bytes), (std::vector<m>{{0x10, 1}, {0x0a06, 2}, {0x11, 4}}));
    EXPECT_EQ(c.sent[0].info.count, 3u);
    // The big message (seq 3, written before the flush) opens the next batch behind BEGIN 5.
    c.policy.flush_batch();
    ASSERT_EQ(c.sent.size(), 2u);
    EXPECT_EQ(messages_of(c.sent[1].bytes), (std::vector<m>{{0x10, 5}, {0x0a06, 3}, {0x11, 6}}));
    EXPECT_EQ(c.sent[1].info.first_seq, 5u);
    EXPECT_EQ(c.sent[1].info.count, 3u);
}

TEST(batch_policy, a_message_too_big_for_any_batch_flushes_then_fails)
{
    batch_capture_t c{200};
    c.message(24);
    try {
        c.message(200 - 40 + 4);
        FAIL() << "no error";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "batch_policy_t: something is wrong");
    }
    EXPECT_EQ(c.sent.size(), 1u);
}

TEST(batch_policy, many_messages_split_into_bounded_batches_without_loss)
{
    batch_capture_t c;
    std::vector<std::uint32_t> written;
    for (int i = 0; i < 400; ++i) {
        c.message(24 + 4 * static_cast<std::size_t>(i % 50));
        written.push_back(c.writer.sequence());
    }
    c.policy.flush_batch();
    ASSERT_GT(c.sent.size(), 3u);
    std::vector<std::uint32_t> received;
    std::uint32_t expected_begin = 1;
    for (auto& b : c.sent) {
        EXPECT_LE(b.bytes.size(), 8192u);
        auto msgs = messages_of(b.bytes);
        ASSERT_GE(msgs.size(), 3u);
        EXPECT_EQ(msgs.front().first, 0x10);
        EXPECT_EQ(msgs.back().first, 0x11);
        EXPECT_EQ(msgs.front().second, b.info.first_seq);
        EXPECT_EQ(b.info.count, msgs.size());
        EXPECT_GE(b.info.first_seq, expected_begin);
        expected_begin = msgs.back().second + 1;
        for (std::size_t i = 1; i + 1 < msgs.size(); ++i)
            received.push_back(msgs[i].second);
    }
    EXPECT_EQ(received, written);
}

TEST(batch_policy, sink_failure_resets_the_batch_and_numbering_goes_on)
{
    batch_capture_t c;
    c.message(24);
    c.fail_next = true;
    EXPECT_THROW(c.policy.flush_batch(), std::runtime_error);
    EXPECT_EQ(c.policy.batch_bytes().size(), 20u);
    EXPECT_EQ(c.policy.info().first_seq, 4u);
    c.message(24);
    c.policy.flush_batch();
    ASSERT_EQ(c.sent.size(), 2u);
    EXPECT_EQ(c.sent[1].info.first_seq, 4u);
}

TEST(batch_policy, failed_automatic_flush_keeps_the_finished_message)
{
    batch_capture_t c;
    c.message(24);
    c.fail_next = true;
    EXPECT_THROW(c.message(8192 - 40), std::runtime_error);
    ASSERT_EQ(c.sent.size(), 1u);
    EXPECT_EQ(c.policy.batch_bytes().size(), 20u + 8192 - 40);
    EXPECT_EQ(c.policy.pending_size(), 0u);
    EXPECT_EQ(c.policy.info().count, 2u);
}

TEST(single_policy, numbers_from_100000_and_empties_after_a_failed_send)
{
    int calls = 0;
    std::vector<std::uint32_t> seqs;
    single_policy_t p([&](std::span<const std::uint8_t> b) {
        seqs.push_back(u32_at(bytes_t(b.begin(), b.end()), 8));
        if (++calls == 1)
            throw std::runtime_error("send failed");
    });
    message_writer_t w{p};
    w.begin_message(7, 2, 0x300);
    EXPECT_THROW(w.end_message(), std::runtime_error);
    w.begin_message(7, 2, 0x300);
    w.end_message();
    EXPECT_EQ(seqs, (std::vector<std::uint32_t>{100000, 100001}));
    p.flush(); // empty: nothing sent
    EXPECT_EQ(calls, 2);
}

TEST(message_buffer, allocates_zeroed_aligned_space_up_to_its_limit)
{
    message_buffer_t b{16};
    std::uint8_t* p = b.allocate(5);
    EXPECT_EQ(b.size(), 8u);
    EXPECT_EQ(p[5] | p[6] | p[7], 0);
    b.allocate(8);
    EXPECT_THROW(b.allocate(1), std::runtime_error);
    EXPECT_EQ(b.size(), 16u);
}

} // namespace
