#include "fw/service/process_finder.hpp"

#include "common/error.hpp"
#include "common/file_reader.hpp"
#include "common/log.hpp"
#include "linux/netlink/sock_diag.hpp"
#include "linux/netlink/socket.hpp"
#include "linux/netlink/sync_link.hpp"
#include "lua/proc_readers.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/lexical_cast.hpp>
#include <boost/system/system_error.hpp>

#include <algorithm>
#include <map>

#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <sys/socket.h>

namespace fw::service {

namespace {

// ESTABLISHED and SYN_SENT: the states of a connection its client still owns.
constexpr std::uint32_t connection_states = (1u << 1) | (1u << 2);
constexpr std::uint16_t dump_flags = NLM_F_ROOT | NLM_F_MATCH; // 0x300

bool is_enoent(const boost::system::system_error& e)
{
    return e.code() == boost::system::errc::no_such_file_or_directory;
}

// The process is gone, or its descriptors are not ours to see.
bool process_out_of_sight(const boost::system::system_error& e)
{
    return is_enoent(e) || e.code() == boost::system::errc::permission_denied
           || e.code() == boost::system::errc::operation_not_permitted;
}

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
        if (cf_log_threshold <= 0)
            cf_log(0, std::string("Cannot create NETLINK inode getter: ") + e.what() + "; /proc will be parsed instead");
        return std::make_unique<process_finder_t::proc_inode_getter_t>();
    }
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

std::vector<unsigned> process_finder_t::netlink_inode_getter_t::get_inodes(const std::vector<endpoint_pair_t>& pairs)
{
    // A dump abandoned half-way leaves its rest in the socket, where the next
    // dump would take it for its own; such a link is replaced.
    const fw::linux::sock_diag::request_message_t request(AF_INET, pairs, connection_states);
    if (!link_)
        link_ = open_sock_diag_link();
    std::list<fw::linux::netlink::netlink_reply_t> replies;
    try {
        replies = dump(*link_, request);
    } catch (...) {
        link_.reset();
        throw;
    }

    std::vector<unsigned> inodes(pairs.size(), 0);
    for (const auto& reply : replies) {
        try {
            if (reply.type != SOCK_DIAG_BY_FAMILY)
                throw std::runtime_error("sock_diag: Unexpected message");
            fw::linux::sock_diag::response_message_t response(reply.payload.data.get(), reply.payload.size);
            const auto [first, last] = std::equal_range(pairs.begin(), pairs.end(),
                                                        endpoint_pair_t(response.source(), response.destination()));
            for (auto it = first; it != last; ++it)
                inodes[static_cast<std::size_t>(it - pairs.begin())] = response.inode();
        } catch (const std::exception& e) {
            if (cf_log_threshold <= 1)
                cf_log(1, std::string("Process finder: ") + e.what());
        }
    }
    return inodes;
}

const std::string& process_finder_t::proc_inode_getter_t::name() const
{
    static const std::string name = "/proc/net/tcp";
    return name;
}

std::vector<unsigned> process_finder_t::proc_inode_getter_t::get_inodes(const std::vector<endpoint_pair_t>& pairs)
{
    std::vector<unsigned> inodes(pairs.size(), 0);
    std::size_t found = 0;
    file_reader_t reader(path_, 4096);
    auto [entry, end] = fw::linux::proc_net_tcp_iterator_t::range(reader);
    for (; entry != end && found < pairs.size(); ++entry) {
        // Sockets in TIME_WAIT are listed with inode 0; no process holds them.
        if (entry->inode == 0)
            continue;
        const endpoint_pair_t key(entry->local, entry->remote);
        for (auto it = std::lower_bound(pairs.begin(), pairs.end(), key); it != pairs.end() && *it == key; ++it) {
            unsigned& inode = inodes[static_cast<std::size_t>(it - pairs.begin())];
            if (inode != 0)
                break;
            inode = entry->inode;
            ++found;
        }
    }
    return inodes;
}

// ---------------------------------------------------------------------------
// The service

process_finder_t::process_finder_t(boost::asio::io_context& io) : io_(io), getter_(make_inode_getter())
{
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
    {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(std::move(request));
    }
    wakeup_.notify_one();
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
        std::list<request_t> batch;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wakeup_.wait(lock, [this] { return stop_requested_ || !requests_.empty(); });
            if (stop_requested_)
                return;
            auto last = requests_.begin();
            std::advance(last, std::min(batch_limit, requests_.size()));
            batch.splice(batch.end(), requests_, requests_.begin(), last);
        }
        process_batch(batch);
    }
}

