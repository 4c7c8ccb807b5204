#include "linux/netlink/async_link.hpp"

#include "common/log.hpp"
#include "linux/netlink/kernel_address.hpp"
#include "linux/netlink/reply.hpp"
#include "linux/netlink/socket.hpp"

#include <boost/asio/buffer.hpp>
#include <boost/asio/post.hpp>
#include <boost/system/system_error.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include <sys/socket.h>

namespace fw::linux::netlink::async {

namespace {

using endpoint_t = boost::asio::generic::datagram_protocol::endpoint;

const endpoint_t& kernel_endpoint()
{
    static const endpoint_t endpoint(&kernel_address(), sizeof(sockaddr_nl));
    return endpoint;
}

boost::system::error_code system_error_code(int value)
{
    return {value, boost::system::system_category()};
}

fw::util::scoped_fd_t assigned(link_t::socket_t& socket, fw::util::scoped_fd_t fd)
{
    boost::system::error_code error;
    socket.assign(boost::asio::generic::datagram_protocol(AF_NETLINK, 0), fd.get(), error);
    if (error)
        throw boost::system::system_error(error, "assign");
    fd.release(); // the socket owns it now
    return fd;
}

std::string hex(unsigned value)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%x", value);
    return text;
}

} // namespace

void link_t::delegate_t::on_error_reply(const nlmsghdr& request, boost::system::error_code error)
{
    cf_log_rate_limited(log_warning, [&] {
        return "Netlink: request of type " + hex(request.nlmsg_type) + " (sequence number "
            + std::to_string(request.nlmsg_seq) + ") refused: " + error.message();
    });
}

link_t::link_t(boost::asio::io_context& io, fw::util::scoped_fd_t fd) : socket_(io)
{
    assigned(socket_, std::move(fd));
    buffer_ = make_receive_buffer(socket_.native_handle());
    const std::size_t slots = std::clamp<std::size_t>(buffer_.size / max_kernel_datagram, 1, receive_batch);
    slot_size_ = buffer_.size / slots;
    slots_.resize(slots);
    slot_buffers_.resize(slots);
    for (std::size_t i = 0; i < slots; ++i) {
        slot_buffers_[i] = {buffer_.data.get() + i * slot_size_, slot_size_};
        slots_[i].msg_hdr = {};
        slots_[i].msg_hdr.msg_iov = &slot_buffers_[i];
        slots_[i].msg_hdr.msg_iovlen = 1;
    }
}

link_t::~link_t()
{
    guard_.disarm();
    boost::system::error_code ignored;
    socket_.close(ignored);
}

void link_t::bind(const endpoint_t& address)
{
    boost::system::error_code error;
    if (!socket_.is_open())
        error = system_error_code(EBADF);
    else
        socket_.bind(address, error);
    if (error)
        throw boost::system::system_error(error, "bind");
}

void link_t::start(delegate_t* delegate)
{
    delegate_ = delegate;
    receive_next();
}

void link_t::send(std::uint16_t type, netlink_payload_t payload, completion_t completion, std::uint16_t flags)
{
    flags |= NLM_F_REQUEST;
    if (completion) {
        flags |= NLM_F_ACK;
        pending_[seq_] = std::move(completion);
    }
    enqueue(type, payload_data(payload), payload_size(payload), seq_++, flags, false);
}

void link_t::send(std::uint16_t type, const std::uint8_t* payload, std::size_t size, std::uint16_t flags,
                  bool at_once)
{
    enqueue(type, payload, size, seq_++, static_cast<std::uint16_t>(flags | NLM_F_REQUEST), at_once);
}

void link_t::enqueue(std::uint16_t type, const std::uint8_t* payload, std::size_t size, std::uint32_t seq,
                     std::uint16_t flags, bool at_once)
{
    const nlmsghdr header = message_header(type, size, seq, flags);
    const std::size_t length = align4(NLMSG_HDRLEN + size);
    // The datagram in flight is complete; a full one is closed.
    if (queue_.empty() || (sending_ && queue_.size() == 1)
        || (!queue_.back().empty() && queue_.back().size() + length > send_batch_bytes))
        queue_.push_back(std::exchange(spare_, {}));
    auto& datagram = queue_.back();
    const std::size_t at = datagram.size();
    datagram.resize(at + length);
    std::memcpy(datagram.data() + at, &header, NLMSG_HDRLEN);
    if (size)
        std::memcpy(datagram.data() + at + NLMSG_HDRLEN, payload, size);
    std::memset(datagram.data() + at + NLMSG_HDRLEN + size, 0, length - NLMSG_HDRLEN - size);
    // Whatever else the event loop's current turn sends goes along; during a
    // received batch, what its messages cause leaves after it.
    if (sending_ || dispatching_)
        return;
    if (at_once)
        return flush();
    if (!flush_posted_) {
        flush_posted_ = true;
        boost::asio::post(socket_.get_executor(), guard_.wrap([this] {
                              flush_posted_ = false;
                              flush();
                          }));
    }
}

