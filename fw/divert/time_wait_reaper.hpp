#pragma once
// Ends the daemon's own TIME_WAIT sockets. The accepted client socket of a
// checked connection keeps the server's address as its local one; while it
// lingers in TIME_WAIT, the kernel attaches a forwarded client's new SYN from
// the same port to it before routing and then drops it instead of forwarding
// it. An orphaned FIN_WAIT2 socket (closed by its holder, never by the client)
// holds the port the same way. Only sockets the acceptor handed in are ended:
// they are known by their cookie, which a TIME_WAIT socket keeps; the mark each
// carried when accepted only narrows the kernel's dump.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <unordered_map>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include "common/callback_wrapper.hpp"
#include "linux/netlink/kept_link.hpp"


namespace fw::service {

class time_wait_reaper_t : private kv::util::callback_wrapper_t {
public:
    // Well below the client's first SYN retry (1 s): a reused port costs at
    // most the one SYN that met the socket; four filtered dumps a second cost
    // next to nothing.
    static constexpr std::chrono::milliseconds default_period{250};
    // Sockets that went by other ways than TIME_WAIT (a reset, a mark set by
    // their holder) are looked for once the set has doubled, from this size.
    static constexpr std::size_t min_prune_at = 64;
    // They are also looked for every this many passes (ten seconds at the
    // default period), so that the set drains once nothing new is recorded,
    // while a set of long-lived sockets costs the other passes only the ended ones.
    static constexpr unsigned prune_passes = 40;

    // record_linger: how long recording goes on after it is turned off.
    // Opens the reaper's sock_diag socket, kept for its lifetime: sockets
    // linger most when accepting has run into the open-file limit, and then
    // none could be opened for a pass. Throws boost::system::system_error
    // when it cannot be opened.
    explicit time_wait_reaper_t(boost::asio::io_context& io, std::chrono::milliseconds period = default_period,
                                std::chrono::milliseconds record_linger = {});
    ~time_wait_reaper_t();

    // Takes an accepted socket, by its cookie and the mark it carries, while
    // recording is on; ignored otherwise.
    void own(std::uint64_t cookie, std::uint32_t mark);
    // Ends, now, every own socket in TIME_WAIT or orphaned in FIN_WAIT2, and
    // forgets those that are gone. A failure is a rate-limited Warning; the
    // next pass goes over a new socket, or over the old one, read empty, when
    // none can be opened.
    void reap() noexcept;

    // Recording on: own sockets are taken and reaped every period. Off: reaped
    // at once, still taken for the record linger, and reaped every period
    // while any of them is still open. On again within the linger: it goes on.
    void record(bool on);
    bool recording() const noexcept { return recording_; }
    std::size_t owned() const noexcept { return owned_.size(); }
    // Sockets the kernel has reported to the passes so far: what they cost.
    std::size_t dumped() const noexcept { return dumped_; }

private:
    void schedule();

    linux::netlink::kept_link_t link_;
    boost::asio::steady_timer timer_;
    boost::asio::steady_timer linger_timer_;
    std::chrono::milliseconds period_;
    std::chrono::milliseconds record_linger_;
    bool recording_ = false;
    bool lingering_ = false;
    bool scheduled_ = false;
    // cookie -> mark at accept
    std::unordered_map<std::uint64_t, std::uint32_t> owned_;
    // The size at which the sockets gone by other ways are looked for.
    std::size_t prune_at_ = min_prune_at;
    unsigned passes_since_prune_ = 0;
    std::size_t dumped_ = 0;
};

} // namespace fw::service
