#pragma once
// The one-way link to pellad: every checked connection leaves as one frame,
// with the client's and the server's socket riding on its first bytes.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <list>
#include <memory>

#include <boost/asio/local/stream_protocol.hpp>

#include "common/scoped_fd.hpp"
#include "common/callback_wrapper.hpp"

namespace kv {
class RuleSet;
}

namespace fw::pellad {

struct inspect_options_t {
    bool inspect_http = false;
    bool inspect_pop3 = false;
    bool inspect_imap = false;
    bool inspect_smtp = false;
    bool inspect_ftp = false;
};

struct scan_options_t {
    std::uint32_t scan_timeout = 0;
    bool heuristic_analysis = false;
    std::uint32_t packer_max_level = 0;
    std::uint32_t archive_max_level = 0;
    std::uint32_t mail_max_level = 0;
    std::uint32_t container_max_level = 0;
    std::uint32_t max_compression_ratio = 0;
};

class tie_t : private kv::util::callback_wrapper_t {
public:
    using socket_t = boost::asio::local::stream_protocol::socket;

    // Implemented by the owner, who may destroy the tie from inside any of these.
    class delegate_t {
    public:
        // The last queued frame has left; the queue is empty.
        virtual void on_drained() = 0;
        // The peer ended the stream while nothing was queued.
        virtual void on_closed() = 0;
        // The tie failed; its socket is closed, its queue dropped, its delegate forgotten.
        virtual void on_error(std::exception_ptr error) = 0;

    protected:
        ~delegate_t() = default;
    };

    // Throws system_error "Pellad tie: cannot set non-blocking mode" for a socket
    // that cannot be switched (a closed one included).
    tie_t(socket_t socket, const inspect_options_t& inspect, const scan_options_t& scan,
          bool block_unchecked);
    ~tie_t();
    tie_t(const tie_t&) = delete;
    tie_t& operator=(const tie_t&) = delete;

    void start(delegate_t* delegate);

    // These apply to frames built afterwards; queued frames keep their values.
    void set_inspect_options(const inspect_options_t& options) { inspect_ = options; }
    void set_scan_options(const scan_options_t& options) { scan_ = options; }
    void set_block_unchecked(bool block) { block_unchecked_ = block; }

    // Frames not yet completely sent.
    std::size_t queued() const noexcept { return frames_.size(); }

    // Queues one frame owning both descriptors and starts sending when the queue
    // was empty; failures reach the delegate, possibly before this returns.
    void send_connections(const kv::RuleSet& rules, util::scoped_fd_t server,
                          util::scoped_fd_t client);

private:
    struct frame_t {
        std::unique_ptr<unsigned char[]> data;
        std::size_t size = 0;
        std::size_t sent = 0;
        // While set, the frame owns the two descriptors; cleared after the first accepted send.
        bool descriptors_attached = true;
        util::scoped_fd_t server;
        util::scoped_fd_t client;
    };

    void send_next();
    void on_writable();
    void on_receive(const boost::system::error_code& ec);
    void fail(std::exception_ptr error);

    socket_t socket_;
    inspect_options_t inspect_;
    scan_options_t scan_;
    bool block_unchecked_;
    delegate_t* delegate_ = nullptr;
    std::list<frame_t> frames_;
    unsigned char receive_buffer_ = 0;
};

} // namespace fw::pellad
