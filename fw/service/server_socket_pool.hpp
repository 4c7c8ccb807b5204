#pragma once
// Joins the two halves of a checked connection: the daemon's connected server
// socket waits here under (client endpoint, server endpoint) until the client's
// connection arrives at the transparent acceptor; then both go on to pellad.
// No timer: old entries are dropped only when a server socket is added.
#include <chrono>
#include <memory>

#include <boost/asio/ip/tcp.hpp>

#include "common/scoped_fd.hpp"
#include "fw/service/connection_diverter.hpp"
#include "fw/service/service.hpp"
#include "fw/service/transparent_acceptor.hpp"

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
                             public transparent_acceptor_t::delegate_t {
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

    server_socket_pool_t(delegate_t& delegate, unsigned limit,
                         std::chrono::nanoseconds expiry = default_expiry);
    // Closes every waiting server socket; the delegate hears nothing.
    ~server_socket_pool_t() override;

    bool has_server_socket(const boost::asio::ip::tcp::endpoint& client,
                           const boost::asio::ip::tcp::endpoint& server) override;
    void new_server_socket(const boost::asio::ip::tcp::endpoint& client,
                           const boost::asio::ip::tcp::endpoint& server, const kv::RuleSet& rules,
                           util::scoped_fd_t&& descriptor) override;
    // An unmatched client descriptor stays with the caller, which closes it.
    void new_client_socket(const boost::asio::ip::tcp::endpoint& peer,
                           const boost::asio::ip::tcp::endpoint& local,
                           util::scoped_fd_t&& descriptor) override;

private:
    struct entries_t;

    delegate_t& delegate_;
    std::unique_ptr<entries_t> entries_;
    unsigned limit_;
    std::chrono::nanoseconds expiry_;
};

} // namespace fw::service
