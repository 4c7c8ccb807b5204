#include "fw/divert/server_socket_pool.hpp"

#include <algorithm>
#include <string>
#include <utility>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/multi_index/composite_key.hpp>
#include <boost/multi_index/member.hpp>
#include <boost/multi_index/ordered_index.hpp>
#include <boost/multi_index_container.hpp>

#include "common/endpoint_text.hpp"
#include "common/log.hpp"
#include "common/rate_limit.hpp"
#include "common/reset_connection.hpp"
#include "fw/divert/pending_handshake.hpp"
#include "rules.pb.h"

namespace fw::service {

namespace {

using boost::asio::ip::tcp;
using std::chrono::steady_clock;

const std::string prefix = "Server socket pool: ";

// The part of an entry that leaves with it; the key fields stay constant.
// A server socket the pool drops unclaimed is reset: the server frees the
// connection at once instead of waiting in CLOSE_WAIT for its application,
// and the daemon's side keeps no TIME_WAIT, which under a flood would use up
// the local ports of its connects to that server.
struct owned_t {
    owned_t(util::scoped_fd_t descriptor, const kv::RuleSet& rules) : descriptor(std::move(descriptor)), rules(rules) {}
    owned_t(owned_t&&) = default;
    ~owned_t()
    {
        if (descriptor)
            util::reset_connection(std::move(descriptor));
    }

    util::scoped_fd_t descriptor;
    kv::RuleSet rules;
};

struct entry_t {
    tcp::endpoint client;
    tcp::endpoint server;
    steady_clock::time_point created;
    mutable owned_t owned;
};

struct by_age {};
struct by_pair {};

namespace mi = boost::multi_index;

using container_t = mi::multi_index_container<
    entry_t,
    mi::indexed_by<
        mi::ordered_non_unique<mi::tag<by_age>, mi::member<entry_t, steady_clock::time_point, &entry_t::created>>,
        mi::ordered_unique<mi::tag<by_pair>,
                           mi::composite_key<entry_t, mi::member<entry_t, tcp::endpoint, &entry_t::client>,
                                             mi::member<entry_t, tcp::endpoint, &entry_t::server>>>>>;

// Removes the entries that are `age` old or older, oldest first; their number.
std::size_t erase_older(container_t& container, std::chrono::nanoseconds age)
{
    auto& by_created = container.get<by_age>();
    const auto now = steady_clock::now();
    auto young = by_created.begin();
    std::size_t erased = 0;
    for (; young != by_created.end() && now - young->created >= age; ++young)
        ++erased;
    by_created.erase(by_created.begin(), young);
    return erased;
}

} // namespace

struct server_socket_pool_t::entries_t {
    explicit entries_t(boost::asio::io_context& io) : timer(io) {}

