#include "fw/divert/pending_handshake.hpp"

#include <cerrno>
#include <exception>
#include <vector>

#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>

#include <boost/system/system_error.hpp>

#include "common/error.hpp"
#include "linux/netlink/reply.hpp"
#include "linux/netlink/sock_diag.hpp"
#include "linux/netlink/sync_link.hpp"

namespace fw::service {

listener_handshake_probe_t::listener_handshake_probe_t() : link_(NETLINK_SOCK_DIAG) {}

bool listener_handshake_probe_t::pending(const boost::asio::ip::tcp::endpoint& client,
                                         const boost::asio::ip::tcp::endpoint& server)
{
    namespace sock_diag = linux::sock_diag;
    const sock_diag::exact_request_message_t request(AF_INET, {server, client});
    const auto* header = reinterpret_cast<const std::uint8_t*>(&request.header());
    try {
        link_->send(SOCK_DIAG_BY_FAMILY, std::vector<std::uint8_t>(header, header + sizeof request.header()), 0);
        const auto reply = link_->receive_one();
        if (reply.type != SOCK_DIAG_BY_FAMILY)
            throw linux::netlink::unexpected_reply_t();
        const sock_diag::response_message_t socket(reply.payload.data.get(), reply.payload.size);
        // Without a connection of the pair the kernel answers with a listener
        // of the server endpoint, if any.
        if (socket.family() != AF_INET || socket.source() != server || socket.destination() != client)
            return false;
        if (socket.state() == TCP_SYN_RECV)
            return true;
        // A completed handshake still in the listener's accept queue has no
        // file yet, so no inode: it is the acceptor's to take, for instance
        // once a descriptor is free again. A client that sent its request
        // and its end of stream before that waits there in CLOSE_WAIT. (A
        // queued connection the client reset is unhashed and not found.)
        return socket.inode() == 0 && (socket.state() == TCP_ESTABLISHED || socket.state() == TCP_CLOSE_WAIT);
    } catch (const boost::system::system_error& e) {
        if (kv::is_errno(e.code(), ENOENT))
            return false;
        link_.recover();
        throw;
    } catch (const std::exception&) {
        link_.recover();
        throw;
    }
}

} // namespace fw::service
