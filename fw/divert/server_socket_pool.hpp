#pragma once
// Joins the two halves of a checked connection: the daemon's connected server
// socket waits here under (client endpoint, server endpoint) until the client's
// connection arrives at the transparent acceptor; then both go on to pellad.
// A socket whose client never comes (a forged SYN, a client gone at once) is
// reset after a few seconds by a timer, unless the client is still completing
// its handshake with the listener or waits in its accept queue, or as soon as
// the client tries that pair again: a SYN flood must not become a flood of
// connections held open against the server.
#include <chrono>
#include <functional>
#include <memory>

#include <boost/asio/ip/tcp.hpp>

#include "common/scoped_fd.hpp"
#include "fw/divert/connection_diverter.hpp"
#include "fw/service/service.hpp"
#include "fw/divert/transparent_acceptor.hpp"
#include "common/callback_wrapper.hpp"

namespace boost::asio {
class io_context;
}

namespace kv {
class RuleSet;
}

namespace fw::service {

struct connected_socket_t {
    // The server's endpoint for the server socket, the client's for the client socket.
    boost::asio::ip::tcp::endpoint endpoint;
    util::scoped_fd_t descriptor;
};

class server_socket_pool_t : public util::service_t,
                             public connection_diverter_t::delegate_t,
                             public transparent_acceptor_t::delegate_t,
                             private kv::util::callback_wrapper_t {
public:
    class delegate_t {
    public:
        // Takes both descriptors over.
        virtual void new_socket_pair(connected_socket_t&& server, connected_socket_t&& client,
                                     const kv::RuleSet& rules) = 0;

    protected:
        ~delegate_t() = default;
    };

    static constexpr std::chrono::nanoseconds default_expiry = std::chrono::seconds(300);
    // How long the listener may take to claim a server socket before a SYN
    // of the same pair counts as a new connection attempt. The client's
    // handshake with the listener takes a round trip on the firewall host;
    // the bound stays under the time to the client's second SYN retry.
    static constexpr std::chrono::nanoseconds default_claim_time = std::chrono::seconds(2);
    // How long a server socket waits for its client when the listener holds
    // nothing of the pair. A client claims it one round trip after the
    // re-sent SYN reached the listener; past that, only a client whose
    // SYN-ACKs were lost, or one the acceptor has not taken yet, is still
    // coming, and the listener then holds its pending request or connection,
    // which keeps the socket (as long as the kernel keeps it; a flood cannot
    // make that more: with the SYN queue full the kernel answers with SYN
    // cookies and holds no request).
    static constexpr std::chrono::nanoseconds default_abandon_time = std::chrono::seconds(4);

    // Whether the client of (client, server) is still on its way to the
    // acceptor; throws when that cannot be known. The default asks the kernel
    // over a socket the pool opens at construction.
    using handshake_probe_t =
        std::function<bool(const boost::asio::ip::tcp::endpoint&, const boost::asio::ip::tcp::endpoint&)>;

    server_socket_pool_t(boost::asio::io_context& io, delegate_t& delegate, unsigned limit,
                         std::chrono::nanoseconds expiry = default_expiry,
                         std::chrono::nanoseconds claim_time = default_claim_time,
                         std::chrono::nanoseconds abandon_time = default_abandon_time,
                         handshake_probe_t handshake_pending = {});
    // Resets every waiting server socket; the delegate hears nothing.
    ~server_socket_pool_t() override;

    // Whether a server socket for exactly this pair waits for its client. One
    // that has waited the claim time or longer is closed first: the SYN asking
    // is a new connection attempt, to be decided anew.
    bool has_server_socket(const boost::asio::ip::tcp::endpoint& client,
                           const boost::asio::ip::tcp::endpoint& server) override;
    void new_server_socket(const boost::asio::ip::tcp::endpoint& client,
                           const boost::asio::ip::tcp::endpoint& server, const kv::RuleSet& rules,
                           util::scoped_fd_t&& descriptor) override;
    // An unmatched client is reset: it must not take the end of its server
    // socket for a server that closed without a word.
    void new_client_socket(const boost::asio::ip::tcp::endpoint& peer,
                           const boost::asio::ip::tcp::endpoint& local,
                           util::scoped_fd_t&& descriptor) override;

private:
    struct entries_t;

    void erase_expired();
    void close_abandoned();
    // Wakes when the oldest entry expires or is abandoned, unless a wake is
    // already pending; not before `not_before`.
    void arm_timer(std::chrono::steady_clock::time_point not_before = {});

    delegate_t& delegate_;
    std::unique_ptr<entries_t> entries_;
    unsigned limit_;
    std::chrono::nanoseconds expiry_;
    std::chrono::nanoseconds claim_time_;
    std::chrono::nanoseconds abandon_time_;
    handshake_probe_t handshake_pending_;
};

} // namespace fw::service
