#pragma once
// The daemon's TPROXY listener: the re-sent SYN of every checked connection is
// steered here, so the client's handshake completes with the daemon while the
// accepted socket keeps the server address the client asked for as its local
// endpoint.
#include <cstdint>
#include <string>
#include "common/endpoint_text.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/system/error_code.hpp>

#include "common/scoped_fd.hpp"
#include "fw/service/service.hpp"
#include "fw/divert/time_wait_reaper.hpp"
#include "common/callback_wrapper.hpp"

namespace kv {
class LinuxFirewallConfig;
}

namespace fw::service {

class marks_t;

using util::endpoint_text;

class transparent_acceptor_t : public util::service_t, private kv::util::callback_wrapper_t {
public:
    class delegate_t {
    public:
        virtual ~delegate_t() = default;
        // peer: the client; local: the endpoint the client connected to. The
        // callee takes the descriptor over.
        virtual void new_client_socket(const boost::asio::ip::tcp::endpoint& peer,
                                       const boost::asio::ip::tcp::endpoint& local,
                                       util::scoped_fd_t&& descriptor) = 0;
    };

    // After the forward divert is turned off, the steering rules still bring
    // the clients already on their way (a re-sent SYN, a connection in the
    // listener's queue) until their server sockets expire from the pool: the
    // sockets accepted meanwhile are ended in TIME_WAIT too.
    static constexpr std::chrono::seconds default_record_linger{300};

    // reap_period: how often the accepted sockets' TIME_WAIT leftovers are
    // ended while the forward divert is on; record_linger: how long after it
    // is turned off the accepted sockets are still taken.
    transparent_acceptor_t(boost::asio::io_context& io, delegate_t& delegate,
                           const kv::LinuxFirewallConfig& config, marks_t& marks,
                           std::chrono::milliseconds reap_period = time_wait_reaper_t::default_period,
                           std::chrono::milliseconds record_linger = default_record_linger);
    // Also ends the accepted sockets left in TIME_WAIT, so that a stopped
    // daemon blackholes no forwarded client reusing a port.
    ~transparent_acceptor_t() override;

    // Opens the listener on tproxy_listen_address, or keeps it when that is
    // where it already listens; a kept listener takes on changed marks.
    // Sockets accepted while the forward divert is on, and for the record
    // linger after, are ended in TIME_WAIT (or orphaned in FIN_WAIT2) every
    // reap period, until the last of them is gone; at once when the forward
    // divert is turned off.
    void configure() override;

    // Where the listener is bound, as read back from the socket (0.0.0.0:0 before
    // the first open): the TPROXY target of the steering rules.
    const boost::asio::ip::tcp::endpoint& endpoint() const noexcept { return endpoint_; }

private:
    void open(const boost::asio::ip::tcp::endpoint& endpoint);
    // ClientPacketsMark | ServerPacketsMark of the marks service now; set again
    // on every configure that keeps the listener, since the marks may move.
    void set_mark(int fd);
    void reopen(const boost::asio::ip::tcp::endpoint& endpoint);
    // After the listener is set: the reaper records while the forward divert is on.
    void follow_time_wait();
    // Hands an accepted socket's cookie and mark to the reaper.
    void take_for_reaping(int fd);
    void start_accept();
    void on_accept(const boost::system::error_code& ec, boost::asio::ip::tcp::socket accepted);
    // A failed accept: a Warning and the next accept, unless the listener itself is broken.
    void accept_failed(const boost::system::error_code& ec);

    delegate_t& delegate_;
    const kv::LinuxFirewallConfig& config_;
    marks_t& marks_;
    boost::asio::ip::tcp::acceptor acceptor_;
    boost::asio::ip::tcp::endpoint endpoint_;
    time_wait_reaper_t reaper_;
};

} // namespace fw::service
