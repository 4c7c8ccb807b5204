#pragma once
// Whether a client is still on its way to the transparent acceptor: the
// listener holds a request socket for exactly the pair (its local side the
// server endpoint the client asked for), or the completed connection waits in
// its accept queue. A client that reset, or a forged source the kernel
// answered with a SYN cookie, leaves neither.
#include <boost/asio/ip/tcp.hpp>

#include "linux/netlink/kept_link.hpp"

namespace fw::service {

// Asks sock_diag for the one socket of the pair over a socket of its own,
// open from construction on: connections wait in the accept queue above all
// when accepting has run into the open-file limit, and then no socket could
// be opened to ask.
class listener_handshake_probe_t {
public:
    // Throws boost::system::system_error when the socket cannot be opened.
    listener_handshake_probe_t();

    // Throws std::runtime_error (boost::system::system_error among them) when
    // the kernel cannot be asked. After a failed exchange the next question
    // goes over a new socket, or over the old one when none can be opened.
    bool pending(const boost::asio::ip::tcp::endpoint& client, const boost::asio::ip::tcp::endpoint& server);

private:
    linux::netlink::kept_link_t link_;
};

} // namespace fw::service
