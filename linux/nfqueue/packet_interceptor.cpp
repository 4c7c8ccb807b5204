#include "linux/nfqueue/packet_interceptor.hpp"

#include "common/log.hpp"
#include "linux/netlink/nfnetlink_message.hpp"
#include "linux/nfqueue/message_types.hpp"
#include "linux/nfqueue/nfqueue_config.hpp"
#include "net/ipv4_header.hpp"
#include "net/tcp_header.hpp"

#include <boost/endian/conversion.hpp>
#include <boost/system/system_error.hpp>

#include <linux/netfilter.h>
#include <linux/netfilter/nfnetlink_queue.h>

#include <cstring>
#include <stdexcept>

namespace fw::linux::nfqueue {

namespace {

static_assert(sizeof(nfqnl_msg_packet_hdr) == 7);
static_assert(sizeof(nfqnl_msg_packet_hw) == 12);
static_assert(sizeof(nfqnl_msg_packet_timestamp) == 16);
static_assert(sizeof(nfqnl_msg_verdict_hdr) == 8);

// Read in place: a packet costs no copy of its attributes.
using attributes_t = netlink::attribute_table_t;

template <typename T>
T read_big(const std::uint8_t* p) noexcept
{
    T value;
    std::memcpy(&value, p, sizeof value);
    return boost::endian::big_to_native(value);
}

std::optional<std::uint32_t> find_be32(const attributes_t& attributes, std::uint16_t type)
{
    if (const auto* value = attributes.find_as<std::uint32_t>(type))
        return read_big<std::uint32_t>(reinterpret_cast<const std::uint8_t*>(value));
    return std::nullopt;
}

std::string hw_address_text(const std::uint8_t* hw)
{
    static const char digits[] = "0123456789abcdef";
    std::size_t length = read_big<std::uint16_t>(hw);
    if (length > 8)
        length = 8;
    const std::uint8_t* address = hw + 4;
    std::string text;
    for (std::size_t i = 0; i < length; ++i) {
        if (i)
            text += ':';
        text += digits[address[i] >> 4];
        text += digits[address[i] & 0x0f];
    }
    return text;
}

packet_interceptor_t::packet_attribs_t read_attribs(const attributes_t& attributes)
{
    packet_interceptor_t::packet_attribs_t attribs;
    attribs.mark = find_be32(attributes, NFQA_MARK);
    if (const auto* hw = attributes.find_as<nfqnl_msg_packet_hw>(NFQA_HWADDR))
        attribs.hw_address = hw_address_text(reinterpret_cast<const std::uint8_t*>(hw));
    if (const auto* ts = attributes.find_as<nfqnl_msg_packet_timestamp>(NFQA_TIMESTAMP)) {
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(ts);
        attribs.timestamp_sec = read_big<std::uint64_t>(bytes);
        attribs.timestamp_usec = read_big<std::uint64_t>(bytes + 8);
    }
    attribs.uid = find_be32(attributes, NFQA_UID);
    attribs.gid = find_be32(attributes, NFQA_GID);
    attribs.in_ifindex = find_be32(attributes, NFQA_IFINDEX_INDEV);
    attribs.out_ifindex = find_be32(attributes, NFQA_IFINDEX_OUTDEV);
    return attribs;
}

// Both headers must lie wholly inside the copied bytes before anyone reads them.
// Header lengths below the fixed parts come only from forwarded packets that
// someone forged; whoever copies a header by its length must find its fixed
// part inside the copy, so such packets go no further.
void check_lengths(const attributes_t::bytes_t& packet)
{
    if (packet.size < 40)
        throw std::runtime_error("truncated packet");
    const std::size_t ip_length = fw::net::ipv4_header_t::at(packet.data).header_length();
    if (ip_length < fw::net::ipv4_header_t::min_size)
        throw std::runtime_error("invalid IPv4 header length: " + std::to_string(ip_length));
    if (ip_length > packet.size || packet.size - ip_length < fw::net::tcp_header_t::min_size)
        throw std::runtime_error("truncated TCP header");
    const std::size_t tcp_length = fw::net::tcp_header_t::at(packet.data + ip_length).header_length();
    if (tcp_length < fw::net::tcp_header_t::min_size)
        throw std::runtime_error("invalid TCP header length: " + std::to_string(tcp_length));
    if (packet.size - ip_length < tcp_length)
        throw std::runtime_error("truncated TCP header");
}

} // namespace

verdict_bytes_t make_verdict(std::uint16_t queue, std::uint32_t packet_id, std::uint32_t verdict,
                             const std::uint32_t* mark)
{
    verdict_bytes_t out;
    std::uint8_t* p = out.bytes.data();
    const nfgenmsg header{AF_UNSPEC, NFNETLINK_V0, boost::endian::native_to_big(queue)};
    std::memcpy(p, &header, sizeof header);
    p += sizeof header;
    const auto put_attribute = [&p](std::uint16_t type, const void* value, std::uint16_t size) {
        const nlattr attribute{static_cast<std::uint16_t>(NLA_HDRLEN + size), type};
        std::memcpy(p, &attribute, NLA_HDRLEN);
        std::memcpy(p + NLA_HDRLEN, value, size);
        p += NLA_HDRLEN + size;
    };
    const nfqnl_msg_verdict_hdr verdict_header{boost::endian::native_to_big(verdict), packet_id};
    put_attribute(NFQA_VERDICT_HDR, &verdict_header, sizeof verdict_header);
    if (mark) {
        const std::uint32_t value = boost::endian::native_to_big(*mark);
        put_attribute(NFQA_MARK, &value, sizeof value);
    }
    out.size = static_cast<std::size_t>(p - out.bytes.data());
    return out;
}

std::vector<std::uint8_t> verdict_payload(std::uint16_t queue, std::uint32_t packet_id, std::uint32_t verdict,
                                          const std::uint32_t* mark)
{
    const verdict_bytes_t verdict_bytes = make_verdict(queue, packet_id, verdict, mark);
    return {verdict_bytes.bytes.begin(), verdict_bytes.bytes.begin() + verdict_bytes.size};
}

packet_interceptor_t::packet_interceptor_t(std::unique_ptr<netlink::async::link_t> link, std::uint16_t queue,
                                           std::size_t pending_limit)
    : link_(std::move(link)), queue_(queue), pending_limit_(pending_limit)
{
    // Room for a burst of SYNs while the daemon is busy: a packet that does
    // not fit is lost to the client's retransmission timer.
    enlarge_receive_buffer(link_->native_handle());
}

packet_interceptor_t::~packet_interceptor_t()
{
    pending_.clear();
    link_.reset();
}

void packet_interceptor_t::start(delegate_t* delegate)
{
    delegate_ = delegate;
    link_->start(this);
}

void packet_interceptor_t::send_verdict(std::uint32_t packet_id, std::uint32_t verdict, const std::uint32_t* mark,
                                        bool at_once)
{
    const verdict_bytes_t payload = make_verdict(queue_, packet_id, verdict, mark);
    link_->send(verdict_type, payload.bytes.data(), payload.size, 0, at_once);
}

void packet_interceptor_t::send_drop_verdict(std::uint32_t packet_id)
{
    send_verdict(packet_id, NF_DROP);
}

std::optional<std::uint32_t> packet_interceptor_t::take(const std::weak_ptr<packet_entry_t>& entry)
{
    auto held = entry.lock();
    if (!held)
        return std::nullopt;
    const std::uint32_t id = held->packet_id;
    pending_.erase(held->position);
    return id;
}

void packet_interceptor_t::give_verdict(const std::weak_ptr<packet_entry_t>& entry, std::uint32_t verdict,
                                        const std::uint32_t* mark)
{
    const auto id = take(entry);
    if (!id)
        return;
    // The last packet held: no other verdict is coming to share its datagram,
    // so it need not wait for the end of the turn.
    send_verdict(*id, verdict, mark, pending_.empty());
}

void packet_interceptor_t::accept(const std::weak_ptr<packet_entry_t>& entry) { give_verdict(entry, NF_ACCEPT); }

void packet_interceptor_t::drop(const std::weak_ptr<packet_entry_t>& entry) { give_verdict(entry, NF_DROP); }

void packet_interceptor_t::repeat_with_mark(const std::weak_ptr<packet_entry_t>& entry, std::uint32_t mark)
{
    give_verdict(entry, NF_REPEAT, &mark);
}

void packet_interceptor_t::on_message(std::uint16_t type, const std::uint8_t* payload, std::size_t size)
{
    std::optional<std::uint32_t> packet_id;
    const attributes_t::bytes_t* payload_bytes = nullptr;
    packet_attribs_t attribs;
    attributes_t attributes;
    try {
        if (type != packet_type)
            throw std::runtime_error("invalid message type: " + std::to_string(type));
        attributes = nfnetlink::message_t::parse_attributes(payload, size);
        std::uint32_t id;
        std::memcpy(&id, attributes.get_as<nfqnl_msg_packet_hdr>(NFQA_PACKET_HDR), sizeof id);
        packet_id = id;
        payload_bytes = &attributes.get_bytes(NFQA_PAYLOAD);
        check_lengths(*payload_bytes);
        attribs = read_attribs(attributes);
    } catch (const std::runtime_error& e) {
        cf_log_lazy(log_warning, [&] { return std::string("Packet interceptor: netlink: ") + e.what(); });
        if (packet_id)
            send_drop_verdict(*packet_id);
        return;
    }

    while (!pending_.empty() && pending_.size() >= pending_limit_) {
        cf_log_lazy(log_info, [] { return "Packet interceptor: queue limit reached; dropping the oldest packet"; });
        const std::uint32_t oldest = pending_.front()->packet_id;
        pending_.pop_front();
        send_drop_verdict(oldest);
    }
    auto entry = std::make_shared<packet_entry_t>();
    entry->packet_id = *packet_id;
    entry->position = pending_.insert(pending_.end(), entry);

    const auto& ip = fw::net::ipv4_header_t::at(payload_bytes->data);
    // Last: the delegate may destroy this interceptor.
    delegate_->packet_intercepted(ip, fw::net::tcp_header_t::after(ip), attribs, entry);
}

void packet_interceptor_t::on_error(boost::system::error_code error)
{
    throw boost::system::system_error(error, "NFQUEUE: netlink");
}

void packet_interceptor_t::on_error_reply(const nlmsghdr& request, boost::system::error_code error)
{
    cf_log_rate_limited(log_warning, [&] {
        return "Packet interceptor: queue " + std::to_string(queue_) + ": verdict refused (sequence number "
            + std::to_string(request.nlmsg_seq) + "): " + error.message();
    });
}

} // namespace fw::linux::nfqueue
