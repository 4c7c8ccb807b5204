#pragma once
// Whether a client is still on its way to the transparent acceptor: the
// listener holds a request socket for exactly the pair (its local side the
// server endpoint the client asked for), or the completed connection waits in
// its accept queue. A client that reset, or a forged source the kernel
// answered with a SYN cookie, leaves neither.
#include <boost/asio/ip/tcp.hpp>

namespace fw::service {

// Asks sock_diag for the one socket of the pair; throws std::runtime_error
// (boost::system::system_error among them) when the kernel cannot be asked.
bool listener_handshake_pending(const boost::asio::ip::tcp::endpoint& client,
                                const boost::asio::ip::tcp::endpoint& server);

} // namespace fw::service
