#pragma once
// The local addresses of this host (see local_address_table_t), kept current
// from the kernel's address notifications on one NETLINK_ROUTE socket that
// lives as long as this object: a check costs no descriptor and no system
// call, and a refresh one read of what changed meanwhile. Used by one thread
// at a time.
#include "common/scoped_fd.hpp"
#include "fw/service/local_address_table.hpp"
#include "linux/netlink/byte_array.hpp"

#include <boost/asio/ip/address_v4.hpp>

#include <cstddef>
#include <cstdint>
#include <optional>

namespace fw::service {

class local_addresses_t {
public:
    // Readings of every address in a row that may be spoiled by changes
    // lost meanwhile, before a refresh gives up until the next one.
    static constexpr int reading_attempts = 4;
    // Datagrams of changes taken in by one refresh: a host whose addresses
    // change without pause cannot hold its caller.
    static constexpr int refresh_datagrams = 64;

    // Opens the socket, joins the IPv4 address group and reads every address.
    // Throws boost::system::system_error when the socket cannot be opened or
    // bound; a failed reading is retried by the next refresh.
    local_addresses_t();
    local_addresses_t(const local_addresses_t&) = delete;
    local_addresses_t& operator=(const local_addresses_t&) = delete;

    // Takes in the changes heard since the last refresh; when some were lost
    // (the socket overflowed) or the addresses are not known, reads them all
    // again. Never throws: a failure is logged and retried next time.
    void refresh() noexcept;
    // As of the last refresh. True while the addresses are not known, so
    // that a caller never skips work for an address that may be local.
    bool contains(const boost::asio::ip::address_v4& address) const noexcept;
    bool known() const noexcept { return known_; }

private:
    void read_all();
    void send_dump_request();
    // One datagram's size; none when nothing waits and `wait` is false.
    // Throws boost::system::system_error, ENOBUFS when changes were lost.
    std::optional<std::size_t> receive(bool wait);
    // Applies a datagram's messages; true when it ends the current dump.
    bool dispatch(std::size_t size);

    fw::util::scoped_fd_t fd_;
    fw::linux::netlink::byte_array_t buffer_;
    local_address_table_t table_;
    std::uint32_t port_id_ = 0;
    std::uint32_t sequence_ = 0;
    bool known_ = false;
    bool interrupted_ = false; // the kernel flagged the current dump as inconsistent
};

} // namespace fw::service
