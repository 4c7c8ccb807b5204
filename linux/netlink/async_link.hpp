#pragma once
// One netlink socket on the event loop: receives continuously and hands every
// message to a delegate; sends in order without blocking, optionally with a
// completion that runs when the kernel acknowledges the message.
// It reads the datagrams that are ready in batches (one system call each) and
// reads again only after a batch that filled every slot: a short batch means
// the socket is empty, so an idle link never reads in vain. The messages sent
// while a batch is dispatched or during one turn of the event loop leave
// together, several in one datagram.
#include "common/scoped_fd.hpp"
#include "linux/netlink/byte_array.hpp"
#include "linux/netlink/message.hpp"
#include "common/callback_wrapper.hpp"

#include <boost/asio/generic/datagram_protocol.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/system/error_code.hpp>

#include <linux/netlink.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <deque>
#include <map>
#include <vector>

namespace fw::linux::netlink::async {

class link_t {
public:
    class delegate_t {
    public:
        virtual void on_multipart_begin() = 0;
        virtual void on_multipart_end() = 0;
        // Any message but NLMSG_NOOP, NLMSG_ERROR and NLMSG_DONE; the payload
        // is valid only during the call.
        virtual void on_message(std::uint16_t type, const std::uint8_t* payload, std::size_t size) = 0;
        // The link failed and has stopped.
        virtual void on_error(boost::system::error_code error) = 0;
        // The kernel refused a request sent without a completion (`request` is
        // its echoed header); it does so unasked, e.g. ENOENT for a verdict on a
        // packet whose interface went away. The link goes on. By default this
        // is logged at Warning, at most once per rate-limit window.
        virtual void on_error_reply(const nlmsghdr& request, boost::system::error_code error);

    protected:
        ~delegate_t() = default;
    };

    using completion_t = std::function<void(boost::system::error_code)>;
    using socket_t = boost::asio::generic::datagram_protocol::socket;

    // Throws boost::system::system_error "assign"; `fd` is closed then.
    link_t(boost::asio::io_context& io, fw::util::scoped_fd_t fd);
    link_t(const link_t&) = delete;
    link_t& operator=(const link_t&) = delete;
    // Pending completions are dropped uncalled; queued handlers do nothing.
    ~link_t();

    // Throws boost::system::system_error "bind".
    void bind(const boost::asio::generic::datagram_protocol::endpoint& address);
    // Stores the delegate and starts receiving.
    void start(delegate_t* delegate);
    // A non-empty completion asks for an acknowledgement and runs with its error.
    // The message leaves from the event loop, with the others sent until then.
    void send(std::uint16_t type, netlink_payload_t payload, completion_t completion, std::uint16_t flags);
    // The same without a completion, for a payload the caller keeps. With
    // `at_once` it leaves now with what is queued rather than at the end of
    // the turn (unless a datagram is in flight or a received batch is being
    // dispatched), for a caller that knows nothing else will follow soon.
    void send(std::uint16_t type, const std::uint8_t* payload, std::size_t size, std::uint16_t flags,
              bool at_once = false);

    std::uint32_t next_sequence() const noexcept { return seq_; }
    int native_handle() noexcept { return socket_.native_handle(); }

    // Datagrams read in one turn of the event loop before others get theirs.
    static constexpr int receive_batch = 16;
    // The longest datagram the kernel sends (a dump's); the receive buffer is
    // cut into slots of at least this size, one datagram each.
    static constexpr std::size_t max_kernel_datagram = 32768;
    // Messages gathered into one datagram up to this size (a longer one goes alone).
    static constexpr std::size_t send_batch_bytes = 16384;

private:
    void enqueue(std::uint16_t type, const std::uint8_t* payload, std::size_t size, std::uint32_t seq,
                 std::uint16_t flags, bool at_once);
    void flush();
    void on_sent(boost::system::error_code error, std::size_t bytes);
    void receive_next();
    void on_readable(boost::system::error_code error);
    // Walks one datagram; false once the link failed, was destroyed or lost its delegate.
    bool dispatch(const std::uint8_t* datagram, std::size_t bytes);
    void fail(boost::system::error_code error);

    kv::util::callback_wrapper_t guard_;
    socket_t socket_;
    delegate_t* delegate_ = nullptr;
    // Datagrams to send, oldest first, each of whole messages (header, payload,
    // padding to 4). The first is in flight while `sending_`.
    std::deque<std::vector<std::uint8_t>> queue_;
    std::vector<std::uint8_t> spare_;
    bool sending_ = false;
    bool flush_posted_ = false;
    bool dispatching_ = false;
    byte_array_t buffer_;
    std::size_t slot_size_ = 0;
    std::vector<mmsghdr> slots_;
    std::vector<iovec> slot_buffers_;
    std::uint32_t seq_ = 0;
    bool in_sequence_ = false;
    std::map<std::uint32_t, completion_t> pending_;
};

} // namespace fw::linux::netlink::async