void link_t::flush()
{
    // A failed link keeps its queue until it is destroyed.
    while (!sending_ && !queue_.empty() && socket_.is_open()) {
        auto& datagram = queue_.front();
        // The kernel takes a netlink datagram at once: sent here, it costs no
        // turn of the event loop for its completion.
        const ssize_t sent = ::sendto(socket_.native_handle(), datagram.data(), datagram.size(), MSG_DONTWAIT,
                                      kernel_endpoint().data(), static_cast<socklen_t>(kernel_endpoint().size()));
        if (sent == static_cast<ssize_t>(datagram.size())) {
            spare_ = std::move(datagram);
            spare_.clear();
            queue_.pop_front();
            continue;
        }
        // Anything else takes the event loop's way, which waits where it must
        // and reports a failure from the loop, not from the caller's send.
        sending_ = true;
        socket_.async_send_to(boost::asio::buffer(datagram.data(), datagram.size()), kernel_endpoint(), 0,
                              guard_.wrap([this](boost::system::error_code error, std::size_t bytes) {
                                  on_sent(error, bytes);
                              }));
    }
}

void link_t::on_sent(boost::system::error_code error, std::size_t bytes)
{
    sending_ = false;
    if (error)
        return fail(error);
    if (bytes < queue_.front().size())
        return fail(system_error_code(EINVAL));
    // Its memory serves the next datagram: a busy queue allocates nothing.
    spare_ = std::move(queue_.front());
    spare_.clear();
    queue_.pop_front();
    flush();
}

void link_t::receive_next()
{
    socket_.async_wait(socket_t::wait_read,
                       guard_.wrap([this](boost::system::error_code error) { on_readable(error); }));
}

void link_t::on_readable(boost::system::error_code error)
{
    if (error)
        return fail(error);
    // Read in batches until one does not fill every slot (the socket is then
    // empty) or this turn has read its share, so that the verdicts and other
    // work the datagrams cause get their turn in between.
    const int slots = static_cast<int>(slots_.size());
    for (int read = 0; read < receive_batch;) {
        const int n = ::recvmmsg(socket_.native_handle(), slots_.data(), static_cast<unsigned>(slots), MSG_DONTWAIT,
                                 nullptr);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            return receive_next();
        if (n < 0)
            return fail(system_error_code(errno));
        dispatching_ = true;
        for (int i = 0; i < n; ++i)
            if (!dispatch(static_cast<const std::uint8_t*>(slot_buffers_[static_cast<std::size_t>(i)].iov_base),
                          slots_[static_cast<std::size_t>(i)].msg_len))
                return;
        dispatching_ = false;
        flush();
        if (n < slots)
            return receive_next();
        read += n;
    }
    // More may be waiting: the next turn goes on.
    boost::asio::post(socket_.get_executor(), guard_.wrap([this] { on_readable({}); }));
}

bool link_t::dispatch(const std::uint8_t* datagram, std::size_t bytes)
{
    bool alive = false;
    auto probe = guard_.wrap([&alive] { alive = true; });
    // After a call out: false once the link failed, was destroyed or lost its delegate.
    auto still_running = [&] {
        alive = false;
        probe();
        return alive && delegate_;
    };
    if (!delegate_)
        return false;

    const std::uint8_t* p = datagram;
    for (std::size_t remaining = bytes; remaining >= NLMSG_HDRLEN;) {
        const nlmsghdr header = read_header(p);
        if (header.nlmsg_len < NLMSG_HDRLEN || header.nlmsg_len > remaining)
            return true;
        switch (header.nlmsg_type) {
        case NLMSG_ERROR: {
            if (header.nlmsg_len < error_message_size) {
                fail(system_error_code(EINVAL));
                return false;
            }
            const auto error = system_error_code(errno_of(error_field(p)));
            const nlmsghdr request = read_header(p + NLMSG_HDRLEN + offsetof(nlmsgerr, msg));
            if (auto it = pending_.find(request.nlmsg_seq); it != pending_.end()) {
                completion_t completion = std::move(it->second);
                pending_.erase(it);
                completion(error);
                if (!still_running())
                    return false;
            } else if (error) {
                delegate_->on_error_reply(request, error);
                if (!still_running())
                    return false;
            }
            break;
        }
        case NLMSG_DONE:
            if (!in_sequence_) {
                delegate_->on_multipart_begin();
                if (!still_running())
                    return false;
            }
            in_sequence_ = false;
            delegate_->on_multipart_end();
            return still_running(); // nothing after NLMSG_DONE belongs to the sequence
        case NLMSG_NOOP:
            break;
        default:
            if ((header.nlmsg_flags & NLM_F_MULTI) && !in_sequence_) {
                in_sequence_ = true;
                delegate_->on_multipart_begin();
                if (!still_running())
                    return false;
            }
            delegate_->on_message(header.nlmsg_type, p + NLMSG_HDRLEN, header.nlmsg_len - NLMSG_HDRLEN);
            if (!still_running())
                return false;
        }
        std::size_t step = align4(header.nlmsg_len);
        if (step >= remaining)
            return true;
        p += step;
        remaining -= step;
    }
    return true;
}

void link_t::fail(boost::system::error_code error)
{
    boost::system::error_code ignored;
    socket_.close(ignored);
    guard_.disarm();
    // The completions these wait for will not run.
    sending_ = false;
    flush_posted_ = false;
    dispatching_ = false;
    delegate_t* delegate = std::exchange(delegate_, nullptr);
    // A link that fails before anyone listens must not fail silently.
    if (!delegate)
        throw boost::system::system_error(error, "netlink");
    delegate->on_error(error);
}

} // namespace fw::linux::netlink::async
