#pragma once
// Ends the daemon's own TIME_WAIT sockets. The accepted client socket of a
// checked connection keeps the server's address as its local one; while it
// lingers in TIME_WAIT, the kernel attaches a forwarded client's new SYN from
// the same port to it before routing and then drops it instead of forwarding
// it. The sockets are found by the mark they kept from the listener.
#include <chrono>
#include <cstdint>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include "common/callback_wrapper.hpp"

namespace fw::service {

class time_wait_reaper_t : private kv::util::callback_wrapper_t {
public:
    // Well below the client's first SYN retry (1 s): a reused port costs at
    // most the one SYN that met the socket; four filtered dumps a second cost
    // next to nothing.
    static constexpr std::chrono::milliseconds default_period{250};

    explicit time_wait_reaper_t(boost::asio::io_context& io, std::chrono::milliseconds period = default_period);
    ~time_wait_reaper_t();

    // Ends, now, every TCP socket in TIME_WAIT whose mark is exactly `mark`.
    // Mark 0 ends nothing: it would be every unmarked socket of the host.
    // A failure is a rate-limited Warning.
    void reap(std::uint32_t mark) noexcept;

    // Reaps `mark` every period from now on (taking the place of an earlier mark).
    void start(std::uint32_t mark);
    void stop() noexcept;
    bool running() const noexcept { return running_; }

private:
    void schedule();

    boost::asio::steady_timer timer_;
    std::chrono::milliseconds period_;
    std::uint32_t mark_ = 0;
    bool running_ = false;
};

} // namespace fw::service
