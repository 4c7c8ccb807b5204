#include "fw/service/process_finder.hpp"

#include "common/errno_error.hpp"
#include "common/error.hpp"
#include "common/file_reader.hpp"
#include "common/log.hpp"
#include "linux/netlink/reply.hpp"
#include "linux/netlink/sock_diag.hpp"
#include "linux/netlink/socket.hpp"
#include "linux/netlink/sync_link.hpp"
#include "linux/proc/proc_readers.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/system/system_error.hpp>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <span>

#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <sys/socket.h>

namespace fw::service {

namespace {

// ESTABLISHED and SYN_SENT: the states of a connection its client still owns.
constexpr std::uint32_t connection_states = (1u << 1) | (1u << 2);
constexpr std::uint16_t dump_flags = NLM_F_ROOT | NLM_F_MATCH; // 0x300

using socket_id_t = process_finder_t::socket_id_t;
using endpoint_pair_t = process_finder_t::endpoint_pair_t;

std::unique_ptr<fw::linux::netlink::sync_link_t> open_sock_diag_link()
{
    fw::util::scoped_fd_t fd;
    try {
        fd = fw::linux::netlink::open_netlink_socket(NETLINK_SOCK_DIAG);
    } catch (const boost::system::system_error& e) {
        if (e.code() == boost::system::errc::protocol_not_supported)
            throw process_finder_t::netlink_inode_getter_t::not_supported_t(
                "Kernel does not support NETLINK_SOCK_DIAG");
        throw;
    }
    return std::make_unique<fw::linux::netlink::sync_link_t>(std::move(fd));
}

// One dump over the link: the sockets of the request's pairs.
std::list<fw::linux::netlink::netlink_reply_t> dump(fw::linux::netlink::sync_link_t& link,
                                                    const fw::linux::sock_diag::request_message_t& request)
{
    link.send(SOCK_DIAG_BY_FAMILY, request.serialize(), dump_flags);
    return link.receive_all();
}

std::unique_ptr<process_finder_t::inode_getter_t> make_inode_getter()
{
    try {
        return std::make_unique<process_finder_t::netlink_inode_getter_t>();
    } catch (const process_finder_t::netlink_inode_getter_t::not_supported_t& e) {
        cf_log_lazy(log_debug, [&] {
            return std::string("Cannot create NETLINK inode getter: ") + e.what() + "; /proc will be parsed instead";
        });
        return std::make_unique<process_finder_t::proc_inode_getter_t>();
    }
}

void log_skipped(const std::exception& e)
{
    cf_log_lazy(log_info, [&] { return std::string("Process finder: ") + e.what(); });
}

// Those of `candidates` whose client address is on this host (the pairs are
// sorted, so equal addresses are neighbours and checked once). A client that
// is not IPv4 stays in, for the request to refuse it as it always did.
std::vector<std::size_t> local_clients(const std::vector<endpoint_pair_t>& pairs,
                                       const std::vector<std::size_t>& candidates,
                                       const process_finder_t::is_local_t& is_local)
{
    std::vector<std::size_t> local;
    std::optional<std::pair<boost::asio::ip::address, bool>> last;
    for (std::size_t i : candidates) {
        const boost::asio::ip::address& address = pairs[i].first.address();
        if (!last || last->first != address)
            last.emplace(address, !address.is_v4() || is_local(address.to_v4()));
        if (last->second)
            local.push_back(i);
    }
    return local;
}

std::vector<std::size_t> all_of(const std::vector<endpoint_pair_t>& pairs)
{
    std::vector<std::size_t> all(pairs.size());
    for (std::size_t i = 0; i < all.size(); ++i)
        all[i] = i;
    return all;
}

using waiting_t = std::multimap<unsigned, std::function<void(std::exception_ptr, int)>>;

} // namespace

// ---------------------------------------------------------------------------
// Inode getters

process_finder_t::netlink_inode_getter_t::netlink_inode_getter_t() : link_(open_sock_diag_link())
{
    // A kernel without inet_diag for TCP refuses the dump itself.
    try {
        const endpoint_t any(boost::asio::ip::address_v4::any(), 0);
        dump(*link_, fw::linux::sock_diag::request_message_t(AF_INET, {{any, any}}, connection_states));
    } catch (const std::runtime_error&) {
        throw not_supported_t("Kernel does not support SOCK_DIAG_BY_FAMILY");
    }
}

process_finder_t::netlink_inode_getter_t::~netlink_inode_getter_t() = default;

const std::string& process_finder_t::netlink_inode_getter_t::name() const
{
    static const std::string name = "netlink socket";
    return name;
}

std::vector<socket_id_t> process_finder_t::netlink_inode_getter_t::get_inodes(const std::vector<endpoint_pair_t>& pairs,
                                                                              const is_local_t& is_local)
{
    std::vector<socket_id_t> sockets(pairs.size());
    std::vector<std::size_t> asked = all_of(pairs);
    if (asked.empty())
        return sockets;
    // An exchange abandoned half-way leaves its rest in the socket, where the
    // next one would meet it; such a link is replaced.
    if (!link_)
        link_ = open_sock_diag_link();
    try {
        ask_exact(pairs, asked, sockets);
        // The exact lookup cannot see a socket bound to a device; the dump,
        // which walks every socket, can. Taken only for local clients still
        // missing.
        std::erase_if(asked, [&](std::size_t i) { return sockets[i].inode != 0; });
        if (!asked.empty())
            asked = local_clients(pairs, asked, is_local);
        if (!asked.empty())
            ask_dump(pairs, asked, sockets);
    } catch (...) {
        link_.reset();
        port_id_ = 0;
        throw;
    }
    return sockets;
}

namespace {

// What a reply says of the socket of `pair`; inode 0 when it is not one a
// client owns.
socket_id_t socket_of(const fw::linux::sock_diag::response_message_t& response, const endpoint_pair_t& pair)
{
    if (!((1u << response.state()) & connection_states) || response.source() != pair.first
        || response.destination() != pair.second)
        return {};
    return {response.inode(), response.uid()};
}

} // namespace

void process_finder_t::netlink_inode_getter_t::ask_exact(const std::vector<endpoint_pair_t>& pairs,
                                                         const std::vector<std::size_t>& asked,
                                                         std::vector<socket_id_t>& sockets)
{
    using fw::linux::sock_diag::exact_request_message_t;
    constexpr std::size_t message_size = NLMSG_HDRLEN + sizeof(inet_diag_req_v2);
    static_assert(message_size == NLMSG_ALIGN(message_size));
    const std::uint32_t first = sequence_ + 1;
    sequence_ += static_cast<std::uint32_t>(asked.size());

    std::vector<std::uint8_t> datagram(message_size * asked.size());
    for (std::size_t k = 0; k < asked.size(); ++k) {
        nlmsghdr header{};
        header.nlmsg_len = message_size;
        header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
        header.nlmsg_flags = NLM_F_REQUEST;
        header.nlmsg_seq = first + static_cast<std::uint32_t>(k);
        const exact_request_message_t request(AF_INET, pairs[asked[k]]);
        std::memcpy(datagram.data() + k * message_size, &header, sizeof header);
        std::memcpy(datagram.data() + k * message_size + NLMSG_HDRLEN, &request.header(), sizeof(inet_diag_req_v2));
    }
    link_->send_raw(datagram.data(), datagram.size());
    if (port_id_ == 0) {
        sockaddr_nl self{};
        socklen_t len = sizeof self;
        if (::getsockname(link_->fd(), reinterpret_cast<sockaddr*>(&self), &len) != 0)
            fw::util::throw_errno("NETLINK getsockname");
        port_id_ = self.nl_pid;
    }

    // Each request gets one answer: its socket, or an error (ENOENT: none).
    for (std::size_t answered = 0; answered < asked.size();) {
        const std::span<const std::uint8_t> received = link_->receive_datagram();
        for (std::size_t at = 0; received.size() - at >= NLMSG_HDRLEN;) {
            const std::uint8_t* message = received.data() + at;
            const nlmsghdr header = fw::linux::netlink::read_header(message);
            if (header.nlmsg_len < NLMSG_HDRLEN || header.nlmsg_len > received.size() - at)
                throw fw::linux::netlink::truncated_reply_t();
            const std::uint32_t k = header.nlmsg_seq - first;
            if (header.nlmsg_pid != port_id_ || k >= asked.size())
                throw fw::linux::netlink::unexpected_reply_t(
                    "sequence number " + std::to_string(header.nlmsg_seq) + " for port id "
                    + std::to_string(header.nlmsg_pid) + ", expected " + std::to_string(first) + " to "
                    + std::to_string(first + asked.size() - 1) + " for " + std::to_string(port_id_));
            ++answered;
            if (header.nlmsg_type == NLMSG_ERROR) {
                if (header.nlmsg_len < fw::linux::netlink::error_message_size
                    || fw::linux::netlink::error_field(message) != -ENOENT)
                    fw::linux::netlink::check_error(message, received.size() - at);
            } else {
                try {
                    if (header.nlmsg_type != SOCK_DIAG_BY_FAMILY)
                        throw std::runtime_error("sock_diag: Unexpected message");
                    const fw::linux::sock_diag::response_message_t response(message + NLMSG_HDRLEN,
                                                                            header.nlmsg_len - NLMSG_HDRLEN);
                    sockets[asked[k]] = socket_of(response, pairs[asked[k]]);
                } catch (const std::exception& e) {
                    log_skipped(e);
                }
            }
            at += NLMSG_ALIGN(header.nlmsg_len);
            if (at >= received.size())
                break;
        }
    }
}

void process_finder_t::netlink_inode_getter_t::ask_dump(const std::vector<endpoint_pair_t>& pairs,
                                                        const std::vector<std::size_t>& asked,
                                                        std::vector<socket_id_t>& sockets)
{
    std::vector<endpoint_pair_t> missing;
    missing.reserve(asked.size());
    for (std::size_t i : asked)
        missing.push_back(pairs[i]);
    const fw::linux::sock_diag::request_message_t request(AF_INET, missing, connection_states);
    for (const auto& reply : dump(*link_, request)) {
        try {
            if (reply.type != SOCK_DIAG_BY_FAMILY)
                throw std::runtime_error("sock_diag: Unexpected message");
            fw::linux::sock_diag::response_message_t response(reply.payload.data.get(), reply.payload.size);
            const endpoint_pair_t key(response.source(), response.destination());
            const auto [first, last] = std::equal_range(pairs.begin(), pairs.end(), key);
            for (auto it = first; it != last; ++it)
                sockets[static_cast<std::size_t>(it - pairs.begin())] = {response.inode(), response.uid()};
        } catch (const std::exception& e) {
            log_skipped(e);
        }
    }
}

const std::string& process_finder_t::proc_inode_getter_t::name() const
{
    static const std::string name = "/proc/net/tcp";
    return name;
}

std::vector<socket_id_t> process_finder_t::proc_inode_getter_t::get_inodes(const std::vector<endpoint_pair_t>& pairs,
                                                                           const is_local_t& is_local)
{
    std::vector<socket_id_t> sockets(pairs.size());
    const std::vector<std::size_t> local = local_clients(pairs, all_of(pairs), is_local);
    if (local.empty())
        return sockets;
    std::vector<bool> wanted(pairs.size(), false);
    for (std::size_t i : local)
        wanted[i] = true;
    std::size_t found = 0;
    file_reader_t reader(path_, 4096);
    auto [entry, end] = fw::linux::proc_net_tcp_iterator_t::range(reader);
    for (; entry != end && found < local.size(); ++entry) {
        // Sockets in TIME_WAIT are listed with inode 0; no process holds them.
        if (entry->inode == 0)
            continue;
        const endpoint_pair_t key(entry->local, entry->remote);
        for (auto it = std::lower_bound(pairs.begin(), pairs.end(), key); it != pairs.end() && *it == key; ++it) {
            const auto i = static_cast<std::size_t>(it - pairs.begin());
            if (sockets[i].inode != 0)
                break;
            if (!wanted[i])
                continue;
            sockets[i].inode = entry->inode;
            ++found;
        }
    }
    return sockets;
}

// ---------------------------------------------------------------------------
// The service

process_finder_t::process_finder_t(boost::asio::io_context& io) : io_(io), getter_(make_inode_getter())
{
    if (dynamic_cast<netlink_inode_getter_t*>(getter_.get()) != nullptr) {
        quick_getter_ = std::make_unique<netlink_inode_getter_t>();
        quick_local_addresses_ = std::make_unique<local_addresses_t>();
    }
    start();
}

process_finder_t::process_finder_t(boost::asio::io_context& io, std::unique_ptr<inode_getter_t> getter)
    : io_(io), getter_(std::move(getter))
{
    start();
}

void process_finder_t::start()
{
    worker_ = std::thread([this] { run_worker(); });
}

process_finder_t::~process_finder_t()
{
    if (worker_.joinable()) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_requested_ = true;
        }
        wakeup_.notify_one();
        worker_.join();
    }
}

