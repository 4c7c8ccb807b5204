#pragma once
// Sending policies of nf_tables messages: a bounded batch (changes) and single
// requests (dumps and queries). They own the bytes; a sink given by the owner
// puts them on the wire.
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>

namespace fw::linux::nftables::policy {

inline constexpr std::size_t max_message_size = 8192;
// nlmsghdr (16) + nfgenmsg (4): the size of BATCH_BEGIN and BATCH_END.
inline constexpr std::size_t frame_size = 20;

// Fixed storage inside the object, so building a message never touches the heap.
class message_buffer_t {
public:
    explicit message_buffer_t(std::size_t limit = max_message_size);

    // Appends (n + 3) & ~3 zeroed bytes; throws "can't alloc!" past the limit.
    std::uint8_t* allocate(std::size_t n);
    void clear() noexcept { size_ = 0; }

    std::size_t size() const noexcept { return size_; }
    std::size_t limit() const noexcept { return limit_; }
    const std::uint8_t* data() const noexcept { return storage_.data(); }
    std::span<const std::uint8_t> bytes() const noexcept { return {storage_.data(), size_}; }
    std::uint8_t* end() noexcept { return storage_.data() + size_; }

private:
    alignas(8) std::array<std::uint8_t, max_message_size> storage_{};
    std::size_t size_ = 0;
    std::size_t limit_;
};

struct batch_info_t {
    std::uint32_t first_seq = 0; // sequence number of BATCH_BEGIN
    std::uint32_t count = 0;     // messages, BATCH_BEGIN and BATCH_END included
};

class batch_policy_t {
public:
    using sink_t = std::function<void(std::span<const std::uint8_t>, const batch_info_t&)>;

    explicit batch_policy_t(sink_t sink, std::size_t max_size = max_message_size);
    batch_policy_t(const batch_policy_t&) = delete;
    batch_policy_t& operator=(const batch_policy_t&) = delete;

    std::uint8_t* allocate(std::size_t n);
    // End of the buffer that allocate() extends.
    std::uint8_t* end() noexcept { return writing_frame_ ? batch_.end() : pending_.end(); }
    std::uint32_t next_sequence() noexcept { return next_seq_++; }
    // The message written into the pending buffer is complete.
    void end_message();
    // Closes and sends the batch if it holds any message, then opens the next one.
    void flush_batch();

    const batch_info_t& info() const noexcept { return info_; }
    std::span<const std::uint8_t> batch_bytes() const noexcept { return batch_.bytes(); }
    std::size_t pending_size() const noexcept { return pending_.size(); }

private:
    void write_frame(std::uint16_t type);
    void begin_batch();
    void end_batch() { write_frame(0x11); }
    void append_pending();

    batch_info_t info_;
    message_buffer_t batch_;
    message_buffer_t pending_;
    std::uint32_t pending_count_ = 0;
    std::uint32_t next_seq_ = 1;
    sink_t sink_;
    bool writing_frame_ = false;
};

class single_policy_t {
public:
    using sink_t = std::function<void(std::span<const std::uint8_t>)>;

    static constexpr std::uint32_t first_sequence = 100000;

    explicit single_policy_t(sink_t sink);
    single_policy_t(const single_policy_t&) = delete;
    single_policy_t& operator=(const single_policy_t&) = delete;

    std::uint8_t* allocate(std::size_t n) { return buffer_.allocate(n); }
    std::uint8_t* end() noexcept { return buffer_.end(); }
    std::uint32_t next_sequence() noexcept { return next_seq_++; }
    // Sends the one message in the buffer and empties it, also when the sink throws.
    void flush();

    std::size_t limit() const noexcept { return buffer_.limit(); }

private:
    message_buffer_t buffer_;
    std::uint32_t next_seq_ = first_sequence;
    sink_t sink_;
};

} // namespace fw::linux::nftables::policy
