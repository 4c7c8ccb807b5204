#pragma once
// Receives the packets of one NFQUEUE queue, hands each one parsed to the
// delegate, and sends the verdicts the delegate gives later. Packets without
// a verdict are held in a bounded list; beyond the bound the oldest is dropped.
#include "linux/netlink/async_link.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <optional>
#include <string>

namespace fw::net {
class ipv4_header_t;
class tcp_header_t;
} // namespace fw::net

namespace fw::linux::nfqueue {

class packet_interceptor_t final : public netlink::async::link_t::delegate_t {
public:
    struct packet_entry_t;
    using pending_list_t = std::list<std::shared_ptr<packet_entry_t>>;

    // One packet without a verdict.
    struct packet_entry_t {
        pending_list_t::iterator position;
        std::uint32_t packet_id = 0; // network byte order, as the kernel sent it
    };

    // What the kernel told about the packet; each field only when it was sent.
    struct packet_attribs_t {
        std::optional<std::uint32_t> mark;
        std::optional<std::string> hw_address;
        std::optional<std::uint32_t> in_ifindex;
        std::optional<std::uint32_t> out_ifindex;
        std::optional<std::uint64_t> timestamp_sec;
        std::optional<std::uint64_t> timestamp_usec;
        std::optional<std::uint32_t> uid;
        std::optional<std::uint32_t> gid;
    };

    class delegate_t {
    public:
        // The headers and the attributes are valid only during the call; the
        // weak pointer is the handle for the one verdict on this packet.
        virtual void packet_intercepted(const fw::net::ipv4_header_t& ip, const fw::net::tcp_header_t& tcp,
                                        const packet_attribs_t& attribs, std::weak_ptr<packet_entry_t> entry)
            = 0;

    protected:
        ~delegate_t() = default;
    };

    static constexpr std::size_t default_pending_limit = 768;

    packet_interceptor_t(std::unique_ptr<netlink::async::link_t> link, std::uint16_t queue,
                         std::size_t pending_limit = default_pending_limit);
    packet_interceptor_t(const packet_interceptor_t&) = delete;
    packet_interceptor_t& operator=(const packet_interceptor_t&) = delete;
    // Pending packets get no verdict; closing the socket unbinds the queue.
    ~packet_interceptor_t();

    void start(delegate_t* delegate);

    // Verdicts; an expired entry is ignored.
    void accept(const std::weak_ptr<packet_entry_t>& entry);
    void drop(const std::weak_ptr<packet_entry_t>& entry);
    // The kernel runs the packet through the hook again, with `mark` (host order).
    void repeat_with_mark(const std::weak_ptr<packet_entry_t>& entry, std::uint32_t mark);

    std::uint16_t queue() const noexcept { return queue_; }
    std::size_t pending() const noexcept { return pending_.size(); }

    // The link's delegate.
    void on_multipart_begin() override {}
    void on_multipart_end() override {}
    void on_message(std::uint16_t type, const std::uint8_t* payload, std::size_t size) override;
    // Throws boost::system::system_error "NFQUEUE: netlink".
    void on_error(boost::system::error_code error) override;
    // A verdict the kernel refused (its packet is gone) costs nothing else.
    void on_error_reply(const nlmsghdr& request, boost::system::error_code error) override;

private:
    void send_verdict(std::uint32_t packet_id, std::uint32_t verdict, const std::uint32_t* mark = nullptr,
                      bool at_once = false);
    void send_drop_verdict(std::uint32_t packet_id);
    void give_verdict(const std::weak_ptr<packet_entry_t>& entry, std::uint32_t verdict,
                      const std::uint32_t* mark = nullptr);
    // Removes the entry and returns its packet id, or nothing for an expired one.
    std::optional<std::uint32_t> take(const std::weak_ptr<packet_entry_t>& entry);
    void deliver(const std::uint8_t* payload, std::size_t size);

    std::unique_ptr<netlink::async::link_t> link_;
    std::uint16_t queue_;
    std::size_t pending_limit_;
    delegate_t* delegate_ = nullptr;
    pending_list_t pending_;
};

// The NFQNL_MSG_VERDICT payload for `packet_id` (network order) with the
// verdict, and NFQA_MARK when a mark (host order) is given.
struct verdict_bytes_t {
    std::array<std::uint8_t, 24> bytes;
    std::size_t size;
};
verdict_bytes_t make_verdict(std::uint16_t queue, std::uint32_t packet_id, std::uint32_t verdict,
                             const std::uint32_t* mark = nullptr);
std::vector<std::uint8_t> verdict_payload(std::uint16_t queue, std::uint32_t packet_id, std::uint32_t verdict,
                                          const std::uint32_t* mark = nullptr);

} // namespace fw::linux::nfqueue