void process_finder_t::find_pid(request_t request)
{
    // Most connections come from a client that opened one before: its socket
    // found here, the worker needs one readlink at the descriptor the last
    // one had instead of a lookup and a reading of its descriptor table.
    std::optional<socket_id_t> socket;
    if (quick_missed_.exchange(false))
        quick_paused_ = quick_pause;
    if (quick_paused_ > 0)
        --quick_paused_;
    else if (pending_ == 0 && *quick_posted_ == 0) {
        quick_answer_t answer = find_quickly(request.src, request.dst);
        if (answer.absent) {
            ++*quick_posted_;
            // May run after the service is gone: holds nothing of it but the count.
            boost::asio::post(io_, [posted = quick_posted_, callback = std::move(request.callback),
                                    error = std::make_exception_ptr(
                                        std::runtime_error("Cannot find inode in " + getter_->name()))] {
                --*posted;
                callback(error, 0);
            });
            return;
        }
        socket = answer.socket;
    }
    ++pending_;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back({std::move(request), socket});
    }
    wakeup_.notify_one();
}

process_finder_t::quick_answer_t process_finder_t::find_quickly(const endpoint_t& src, const endpoint_t& dst)
{
    if (!quick_getter_)
        return {};
    std::vector<socket_id_t> sockets;
    try {
        // The walk over every socket is left to the worker.
        sockets = quick_getter_->get_inodes({{src, dst}}, [](const boost::asio::ip::address_v4&) { return false; });
    } catch (const std::exception& e) {
        // The worker asks again, and answers the failure if it stays.
        log_skipped(e);
        return {};
    }
    if (sockets.empty())
        return {};
    if (sockets.front().inode != 0)
        return {false, sockets.front()};
    if (!src.address().is_v4())
        return {};
    quick_local_addresses_->refresh();
    return {!quick_local_addresses_->contains(src.address().to_v4()), std::nullopt};
}

