#include "linux/netlink/async_link.hpp"

#include "common/log.hpp"
#include "linux/netlink/kernel_address.hpp"
#include "linux/netlink/reply.hpp"
#include "linux/netlink/socket.hpp"

#include <boost/asio/buffer.hpp>
#include <boost/system/system_error.hpp>

#include <array>
#include <cerrno>
#include <cstdio>
#include <string>
#include <utility>

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
    if (cf_log_threshold <= 3 && rate_limit_elapsed())
        log_rate_limited(3, "Netlink: request of type " + hex(request.nlmsg_type) + " (sequence number "
                                + std::to_string(request.nlmsg_seq) + ") refused: " + error.message());
}

link_t::link_t(boost::asio::io_context& io, fw::util::scoped_fd_t fd) : socket_(io)
{
    assigned(socket_, std::move(fd));
    buffer_ = make_receive_buffer(socket_.native_handle());
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
    netlink_message_t message(type, std::move(payload), seq_++, flags);
    std::vector<netlink_payload_t> parts;
    parts.reserve(2);
    parts.emplace_back(byte_array_t(&message.header(), sizeof(nlmsghdr)));
    parts.push_back(message.take_payload());
    bool idle = queue_.empty();
    queue_.push_back(std::move(parts));
    if (idle)
        send_next();
}

void link_t::send_next()
{
    // A failed link keeps its queue until it is destroyed.
    if (!socket_.is_open())
        return;
    const auto& parts = queue_.front();
    std::array<boost::asio::const_buffer, 2> buffers = {
        boost::asio::buffer(payload_data(parts[0]), payload_size(parts[0])),
        boost::asio::buffer(payload_data(parts[1]), payload_size(parts[1])),
    };
    socket_.async_send_to(buffers, kernel_endpoint(), 0,
                          guard_.wrap([this](boost::system::error_code error, std::size_t bytes) {
                              on_sent(error, bytes);
                          }));
}

void link_t::on_sent(boost::system::error_code error, std::size_t bytes)
{
    if (error)
        return fail(error);
    const auto& parts = queue_.front();
    if (bytes < payload_size(parts[0]) + payload_size(parts[1]))
        return fail(system_error_code(EINVAL));
    queue_.pop_front();
    if (!queue_.empty())
        send_next();
}

void link_t::receive_next()
{
    socket_.async_receive(boost::asio::buffer(buffer_.data.get(), buffer_.size), 0,
                          guard_.wrap([this](boost::system::error_code error, std::size_t bytes) {
                              on_receive(error, bytes);
                          }));
}

void link_t::on_receive(boost::system::error_code error, std::size_t bytes)
{
    if (error)
        return fail(error);
    // Set by a handler of this generation only while the link lives and has not failed.
    bool alive = false;
    auto probe = guard_.wrap([&alive] { alive = true; });
    dispatch(bytes);
    probe();
    if (alive && delegate_)
        receive_next();
}

void link_t::dispatch(std::size_t bytes)
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
        return;

    const std::uint8_t* p = buffer_.data.get();
    for (std::size_t remaining = bytes; remaining >= NLMSG_HDRLEN;) {
        const nlmsghdr header = read_header(p);
        if (header.nlmsg_len < NLMSG_HDRLEN || header.nlmsg_len > remaining)
            return;
        switch (header.nlmsg_type) {
        case NLMSG_ERROR: {
            if (header.nlmsg_len < error_message_size)
                return fail(system_error_code(EINVAL));
            const auto error = system_error_code(errno_of(error_field(p)));
            const nlmsghdr request = read_header(p + NLMSG_HDRLEN + offsetof(nlmsgerr, msg));
            if (auto it = pending_.find(request.nlmsg_seq); it != pending_.end()) {
                completion_t completion = std::move(it->second);
                pending_.erase(it);
                completion(error);
                if (!still_running())
                    return;
            } else if (error) {
                delegate_->on_error_reply(request, error);
                if (!still_running())
                    return;
            }
            break;
        }
        case NLMSG_DONE:
            if (!in_sequence_) {
                delegate_->on_multipart_begin();
                if (!still_running())
                    return;
            }
            in_sequence_ = false;
            delegate_->on_multipart_end();
            return; // nothing after NLMSG_DONE belongs to the sequence
        case NLMSG_NOOP:
            break;
        default:
            if ((header.nlmsg_flags & NLM_F_MULTI) && !in_sequence_) {
                in_sequence_ = true;
                delegate_->on_multipart_begin();
                if (!still_running())
                    return;
            }
            delegate_->on_message(header.nlmsg_type, p + NLMSG_HDRLEN, header.nlmsg_len - NLMSG_HDRLEN);
            if (!still_running())
                return;
        }
        std::size_t step = align4(header.nlmsg_len);
        if (step >= remaining)
            return;
        p += step;
        remaining -= step;
    }
}

void link_t::fail(boost::system::error_code error)
{
    boost::system::error_code ignored;
    socket_.close(ignored);
    guard_.disarm();
    delegate_t* delegate = std::exchange(delegate_, nullptr);
    // A link that fails before anyone listens must not fail silently.
    if (!delegate)
        throw boost::system::system_error(error, "netlink");
    delegate->on_error(error);
}

} // namespace fw::linux::netlink::async
