#pragma once
// The IPv4 addresses of this host's interfaces, as the kernel's address
// messages tell them, and the one question asked of them: can a socket of
// this host have a given address as its own without IP_TRANSPARENT or
// IP_FREEBIND? For a TCP client that is what the kernel's output route lets
// through: an address of an interface (whatever the link's state), or any
// address of a net given to the loopback device, which the kernel routes as
// local as a whole (127.0.0.0/8). Broadcast, multicast and 0.0.0.0, which a
// bind would also take, are never the source of a TCP connection.
#include <boost/asio/ip/address_v4.hpp>

#include <compare>
#include <cstddef>
#include <cstdint>
#include <set>

namespace fw::service {

class local_address_table_t {
public:
    // The loopback device has this index in every network namespace.
    static constexpr std::uint32_t loopback_index = 1;

    // Applies the payload of one RTM_NEWADDR or RTM_DELADDR message (a dump
    // answers with RTM_NEWADDR); other types and families change nothing.
    // Throws the message's parse errors, the table unchanged.
    void apply(std::uint16_t type, const std::uint8_t* payload, std::size_t size);
    void clear() noexcept;

    bool contains(const boost::asio::ip::address_v4& address) const noexcept;

private:
    // An address is known by its interface and prefix: the same address may
    // be on two interfaces and leave one of them.
    struct entry_t {
        std::uint32_t address = 0;
        std::uint32_t index = 0;
        std::uint8_t prefix_length = 0;
        auto operator<=>(const entry_t&) const = default;
    };

    std::set<entry_t> entries_;
    std::set<entry_t> loopback_nets_;
};

} // namespace fw::service