namespace {

// Walks every process's descriptors and answers the requests waiting for the
// inodes it finds; stops once none is left.
void scan_processes(waiting_t& waiting, const std::function<void(waiting_t::mapped_type, int)>& answer)
{
    namespace fs = boost::filesystem;
    for (fs::directory_iterator process("/proc"), end; process != end; ++process) {
        if (!fs::is_directory(process->status()))
            continue;
        int pid;
        try {
            pid = boost::lexical_cast<int>(process->path().filename().string());
        } catch (const boost::bad_lexical_cast&) {
            continue;
        }
        try {
            for (fs::directory_iterator fd(process->path() / "fd"); fd != end; ++fd) {
                fs::path target;
                try {
                    target = fs::read_symlink(fd->path());
                } catch (const boost::system::system_error& e) {
                    if (is_enoent(e))
                        continue; // closed meanwhile
                    throw;
                }
                const std::string& text = target.native();
                constexpr std::string_view prefix = "socket:[";
                if (text.size() <= prefix.size() || text.compare(0, prefix.size(), prefix) != 0 || text.back() != ']')
                    continue;
                unsigned inode;
                try {
                    inode = boost::lexical_cast<unsigned>(text.substr(prefix.size(), text.size() - prefix.size() - 1));
                } catch (const boost::bad_lexical_cast&) {
                    continue;
                }
                const auto [first, last] = waiting.equal_range(inode);
                for (auto it = first; it != last; ++it)
                    answer(std::move(it->second), pid);
                waiting.erase(first, last);
                if (waiting.empty())
                    return;
            }
        } catch (const boost::system::system_error& e) {
            // One process that ended meanwhile, or whose descriptors are hidden
            // from us, must not keep the others from being seen.
            if (!process_out_of_sight(e))
                throw;
        }
    }
}

} // namespace

void process_finder_t::process_batch(std::list<request_t>& batch)
{
    batch.sort([](const request_t& a, const request_t& b) {
        return endpoint_pair_t(a.src, a.dst) < endpoint_pair_t(b.src, b.dst);
    });
    std::vector<endpoint_pair_t> pairs;
    pairs.reserve(batch.size());
    for (const auto& request : batch)
        pairs.emplace_back(request.src, request.dst);

    std::exception_ptr error;
    std::vector<unsigned> inodes;
    try {
        inodes = getter_->get_inodes(pairs);
        error = std::make_exception_ptr(std::runtime_error("Cannot find inode in " + getter_->name()));
    } catch (const std::exception&) {
        error = std::current_exception();
        inodes.clear();
    }
    inodes.resize(pairs.size(), 0);

    waiting_t waiting;
    std::size_t i = 0;
    for (auto& request : batch) {
        const unsigned inode = inodes[i++];
        if (inode == 0)
            post(std::move(request.callback), error, 0);
        else
            waiting.emplace(inode, std::move(request.callback));
    }
    if (waiting.empty())
        return;

    error = nullptr;
    try {
        scan_processes(waiting, [this](waiting_t::mapped_type callback, int pid) {
            post(std::move(callback), nullptr, pid);
        });
    } catch (const std::exception& e) {
        if (cf_log_threshold <= 1)
            cf_log(1, std::string("Process finder: ") + e.what());
        error = std::current_exception();
    }
    if (!error)
        error = std::make_exception_ptr(std::runtime_error("Cannot find paths"));
    for (auto& [inode, callback] : waiting)
        post(std::move(callback), error, 0);
}

} // namespace fw::service
