#include "fw/service/local_address_table.hpp"

#include "linux/netlink/address_message.hpp"

#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <limits>

namespace fw::service {

void local_address_table_t::apply(std::uint16_t type, const std::uint8_t* payload, std::size_t size)
{
    if (type != RTM_NEWADDR && type != RTM_DELADDR)
        return;
    const auto message = fw::linux::rtnetlink::address::message_t::parse(payload, size);
    if (message.family() != AF_INET || message.prefix_length() > 32)
        return;
    const std::optional<std::uint32_t> address = message.local_v4();
    if (!address)
        return;
    const entry_t entry{*address, message.index(), message.prefix_length()};
    const bool loopback = entry.index == loopback_index && entry.prefix_length < 32;
    if (type == RTM_NEWADDR) {
        entries_.insert(entry);
        if (loopback)
            loopback_nets_.insert(entry);
    } else {
        entries_.erase(entry);
        loopback_nets_.erase(entry);
    }
}

void local_address_table_t::clear() noexcept
{
    entries_.clear();
    loopback_nets_.clear();
}

bool local_address_table_t::contains(const boost::asio::ip::address_v4& address) const noexcept
{
    const std::uint32_t value = address.to_uint();
    const auto at = entries_.lower_bound(entry_t{value, 0, 0});
    if (at != entries_.end() && at->address == value)
        return true;
    for (const entry_t& net : loopback_nets_) {
        const std::uint32_t mask =
            net.prefix_length == 0 ? 0 : std::numeric_limits<std::uint32_t>::max() << (32 - net.prefix_length);
        if ((value & mask) == (net.address & mask))
            return true;
    }
    return false;
}

} // namespace fw::service
