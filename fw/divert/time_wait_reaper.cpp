#include "fw/divert/time_wait_reaper.hpp"

#include <algorithm>
#include <cerrno>
#include <exception>
#include <set>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <boost/system/system_error.hpp>

#include "common/error.hpp"
#include "common/log.hpp"
#include "common/rate_limit.hpp"
#include "linux/netlink/reply.hpp"
#include "linux/netlink/sock_diag.hpp"
#include "linux/netlink/sync_link.hpp"

namespace fw::service {

namespace {

namespace sock_diag = linux::sock_diag;

// Every state an accepted socket passes through while the kernel still holds
// it by its addresses; a dump without a socket means it is gone.
constexpr std::uint32_t open_states = (1u << TCP_ESTABLISHED) | (1u << TCP_FIN_WAIT1) | (1u << TCP_FIN_WAIT2)
                                      | (1u << TCP_TIME_WAIT) | (1u << TCP_CLOSE_WAIT) | (1u << TCP_LAST_ACK)
                                      | (1u << TCP_CLOSING);

constexpr std::uint32_t ended_states = (1u << TCP_FIN_WAIT2) | (1u << TCP_TIME_WAIT);

// TIME_WAIT, or FIN_WAIT2 with no process holding it (inode 0): only the
// client could end it, and it may never.
bool holds_its_port(const sock_diag::response_message_t& socket)
{
    return socket.state() == TCP_TIME_WAIT || (socket.state() == TCP_FIN_WAIT2 && socket.inode() == 0);
}

// A socket that is gone (ENOENT), or whose addresses another socket has
// taken since the dump (ESTALE), is no longer ours to end.
bool gone(const boost::system::system_error& e)
{
    return kv::is_errno(e.code(), ENOENT) || kv::is_errno(e.code(), ESTALE);
}

} // namespace

time_wait_reaper_t::time_wait_reaper_t(boost::asio::io_context& io, std::chrono::milliseconds period,
                                       std::chrono::milliseconds record_linger)
    : link_(NETLINK_SOCK_DIAG), timer_(io), linger_timer_(io), period_(period), record_linger_(record_linger)
{
}

time_wait_reaper_t::~time_wait_reaper_t()
{
    disarm();
    timer_.cancel();
    linger_timer_.cancel();
}

void time_wait_reaper_t::own(std::uint64_t cookie, std::uint32_t mark)
{
    if (recording_)
        owned_.emplace(cookie, mark);
}

void time_wait_reaper_t::reap() noexcept
{
    if (owned_.empty())
        return;
    // Most passes ask only for the states that are ended; the sockets that
    // went by other ways are forgotten by a dump of every state, once the set
    // has doubled, and every prune_passes passes, so that the set drains once
    // nothing new is recorded.
    const bool full = ++passes_since_prune_ >= prune_passes || owned_.size() >= prune_at_;
    try {
        std::set<std::uint32_t> marks;
        for (const auto& [cookie, mark] : owned_)
            marks.insert(mark);
        auto& link = *link_;
        std::unordered_set<std::uint64_t> open;
        std::vector<std::pair<std::uint64_t, sock_diag::exact_request_message_t>> ending;
        for (const std::uint32_t mark : marks) {
            // The kernel passes only the sockets of that mark: the cookie decides among them.
            link.send(SOCK_DIAG_BY_FAMILY,
                      sock_diag::request_message_t::marked(AF_INET, full ? open_states : ended_states, mark,
                                                           0xFFFFFFFF)
                          .serialize(),
                      NLM_F_DUMP);
            for (const auto& reply : link.receive_all()) {
                if (reply.type != SOCK_DIAG_BY_FAMILY)
                    throw linux::netlink::unexpected_reply_t();
                const sock_diag::response_message_t socket(reply.payload.data.get(), reply.payload.size);
                ++dumped_;
                const auto own = owned_.find(socket.cookie());
                if (socket.family() != AF_INET || own == owned_.end() || own->second != mark)
                    continue;
                if (full)
                    open.insert(own->first);
                if (holds_its_port(socket))
                    ending.emplace_back(own->first, sock_diag::exact_request_message_t(socket));
            }
        }
        if (full) {
            std::erase_if(owned_, [&](const auto& own) { return !open.contains(own.first); });
            prune_at_ = std::max(min_prune_at, 2 * owned_.size());
            passes_since_prune_ = 0;
        }
        for (const auto& [cookie, request] : ending) {
            const auto* header = reinterpret_cast<const std::uint8_t*>(&request.header());
            link.send(SOCK_DESTROY, std::vector<std::uint8_t>(header, header + sizeof request.header()), NLM_F_ACK);
            try {
                link.wait_ack();
            } catch (const boost::system::system_error& e) {
                if (!gone(e))
                    throw;
            }
            owned_.erase(cookie);
        }
    } catch (const std::exception& e) {
        link_.recover();
        cf_log_rate_limited(log_warning, [&] {
            return std::string("Cannot end the daemon's TIME_WAIT sockets: ") + e.what();
        });
    }
}

void time_wait_reaper_t::record(bool on)
{
    if (on) {
        if (lingering_) {
            lingering_ = false;
            linger_timer_.cancel();
        }
        recording_ = true;
    } else if (recording_ && !lingering_) {
        // Turned off, nothing delays the forwarded clients any longer.
        reap();
        if (record_linger_.count() > 0) {
            lingering_ = true;
            linger_timer_.expires_after(record_linger_);
            linger_timer_.async_wait(wrap([this](const boost::system::error_code& ec) {
                // A wait that expired just before it was cancelled still comes with success.
                if (ec || !lingering_ || linger_timer_.expiry() > std::chrono::steady_clock::now())
                    return;
                lingering_ = false;
                recording_ = false;
            }));
        } else {
            recording_ = false;
        }
    }
    if (!scheduled_ && (recording_ || !owned_.empty()))
        schedule();
}

void time_wait_reaper_t::schedule()
{
    scheduled_ = true;
    timer_.expires_after(period_);
    timer_.async_wait(wrap([this](const boost::system::error_code& ec) {
        scheduled_ = false;
        if (ec)
            return;
        reap();
        if (recording_ || !owned_.empty())
            schedule();
    }));
}

} // namespace fw::service
