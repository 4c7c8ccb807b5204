#pragma once
// Finds the process that owns the local socket of a TCP connection. The work
// blocks (an inode lookup, then a walk over every process's descriptors), so
// it runs on a worker thread of its own; answers are posted to the event loop.
#include "fw/service/service.hpp"

#include <boost/asio/ip/tcp.hpp>

#include <condition_variable>
#include <exception>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
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
        // never for a request still queued when the service is destroyed.
        std::function<void(std::exception_ptr, int)> callback;
    };

    class inode_getter_t {
    public:
        virtual ~inode_getter_t() = default;
        virtual const std::string& name() const = 0;
        // `pairs` sorted; element i of the result is the inode of the socket
        // whose (local, remote) equals pairs[i], or 0.
        virtual std::vector<unsigned> get_inodes(const std::vector<endpoint_pair_t>& pairs) = 0;
    };

    // Asks the kernel over NETLINK_SOCK_DIAG; only ESTABLISHED and SYN_SENT sockets.
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
        std::vector<unsigned> get_inodes(const std::vector<endpoint_pair_t>& pairs) override;

    private:
        std::unique_ptr<fw::linux::netlink::sync_link_t> link_;
    };

    // Reads /proc/net/tcp (IPv4 only).
    class proc_inode_getter_t : public inode_getter_t {
    public:
        // `path`: a file in the format of /proc/net/tcp, for tests.
        explicit proc_inode_getter_t(std::string path = "/proc/net/tcp") : path_(std::move(path)) {}
        const std::string& name() const override;
        std::vector<unsigned> get_inodes(const std::vector<endpoint_pair_t>& pairs) override;

    private:
        std::string path_;
    };

    // At most this many requests share one inode lookup and one walk over /proc.
    static constexpr std::size_t batch_limit = 128;

    // Uses the netlink getter, or /proc/net/tcp when the kernel cannot serve it.
    explicit process_finder_t(boost::asio::io_context& io);
    // With a getter of the caller's choice.
    process_finder_t(boost::asio::io_context& io, std::unique_ptr<inode_getter_t> getter);
    ~process_finder_t() override;
    process_finder_t(const process_finder_t&) = delete;
    process_finder_t& operator=(const process_finder_t&) = delete;

    // Queues the request; called on the event-loop thread, never answers inline.
    void find_pid(request_t request);

    const inode_getter_t& inode_getter() const noexcept { return *getter_; }

private:
    void start();
    void run_worker() noexcept;
    void process_requests();
    void process_batch(std::list<request_t>& batch);
    void post(std::function<void(std::exception_ptr, int)> callback, std::exception_ptr error, int pid);

    boost::asio::io_context& io_;
    std::thread worker_;
    std::mutex mutex_;
    bool stop_requested_ = false;
    std::list<request_t> requests_;
    std::condition_variable wakeup_;
    std::unique_ptr<inode_getter_t> getter_;
};

} // namespace fw::service
