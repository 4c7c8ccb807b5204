#include "fw/divert/time_wait_reaper.hpp"

#include <cerrno>
#include <exception>
#include <string>
#include <vector>

#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <boost/system/system_error.hpp>

#include "common/log.hpp"
#include "common/rate_limit.hpp"
#include "linux/netlink/reply.hpp"
#include "linux/netlink/sock_diag.hpp"
#include "linux/netlink/socket.hpp"
#include "linux/netlink/sync_link.hpp"

namespace fw::service {

namespace {

namespace sock_diag = linux::sock_diag;

constexpr std::uint8_t time_wait = 6; // TCP_TIME_WAIT

// A socket that is gone (ENOENT), or whose addresses another socket has
// taken since the dump (ESTALE), is no longer ours to end.
bool gone(const boost::system::system_error& e)
{
    const int code = e.code().value();
    return e.code().category() == boost::system::system_category() && (code == ENOENT || code == ESTALE);
}

void reap_marked(std::uint32_t mark)
{
    linux::netlink::sync_link_t link(linux::netlink::open_netlink_socket(NETLINK_SOCK_DIAG));
    link.send(SOCK_DIAG_BY_FAMILY,
              sock_diag::request_message_t::marked(AF_INET, 1u << time_wait, mark, 0xFFFFFFFF).serialize(),
              NLM_F_DUMP);
    std::vector<sock_diag::exact_request_message_t> found;
    for (const auto& reply : link.receive_all()) {
        if (reply.type != SOCK_DIAG_BY_FAMILY)
            throw linux::netlink::unexpected_reply_t();
        const sock_diag::response_message_t socket(reply.payload.data.get(), reply.payload.size);
        // Only what was asked for is ended.
        if (socket.family() == AF_INET && socket.state() == time_wait)
            found.emplace_back(socket);
    }
    for (const auto& request : found) {
        const auto* header = reinterpret_cast<const std::uint8_t*>(&request.header());
        link.send(SOCK_DESTROY, std::vector<std::uint8_t>(header, header + sizeof request.header()), NLM_F_ACK);
        try {
            link.wait_ack();
        } catch (const boost::system::system_error& e) {
            if (!gone(e))
                throw;
        }
    }
}

} // namespace

time_wait_reaper_t::time_wait_reaper_t(boost::asio::io_context& io, std::chrono::milliseconds period)
    : timer_(io), period_(period)
{
}

time_wait_reaper_t::~time_wait_reaper_t()
{
    stop();
}

void time_wait_reaper_t::reap(std::uint32_t mark) noexcept
{
    if (mark == 0)
        return;
    try {
        reap_marked(mark);
    } catch (const std::exception& e) {
        cf_log_rate_limited(log_warning, [&] {
            return std::string("Cannot end the daemon's TIME_WAIT sockets: ") + e.what();
        });
    }
}

void time_wait_reaper_t::start(std::uint32_t mark)
{
    mark_ = mark;
    if (running_)
        return;
    running_ = true;
    schedule();
}

void time_wait_reaper_t::stop() noexcept
{
    running_ = false;
    disarm();
    timer_.cancel();
}

void time_wait_reaper_t::schedule()
{
    timer_.expires_after(period_);
    timer_.async_wait(wrap([this](const boost::system::error_code& ec) {
        if (ec)
            return;
        reap(mark_);
        schedule();
    }));
}

} // namespace fw::service
