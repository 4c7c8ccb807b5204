#pragma once
// Finds the process that owns the local socket of a TCP connection. The work
// blocks (an inode lookup, then reads of processes' descriptors), so it runs
// on a worker thread of its own; answers are posted to the event loop.
#include "fw/service/local_addresses.hpp"
#include "fw/service/process_finder_owners.hpp"
#include "fw/service/service.hpp"

#include <boost/asio/ip/tcp.hpp>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace boost::asio {
class io_context;
}

namespace fw::linux::netlink {
class sync_link_t;
}

namespace fw::service {

class process_finder_t : public fw::util::service_t {
public:
    using endpoint_t = boost::asio::ip::tcp::endpoint;
    // (local endpoint, remote endpoint) of a socket, that is (client, server).
    using endpoint_pair_t = std::pair<endpoint_t, endpoint_t>;

    struct request_t {
        endpoint_t src; // the client
        endpoint_t dst; // the server
        // Called once on the event-loop thread with (null, pid) or (exception, 0);
        // never for a request still queued when the service is destroyed, nor
        // for one whose search of /proc the destruction cut short.
        std::function<void(std::exception_ptr, int)> callback;
    };

    // A socket as an inode getter finds it: its inode (0: not found) and,
    // when the getter knows it, the uid that owns it.
    struct socket_id_t {
        unsigned inode = 0;
        std::optional<unsigned> uid;
        bool operator==(const socket_id_t&) const = default;
    };

    // Whether a client address is on this host: a socket without
    // IP_TRANSPARENT or IP_FREEBIND can have only such an address as its own.
    using is_local_t = std::function<bool(const boost::asio::ip::address_v4&)>;

    class inode_getter_t {
    public:
        virtual ~inode_getter_t() = default;
        virtual const std::string& name() const = 0;
        // `pairs` sorted; element i of the result is the socket whose
        // (local, remote) equals pairs[i], or inode 0. A search that walks
        // every socket is spent only on clients `is_local` accepts: another
        // host's address is a local socket's own only by a transparent or
        // freebind socket, which a cheap exact lookup finds if anything does.
        virtual std::vector<socket_id_t> get_inodes(const std::vector<endpoint_pair_t>& pairs,
                                                    const is_local_t& is_local) = 0;
    };

    // Asks the kernel over NETLINK_SOCK_DIAG for the socket of each pair;
    // only ESTABLISHED and SYN_SENT sockets. Every client gets the exact
    // lookup; the dump is for local clients it missed.
    class netlink_inode_getter_t : public inode_getter_t {
    public:
        // The kernel cannot serve this getter; /proc/net/tcp is read instead.
        class not_supported_t : public std::runtime_error {
        public:
            using std::runtime_error::runtime_error;
        };

        netlink_inode_getter_t();
        ~netlink_inode_getter_t() override;
        const std::string& name() const override;
        std::vector<socket_id_t> get_inodes(const std::vector<endpoint_pair_t>& pairs,
                                            const is_local_t& is_local) override;

    private:
        // One exact request per pair, sent together; fills in what they find.
        void ask_exact(const std::vector<endpoint_pair_t>& pairs, const std::vector<std::size_t>& asked,
                       std::vector<socket_id_t>& sockets);
        // One filtered dump over the pairs still missing.
        void ask_dump(const std::vector<endpoint_pair_t>& pairs, const std::vector<std::size_t>& asked,
                      std::vector<socket_id_t>& sockets);

        std::unique_ptr<fw::linux::netlink::sync_link_t> link_;
        std::uint32_t port_id_ = 0;
        std::uint32_t sequence_ = 0;
    };

    // Reads /proc/net/tcp (IPv4 only), for local clients: it has no cheap
    // lookup of one socket.
    class proc_inode_getter_t : public inode_getter_t {
    public:
        // `path`: a file in the format of /proc/net/tcp, for tests.
        explicit proc_inode_getter_t(std::string path = "/proc/net/tcp") : path_(std::move(path)) {}
        const std::string& name() const override;
        std::vector<socket_id_t> get_inodes(const std::vector<endpoint_pair_t>& pairs,
                                            const is_local_t& is_local) override;