void process_finder_t::post(std::function<void(std::exception_ptr, int)> callback, std::exception_ptr error, int pid)
{
    boost::asio::post(io_, [callback = std::move(callback), error = std::move(error), pid] { callback(error, pid); });
}

void process_finder_t::run_worker() noexcept
{
    try {
        process_requests();
    } catch (...) {
        // The daemon cannot go on without its process finder: end the event loop.
        boost::asio::post(io_, [error = std::current_exception()] {
            throw cf_exception_t(error_code_from_exception_ptr(error),
                                 "Process finder: " + describe_exception_ptr(error));
        });
    }
}

void process_finder_t::process_requests()
{
    for (;;) {
        std::list<queued_t> batch;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wakeup_.wait(lock, [this] { return stop_requested_ || !requests_.empty(); });
            if (stop_requested_)
                return;
            auto last = requests_.begin();
            std::advance(last, std::min(batch_limit, requests_.size()));
            batch.splice(batch.end(), requests_, requests_.begin(), last);
        }
        const std::size_t taken = batch.size();
        process_batch(batch);
        pending_ -= taken;
    }
}

void process_finder_t::process_batch(std::list<queued_t>& batch)
{
    batch.sort([](const queued_t& a, const queued_t& b) {
        return endpoint_pair_t(a.request.src, a.request.dst) < endpoint_pair_t(b.request.src, b.request.dst);
    });
    // Only the sockets the event loop did not find yet are looked up.
    std::vector<endpoint_pair_t> pairs;
    pairs.reserve(batch.size());
    for (const auto& queued : batch)
        if (!queued.socket)
            pairs.emplace_back(queued.request.src, queued.request.dst);

    std::exception_ptr error;
    std::vector<socket_id_t> sockets;
    // The addresses are brought up to date once per batch, and only when a
    // getter asks.
    bool refreshed = false;
    const is_local_t is_local = [&](const boost::asio::ip::address_v4& address) {
        if (!refreshed) {
            local_addresses_.refresh();
            refreshed = true;
        }
        return local_addresses_.contains(address);
    };
    try {
        if (!pairs.empty())
            sockets = getter_->get_inodes(pairs, is_local);
        error = std::make_exception_ptr(std::runtime_error("Cannot find inode in " + getter_->name()));
    } catch (const std::exception&) {
        error = std::current_exception();
        sockets.clear();
    }
    sockets.resize(pairs.size());

    waiting_t waiting;
    owner_search_t::wanted_t wanted;
    std::size_t i = 0;
    for (auto& [request, found] : batch) {
        const socket_id_t socket = found ? *found : sockets[i++];
        if (socket.inode == 0) {
            post(std::move(request.callback), error, 0);
            continue;
        }
        if (found) {
            if (const auto pid = owners_.find_at_recent_descriptor(socket.inode, quick_hints)) {
                post(std::move(request.callback), nullptr, *pid);
                continue;
            }
            quick_missed_ = true;
        }
        waiting.emplace(socket.inode, std::move(request.callback));
        wanted.emplace(socket.inode, socket.uid);
    }
    if (waiting.empty())
        return;

    error = nullptr;
    bool complete = true;
    try {
        complete = owners_.find(wanted, [&](unsigned inode, int pid) {
            const auto [first, last] = waiting.equal_range(inode);
            for (auto it = first; it != last; ++it)
                post(std::move(it->second), nullptr, pid);
            waiting.erase(first, last);
        }, stop_requested_);
    } catch (const std::exception& e) {
        log_skipped(e);
        error = std::current_exception();
    }
    if (!complete) {
        for (auto& [inode, callback] : waiting)
            abandoned_.push_back(std::move(callback));
        return;
    }
    if (!error)
        error = std::make_exception_ptr(std::runtime_error("Cannot find paths"));
    for (auto& [inode, callback] : waiting)
        post(std::move(callback), error, 0);
}

} // namespace fw::service
