#pragma once
// A netlink link opened with its owner and kept for the owner's lifetime, for
// questions the kernel must answer when no descriptor is left: at the
// open-file limit no socket could be opened to ask them.
#include <memory>

namespace fw::linux::netlink {

class sync_link_t;

class kept_link_t {
public:
    // Opens a socket of the netlink `protocol`; throws boost::system::system_error.
    explicit kept_link_t(int protocol);
    ~kept_link_t();
    kept_link_t(const kept_link_t&) = delete;
    kept_link_t& operator=(const kept_link_t&) = delete;

    sync_link_t& operator*() const noexcept { return *link_; }
    sync_link_t* operator->() const noexcept { return link_.get(); }

    // After a failed exchange, whose leftovers (the rest of a dump among
    // them) would be taken for the answers to the next request: a new
    // socket, or the old one read empty when none can be opened.
    void recover() noexcept;

private:
    int protocol_;
    std::unique_ptr<sync_link_t> link_;
};

} // namespace fw::linux::netlink
