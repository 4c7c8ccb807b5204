#include "linux/netlink/kept_link.hpp"

#include <exception>

#include "linux/netlink/socket.hpp"
#include "linux/netlink/sync_link.hpp"

namespace fw::linux::netlink {

namespace {

std::unique_ptr<sync_link_t> open_link(int protocol)
{
    return std::make_unique<sync_link_t>(open_netlink_socket(protocol));
}

} // namespace

kept_link_t::kept_link_t(int protocol) : protocol_(protocol), link_(open_link(protocol)) {}

kept_link_t::~kept_link_t() = default;

void kept_link_t::recover() noexcept
{
    try {
        link_ = open_link(protocol_);
    } catch (const std::exception&) {
        // At the open-file limit the old socket serves on.
        link_->discard_unread();
    }
}

} // namespace fw::linux::netlink
