#include "linux/nfqueue/nfqueue_config.hpp"

#include "common/log.hpp"
#include "linux/netlink/nfnetlink_message.hpp"
#include "linux/netlink/reply.hpp"
#include "linux/netlink/socket.hpp"
#include "linux/netlink/sync_link.hpp"
#include "linux/nfqueue/message_types.hpp"
#include "linux/nfqueue/packet_interceptor.hpp"

#include <boost/endian/conversion.hpp>
#include <boost/system/system_error.hpp>

#include <linux/netfilter.h>
#include <linux/netfilter/nfnetlink_queue.h>
#include <linux/netlink.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>

namespace fw::linux::nfqueue {

namespace {

static_assert(sizeof(nfqnl_msg_config_cmd) == 4);
static_assert(sizeof(nfqnl_msg_config_params) == 5);

void put_be32(netlink::compound_attribute_t& attributes, std::uint16_t type, std::uint32_t value)
{
    *attributes.add_zeroed<std::uint32_t>(type) = boost::endian::native_to_big(value);
}

nfnetlink::message_t config_message(std::uint16_t queue)
{
    return nfnetlink::message_t(AF_UNSPEC, queue);
}

void add_command(nfnetlink::message_t& message, std::uint8_t command)
{
    auto* cmd = message.attributes().add_zeroed<nfqnl_msg_config_cmd>(NFQA_CFG_CMD);
    cmd->command = command;
    cmd->pf = boost::endian::native_to_big(static_cast<std::uint16_t>(AF_INET));
}

void exchange(netlink::sync_link_t& link, std::vector<std::uint8_t> payload)
{
    link.send(config_type, std::move(payload), NLM_F_ACK);
    link.wait_ack();
}

// The packet id of a queued-packet message, or nothing when it carries none.
std::optional<std::uint32_t> packet_id_of(const std::uint8_t* message, std::size_t length)
{
    try {
        const auto parsed = nfnetlink::message_t::parse(message + NLMSG_HDRLEN, length - NLMSG_HDRLEN);
        if (const auto* header = parsed.attributes().find_as<nfqnl_msg_packet_hdr>(NFQA_PACKET_HDR)) {
            std::uint32_t id;
            std::memcpy(&id, header, sizeof id);
            return id;
        }
    } catch (const std::runtime_error&) {
    }
    return std::nullopt;
}

// Once the kernel has taken the binding, packets may reach the socket before
// its acknowledgement does. They are no answer: each gets a drop verdict.
void exchange_bind(netlink::sync_link_t& link, std::uint16_t queue, std::vector<std::uint8_t> payload)
{
    link.send(config_type, std::move(payload), NLM_F_ACK);
    std::vector<std::uint32_t> early;
    for (;;) {
        // The kernel sends each packet, and the acknowledgement, as a datagram of its own.
        const auto datagram = link.receive_datagram();
        const nlmsghdr header = netlink::read_header(datagram.data());
        if (header.nlmsg_len < NLMSG_HDRLEN)
            throw netlink::truncated_reply_t();
        if (header.nlmsg_type == packet_type) {
            if (auto id = packet_id_of(datagram.data(), header.nlmsg_len))
                early.push_back(*id);
            continue;
        }
        if (header.nlmsg_type != NLMSG_ERROR)
            throw netlink::unexpected_reply_t("type " + std::to_string(header.nlmsg_type) + ", expected an acknowledgement");
        netlink::check_error(datagram.data(), datagram.size());
        break;
    }
    for (const std::uint32_t id : early)
        link.send(verdict_type, verdict_payload(queue, id, NF_DROP), 0);
}

} // namespace

void enlarge_receive_buffer(int fd, int size)
{
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) == 0)
        return;
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size) != 0)
        cf_log_lazy(log_warning, [] { return std::string("Cannot set option SO_RCVBUF: ") + std::strerror(errno); });
}

std::vector<std::uint8_t> queue_command_payload(std::uint16_t queue, std::uint8_t command)
{
    auto message = config_message(queue);
    add_command(message, command);
    return message.serialize();
}

std::vector<std::uint8_t> queue_bind_payload(std::uint16_t queue, std::uint32_t max_length, bool without_uid_gid)
{
    auto message = config_message(queue);
    add_command(message, NFQNL_CFG_CMD_BIND);
    auto* params = message.attributes().add_zeroed<nfqnl_msg_config_params>(NFQA_CFG_PARAMS);
    const std::uint32_t range = boost::endian::native_to_big(copy_range);
    std::memcpy(&params->copy_range, &range, sizeof range); // the struct is packed
    params->copy_mode = NFQNL_COPY_PACKET;
    put_be32(message.attributes(), NFQA_CFG_QUEUE_MAXLEN, max_length);
    if (!without_uid_gid) {
        put_be32(message.attributes(), NFQA_CFG_MASK, NFQA_CFG_F_UID_GID);
        put_be32(message.attributes(), NFQA_CFG_FLAGS, NFQA_CFG_F_UID_GID);
    }
    return message.serialize();
}

fw::util::scoped_fd_t configure_queue(std::uint16_t queue, std::uint32_t max_length, bool without_uid_gid)
{
    fw::util::scoped_fd_t fd = netlink::open_netlink_socket(NETLINK_NETFILTER);
    // Without it a burst of packets beyond the socket buffer fails the receive.
    const int on = 1;
    if (::setsockopt(fd.get(), SOL_NETLINK, NETLINK_NO_ENOBUFS, &on, sizeof on) != 0)
        cf_log_lazy(log_warning, [] {
            return std::string("Cannot set option NETLINK_NO_ENOBUFS: ") + std::strerror(errno);
        });
    return configure_queue(std::move(fd), queue, max_length, without_uid_gid);
}

fw::util::scoped_fd_t configure_queue(fw::util::scoped_fd_t socket, std::uint16_t queue, std::uint32_t max_length,
                                      bool without_uid_gid)
{
    netlink::sync_link_t link(std::move(socket));
    exchange(link, queue_command_payload(queue, NFQNL_CFG_CMD_PF_UNBIND));
    exchange(link, queue_command_payload(queue, NFQNL_CFG_CMD_PF_BIND));
    exchange_bind(link, queue, queue_bind_payload(queue, max_length, without_uid_gid));
    return link.release();
}

fw::util::scoped_fd_t open_queue(std::uint16_t queue, std::uint32_t max_length, const configure_queue_t& configure)
{
    try {
        return configure(queue, max_length, false);
    } catch (const boost::system::system_error& e) {
        if (e.code() != boost::system::errc::operation_not_supported)
            throw;
    }
    return configure(queue, max_length, true);
}

fw::util::scoped_fd_t open_queue(std::uint16_t queue, std::uint32_t max_length)
{
    return open_queue(queue, max_length, [](std::uint16_t q, std::uint32_t length, bool without) {
        return configure_queue(q, length, without);
    });
}

} // namespace fw::linux::nfqueue