    private:
        std::string path_;
    };

    // At most this many requests share one inode lookup and one search of /proc.
    static constexpr std::size_t batch_limit = 128;

    // Uses the netlink getter, or /proc/net/tcp when the kernel cannot serve it.
    explicit process_finder_t(boost::asio::io_context& io);
    // With a getter of the caller's choice.
    process_finder_t(boost::asio::io_context& io, std::unique_ptr<inode_getter_t> getter);
    ~process_finder_t() override;
    process_finder_t(const process_finder_t&) = delete;
    process_finder_t& operator=(const process_finder_t&) = delete;

    // Called on the event-loop thread, never answers inline. While the worker
    // is idle, one exact sock_diag request is made here: a client of another
    // host that it does not find is answered as not found (the worker could
    // do no more) without waking the worker, and a socket it finds goes to
    // the worker with its inode, which tries the descriptors where the last
    // sockets were found before anything else. Any other request is queued
    // (a busy worker answers many in one batch for less). No descriptor of
    // another process is read here: reading its link holds the file for an
    // instant, and should the owner close it then, the last reference and
    // with it the socket's close (up to a lingering socket's timeout) would
    // be the event loop's.
    void find_pid(request_t request);

    const inode_getter_t& inode_getter() const noexcept { return *getter_; }

private:
    void start();
    // A request as the worker takes it, with its socket when the event
    // loop's exact lookup found it.
    struct queued_t {
        request_t request;
        std::optional<socket_id_t> socket;
    };
    // What the quick way knows of a client's socket.
    struct quick_answer_t {
        bool absent = false;               // no socket of this host has the pair: answered
        std::optional<socket_id_t> socket; // found: the worker looks for its owner
    };
    quick_answer_t find_quickly(const endpoint_t& src, const endpoint_t& dst);
    void run_worker() noexcept;
    void process_requests();
    void process_batch(std::list<queued_t>& batch);
    void post(std::function<void(std::exception_ptr, int)> callback, std::exception_ptr error, int pid);

    boost::asio::io_context& io_;
    std::thread worker_;
    std::mutex mutex_;
    // Set under the mutex; also read without it between processes of a search.
    std::atomic<bool> stop_requested_ = false;
    std::list<queued_t> requests_;
    // Requests queued or in the worker's hands.
    std::atomic<std::size_t> pending_ = 0;
    // Quick answers posted and not yet delivered: another connection waits
    // on its pid, so the worker's batch is the cheaper way. Event loop only.
    std::shared_ptr<std::size_t> quick_posted_ = std::make_shared<std::size_t>(0);
    // Requests sent straight to the worker after the recent descriptors
    // missed a socket the quick way saw: many connections in flight take
    // descriptors the last ones did not hold, and the worker answers them in
    // batches.
    static constexpr std::size_t quick_pause = 32;
    // Descriptors tried for a socket the quick way saw: a client one
    // connection at a time reuses the last one; more would mostly cost
    // readlinks that miss.
    static constexpr std::size_t quick_hints = 2;
    std::size_t quick_paused_ = 0; // event loop only
    // Set by the worker when the recent descriptors missed; the event loop
    // then pauses the quick way.
    std::atomic<bool> quick_missed_ = false;
    std::condition_variable wakeup_;
    std::unique_ptr<inode_getter_t> getter_;
    // The event loop's own exact lookups and address table, beside the
    // worker's; none with a getter of the caller's choice.
    std::unique_ptr<netlink_inode_getter_t> quick_getter_;
    std::unique_ptr<local_addresses_t> quick_local_addresses_;
    // Used by the worker only, after construction.
    local_addresses_t local_addresses_;
    owner_search_t owners_;
    // Callbacks of a search cut short by the stop: never called, released
    // with the service on its owner's thread.
    std::vector<std::function<void(std::exception_ptr, int)>> abandoned_;
};

} // namespace fw::service
