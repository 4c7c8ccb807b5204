#include "linux/nftables/policy.hpp"

// glibc's networking headers first: they tell the UAPI headers what not to redefine.
#include <arpa/inet.h>

#include <linux/netfilter/nfnetlink.h>
#include <linux/netlink.h>


#include <algorithm>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <unistd.h>

namespace fw::linux::nftables::policy {

static_assert(sizeof(nlmsghdr) + sizeof(nfgenmsg) == frame_size);

message_buffer_t::message_buffer_t(std::size_t limit) : limit_(std::min(limit, max_message_size)) {}

std::uint8_t* message_buffer_t::allocate(std::size_t n)
{
    std::size_t aligned = (n + 3) & ~std::size_t{3};
    if (aligned > limit_ - size_)
        throw std::runtime_error("can't alloc!");
    std::uint8_t* p = storage_.data() + size_;
    std::memset(p, 0, aligned);
    size_ += aligned;
    return p;
}

batch_policy_t::batch_policy_t(sink_t sink, std::size_t max_size)
    : batch_(max_size), pending_(max_size), sink_(std::move(sink))
{
    if (max_size < 2 * frame_size)
        throw std::runtime_error("batch_policy_t: max_size so small!");
    if (max_size > max_message_size)
        throw std::runtime_error("batch_policy_t: max size is too big!");
    begin_batch();
}

std::uint8_t* batch_policy_t::allocate(std::size_t n)
{
    return writing_frame_ ? batch_.allocate(n) : pending_.allocate(n);
}

void batch_policy_t::write_frame(std::uint16_t type)
{
    writing_frame_ = true;
    nlmsghdr header{};
    header.nlmsg_len = frame_size;
    header.nlmsg_type = type;
    header.nlmsg_flags = NLM_F_REQUEST | NLM_F_ACK;
    header.nlmsg_seq = next_sequence();
    nfgenmsg gen{};
    gen.nfgen_family = 0; // AF_UNSPEC
    gen.version = NFNETLINK_V0;
    gen.res_id = htons(NFNL_SUBSYS_NFTABLES);
    std::uint8_t* p = allocate(frame_size);
    std::memcpy(p, &header, sizeof header);
    std::memcpy(p + sizeof header, &gen, sizeof gen);
    info_.count += 1;
    writing_frame_ = false;
}

void batch_policy_t::begin_batch()
{
    info_.first_seq = next_seq_;
    write_frame(NFNL_MSG_BATCH_BEGIN);
}

void batch_policy_t::end_message()
{
    pending_count_ += 1;
    std::exception_ptr flush_error;
    // A full batch goes out first; the finished message then opens the next one.
    if (batch_.limit() < pending_.size() + batch_.size() + frame_size) {
        try {
            flush_batch();
        } catch (...) {
            flush_error = std::current_exception();
        }
    }
    append_pending();
    if (flush_error)
        std::rethrow_exception(flush_error);
}

void batch_policy_t::append_pending()
{
    if (batch_.limit() < pending_.size() + batch_.size() + frame_size)
        throw std::runtime_error("batch_policy_t: something is wrong");
    std::uint8_t* p = batch_.allocate(pending_.size());
    std::memcpy(p, pending_.data(), pending_.size());
    pending_.clear();
    info_.count += pending_count_;
    pending_count_ = 0;
}

void batch_policy_t::flush_batch()
{
    if (batch_.size() <= frame_size)
        return;
    end_batch();
    std::exception_ptr sink_error;
    try {
        sink_(batch_.bytes(), info_);
    } catch (...) {
        sink_error = std::current_exception();
    }
    // The policy stays usable after a failed batch; the batch itself is not retried.
    batch_.clear();
    info_ = {};
    begin_batch();
    if (sink_error)
        std::rethrow_exception(sink_error);
}

namespace {

std::size_t single_limit()
{
    // Taken unsigned: a failed sysconf (-1) yields the 8192 cap.
    static const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    return std::min(page, max_message_size);
}

} // namespace

single_policy_t::single_policy_t(sink_t sink) : buffer_(single_limit()), sink_(std::move(sink)) {}

void single_policy_t::flush()
{
    if (buffer_.size() == 0)
        return;
    std::exception_ptr sink_error;
    try {
        sink_(buffer_.bytes());
    } catch (...) {
        sink_error = std::current_exception();
    }
    buffer_.clear();
    if (sink_error)
        std::rethrow_exception(sink_error);
}

} // namespace fw::linux::nftables::policy
