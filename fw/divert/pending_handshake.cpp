#include "fw/divert/pending_handshake.hpp"

#include <cerrno>
#include <vector>

#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>

#include <boost/system/system_error.hpp>

#include "common/error.hpp"
#include "linux/netlink/reply.hpp"
#include "linux/netlink/sock_diag.hpp"
#include "linux/netlink/socket.hpp"
#include "linux/netlink/sync_link.hpp"

namespace fw::service {

bool listener_handshake_pending(const boost::asio::ip::tcp::endpoint& client,
                                const boost::asio::ip::tcp::endpoint& server)
{
    namespace sock_diag = linux::sock_diag;
    linux::netlink::sync_link_t link(linux::netlink::open_netlink_socket(NETLINK_SOCK_DIAG));
    const sock_diag::exact_request_message_t request(AF_INET, {server, client});
    const auto* header = reinterpret_cast<const std::uint8_t*>(&request.header());
    link.send(SOCK_DIAG_BY_FAMILY, std::vector<std::uint8_t>(header, header + sizeof request.header()), 0);
    try {
        const auto reply = link.receive_one();
        if (reply.type != SOCK_DIAG_BY_FAMILY)
            throw linux::netlink::unexpected_reply_t();
        const sock_diag::response_message_t socket(reply.payload.data.get(), reply.payload.size);
        // Without a connection of the pair the kernel answers with a listener
        // of the server endpoint, if any. A completed handshake still in the
        // listener's accept queue (no file yet, so no inode) is the acceptor's
        // to take, for instance once a descriptor is free again.
        if (socket.family() != AF_INET || socket.source() != server || socket.destination() != client)
            return false;
        return socket.state() == TCP_SYN_RECV || (socket.state() == TCP_ESTABLISHED && socket.inode() == 0);
    } catch (const boost::system::system_error& e) {
        if (kv::is_errno(e.code(), ENOENT))
            return false;
        throw;
    }
}

} // namespace fw::service