    container_t container;
    boost::asio::steady_timer timer;
    bool timer_pending = false;
};

server_socket_pool_t::server_socket_pool_t(boost::asio::io_context& io, delegate_t& delegate, unsigned limit,
                                           std::chrono::nanoseconds expiry, std::chrono::nanoseconds claim_time,
                                           std::chrono::nanoseconds abandon_time,
                                           handshake_probe_t handshake_pending)
    : delegate_(delegate), entries_(std::make_unique<entries_t>(io)), limit_(limit), expiry_(expiry),
      claim_time_(claim_time), abandon_time_(abandon_time),
      handshake_pending_(std::move(handshake_pending))
{
    if (!handshake_pending_) {
        auto probe = std::make_shared<listener_handshake_probe_t>();
        handshake_pending_ = [probe](const tcp::endpoint& client, const tcp::endpoint& server) {
            return probe->pending(client, server);
        };
    }
}

// The timer's destruction cancels its wait, whose completion the disarm has
// made a no-op.
server_socket_pool_t::~server_socket_pool_t() { disarm(); }

bool server_socket_pool_t::has_server_socket(const tcp::endpoint& client, const tcp::endpoint& server)
{
    auto& pairs = entries_->container.get<by_pair>();
    const auto it = pairs.find(std::make_tuple(client, server));
    if (it == pairs.end())
        return false;
    if (steady_clock::now() - it->created < claim_time_)
        return true;
    cf_log_lazy(log_debug, [&] {
        return prefix + "closing unclaimed server socket " + util::endpoint_pair_text(client, server);
    });
    pairs.erase(it);
    return false;
}

void server_socket_pool_t::erase_expired()
{
    const std::size_t expired = erase_older(entries_->container, expiry_);
    if (expired > 0)
        cf_log_lazy(log_info, [&] {
            return prefix + "erasing " + std::to_string(expired) + " expired server sockets";
        });
}

void server_socket_pool_t::close_abandoned()
{
    auto& by_created = entries_->container.get<by_age>();
    const auto now = steady_clock::now();
    std::size_t abandoned = 0;
    for (auto it = by_created.begin(); it != by_created.end() && now - it->created >= abandon_time_;) {
        bool pending = false;
        try {
            pending = handshake_pending_(it->client, it->server);
        } catch (const std::exception& e) {
            // Unknown: the socket waits for the next wake to ask again. The
            // expiry and the limit still bound what waits, and a client that
            // is on its way must not lose its server socket to a question
            // that could not be asked.
            pending = true;
            cf_log_rate_limited(log_warning, [&] {
                return prefix + "cannot ask the listener for the handshake of "
                    + util::endpoint_pair_text(it->client, it->server) + ": " + e.what();
            });
        }
        if (pending) {
            ++it;
            continue;
        }
        it = by_created.erase(it);
        ++abandoned;
    }
    if (abandoned > 0)
        cf_log_lazy(log_info, [&] {
            return prefix + "closing " + std::to_string(abandoned) + " abandoned server sockets";
        });
}

void server_socket_pool_t::arm_timer(steady_clock::time_point not_before)
{
    const auto& by_created = entries_->container.get<by_age>();
    if (entries_->timer_pending || by_created.empty())
        return;
    const auto lifetime = std::chrono::duration_cast<steady_clock::duration>(std::min(expiry_, abandon_time_));
    entries_->timer.expires_at(std::max(by_created.begin()->created + lifetime, not_before));
    entries_->timer_pending = true;
    entries_->timer.async_wait(wrap([this, lifetime](const boost::system::error_code& ec) {
        entries_->timer_pending = false;
        if (ec)
            return;
        erase_expired();
        close_abandoned();
        // Under a flood the next wake gathers the sockets of a share of the
        // lifetime instead of waking once for each.
        arm_timer(steady_clock::now() + lifetime / 8);
    }));
}

void server_socket_pool_t::new_server_socket(const tcp::endpoint& client, const tcp::endpoint& server,
                                             const kv::RuleSet& rules, util::scoped_fd_t&& descriptor)
{
    cf_log_lazy(log_debug, [&] { return prefix + "new server socket " + util::endpoint_pair_text(client, server); });

    erase_expired();

    // A second socket for a pair already waiting is closed with the discarded entry.
    entries_->container.insert(entry_t{client, server, steady_clock::now(), {std::move(descriptor), rules}});

    auto& by_created = entries_->container.get<by_age>();
    if (!by_created.empty() && by_created.size() >= limit_) {
        cf_log_lazy(log_info, [&] {
            return prefix + "exceeded the limit of " + std::to_string(limit_) +
                " open files; pushing out the oldest server socket";
        });
        by_created.erase(by_created.begin());
    }
    arm_timer();
}

void server_socket_pool_t::new_client_socket(const tcp::endpoint& peer, const tcp::endpoint& local,
                                             util::scoped_fd_t&& descriptor)
{
    cf_log_lazy(log_debug, [&] { return prefix + "new client socket " + util::endpoint_pair_text(peer, local); });
    auto& pairs = entries_->container.get<by_pair>();
    const auto it = pairs.find(std::make_tuple(peer, local));
    if (it == pairs.end()) {
        cf_log_lazy(log_debug, [&] {
            return prefix + "no server socket is open for " + util::endpoint_pair_text(peer, local)
                + "; closing client socket";
        });
        util::reset_connection(std::move(descriptor));
        return;
    }
    util::scoped_fd_t server = std::move(it->owned.descriptor);
    kv::RuleSet rules;
    rules.Swap(&it->owned.rules);
    pairs.erase(it);
    delegate_.new_socket_pair({local, std::move(server)}, {peer, std::move(descriptor)}, rules);
}

} // namespace fw::service
