#pragma once
// Socket-diagnostics (NETLINK_SOCK_DIAG) messages: a TCP socket dump request
// whose bytecode filter passes exactly the sockets of given endpoint pairs or
// of one mark, a request for the one socket of an exact 4-tuple or of one
// reported socket, and one socket of the reply. IPv4 only.
#include "linux/netlink/attribute.hpp"
#include "linux/netlink/parse_error.hpp"

#include <boost/asio/ip/tcp.hpp>
#include <linux/inet_diag.h>

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace fw::linux::sock_diag {

static_assert(sizeof(inet_diag_req_v2) == 56);
static_assert(sizeof(inet_diag_msg) == 72);
static_assert(sizeof(inet_diag_bc_op) == 4);
static_assert(sizeof(inet_diag_hostcond) + 4 == 12); // with one IPv4 address word
static_assert(sizeof(inet_diag_markcond) == 8);

// (source, destination)
using endpoint_pair_t = std::pair<boost::asio::ip::tcp::endpoint, boost::asio::ip::tcp::endpoint>;

// The 12-byte condition matching one IPv4 endpoint exactly.
std::vector<std::uint8_t> host_condition(const boost::asio::ip::tcp::endpoint& endpoint);

class request_message_t {
public:
    // Throws boost::asio::ip::bad_address_cast for an endpoint that is not IPv4.
    request_message_t(std::uint8_t family, const std::vector<endpoint_pair_t>& pairs, std::uint32_t states);
    // The sockets whose mark & mask is value. The kernel compares the mark a
    // TIME_WAIT socket kept from its connection too; only CAP_NET_ADMIN may ask.
    static request_message_t marked(std::uint8_t family, std::uint32_t states, std::uint32_t value,
                                    std::uint32_t mask);

    std::vector<std::uint8_t> serialize() const;

    const inet_diag_req_v2& header() const noexcept { return header_; }
    const netlink::compound_attribute_t& attributes() const noexcept { return attributes_; }

private:
    request_message_t(std::uint8_t family, std::uint32_t states, const std::vector<std::uint8_t>& program);

    inet_diag_req_v2 header_{};
    netlink::compound_attribute_t attributes_;
};

class response_message_t;

// Asks for the single socket whose (source, destination) is the pair: the
// kernel looks it up in its hash tables instead of walking every socket.
// Sent without NLM_F_DUMP; the answer is one socket or an ENOENT error. The
// kernel falls back to a listener of the source endpoint when no connection
// matches, and to no socket bound to a device: check what comes back.
class exact_request_message_t {
public:
    // Throws boost::asio::ip::bad_address_cast for an endpoint that is not IPv4.
    exact_request_message_t(std::uint8_t family, const endpoint_pair_t& pair);
    // The socket a reply reported, by its whole id: its cookie makes a socket
    // that has taken the same addresses since an ESTALE error, not a match.
    // Sent as SOCK_DESTROY, it ends that socket (a TIME_WAIT one included).
    explicit exact_request_message_t(const response_message_t& socket);

    const inet_diag_req_v2& header() const noexcept { return header_; }

private:
    inet_diag_req_v2 header_{};
};

class response_message_t {
public:
    using parse_error_t = netlink::message_parse_error_t<"Cannot parse response_message_t: ">;

    // The bytes after the 16-byte netlink header of one reply.
    response_message_t(const void* data, std::size_t size);

    std::uint8_t family() const noexcept { return msg_.idiag_family; }
    std::uint8_t state() const noexcept { return msg_.idiag_state; }
    std::uint8_t timer() const noexcept { return msg_.idiag_timer; }
    std::uint8_t retrans() const noexcept { return msg_.idiag_retrans; }
    std::uint32_t expires() const noexcept { return msg_.idiag_expires; }
    std::uint32_t rqueue() const noexcept { return msg_.idiag_rqueue; }
    std::uint32_t wqueue() const noexcept { return msg_.idiag_wqueue; }
    std::uint32_t uid() const noexcept { return msg_.idiag_uid; }
    std::uint32_t inode() const noexcept { return msg_.idiag_inode; }
    // The first address word is taken as IPv4 whatever the family says.
    boost::asio::ip::tcp::endpoint source() const noexcept;
    boost::asio::ip::tcp::endpoint destination() const noexcept;
    const inet_diag_sockid& id() const noexcept { return msg_.id; }
    // The socket's cookie as SO_COOKIE gives it; a TIME_WAIT socket keeps its socket's.
    std::uint64_t cookie() const noexcept
    {
        return msg_.id.idiag_cookie[0] | static_cast<std::uint64_t>(msg_.id.idiag_cookie[1]) << 32;
    }
    const netlink::compound_attribute_t& attributes() const noexcept { return attributes_; }

private:
    inet_diag_msg msg_{};
    netlink::compound_attribute_t attributes_;
};

} // namespace fw::linux::sock_diag
