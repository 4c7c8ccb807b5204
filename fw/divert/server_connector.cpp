#include "fw/divert/server_connector.hpp"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

#include <boost/system/system_error.hpp>

#include <boost/asio/post.hpp>

#include "common/errno_error.hpp"
#include "common/log.hpp"
#include "common/rate_limit.hpp"
#include "fw/service/marks.hpp"
#include "linux_firewall_config.pb.h"
#include "net/ip_options.hpp"

namespace fw::service {

const std::uint8_t default_security_option[3] = {0x82, 0x03, 0xAB};

namespace {

using boost::asio::ip::tcp;

const std::string prefix = "Server connector: ";

boost::system::error_code system_error_code(int error)
{
    return {error, boost::system::system_category()};
}

void throw_if(const boost::system::error_code& ec, const std::string& what)
{
    if (ec)
        throw boost::system::system_error(ec, prefix + what);
}

template <typename T>
void set_option(int fd, int level, int name, const T* value, socklen_t size, const std::string& what)
{
    if (::setsockopt(fd, level, name, value, size) != 0) {
        const int error = errno;
        util::throw_errno(error, prefix + what);
    }
}

template <typename T>
void set_option(int fd, int level, int name, T value, const std::string& what)
{
    set_option(fd, level, name, &value, sizeof value, what);
}

} // namespace

server_connector_t::server_connector_t(boost::asio::io_context& io, const kv::LinuxFirewallConfig& config,
                                       marks_t& marks, unsigned limit)
    : io_(io), config_(config), marks_(marks), limit_(limit)
{
}

server_connector_t::~server_connector_t()
{
    // Index first: its entries point into the list.
    index_.clear();
    connections_.clear();
}

void server_connector_t::configure()
{
    const bool mode = config_.process_ip_security_option();
    // Connects in progress and the diverter's rules depend on the mode chosen at start.
    if (configured_ && mode != process_ip_security_option_)
        throw std::runtime_error(std::string("Cannot ") + (mode ? "start" : "stop") +
                                 " processing ip security option");
    process_ip_security_option_ = mode;
    configured_ = true;
    for (int kind = 0; kind < 3; ++kind)
        socket_marks_[kind] = marks_.divert_mark(kind) | marks_.server_packets_mark();
}

void server_connector_t::prepare(connection_t& connection, const std::uint8_t* security_option,
                                 const std::optional<boost::asio::ip::address>& bind_address, int divert_kind)
{
    // Opened here and given to the socket object, which then knows that the
    // descriptor may be duplicated: the dup handed over on completion keeps
    // the connection open, and only such a socket object drops its event-loop
    // watch when it closes. Kept, the watch would wake the event loop for every
    // event of a connection that pellad relays. Close-on-exec from the start:
    // the daemon's programs must not inherit connections in hand-over.
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0)
        throw_if(system_error_code(errno), "cannot open socket");
    boost::system::error_code ec;
    connection.socket.assign(tcp::v4(), fd, ec);
    if (ec) {
        ::close(fd);
        throw_if(ec, "cannot open socket");
    }
    const std::uint32_t mark = divert_kind >= 0 && divert_kind < 3 ? socket_marks_[divert_kind] : 0;
    set_option(fd, SOL_SOCKET, SO_MARK, mark, "setsockopt(SO_MARK) failed");
    if (process_ip_security_option_) {
        if (security_option) {
            connection.security_option = security_option;
            set_option(fd, IPPROTO_IP, IP_OPTIONS, security_option,
                       static_cast<socklen_t>(net::ip_option_length(security_option)),
                       "setsockopt(IP_OPTIONS) failed");
        } else {
            // The daemon's SYN carries none; the server's answer may carry the default.
            connection.security_option = default_security_option;
        }
    }
    if (bind_address) {
        // The server sees the client's own address as the source.
        set_option(fd, IPPROTO_IP, IP_TRANSPARENT, int{1}, "setsockopt(IP_TRANSPARENT) failed");
        set_option(fd, SOL_SOCKET, SO_REUSEADDR, int{1}, "setsockopt(SO_REUSEADDR) failed");
        connection.socket.bind(tcp::endpoint(*bind_address, 0), ec);
        throw_if(ec, "bind failed");
    }
}

bool server_connector_t::enter_index(connection_handle connection, const tcp::endpoint& server)
{
    boost::system::error_code ec;
    const tcp::endpoint local = connection->socket.local_endpoint(ec);
    throw_if(ec, "cannot get local endpoint");
    // Unbound after the connect: it failed at once (no route, no free local
    // port), and its completion, queued already, tells the handler why.
    if (local.address().is_unspecified() || local.port() == 0)
        return false;
    const auto [position, inserted] = index_.emplace(endpoint_pair_t(local, server), connection);
    if (!inserted)
        throw_if(system_error_code(EINVAL), "duplicate connection entry");
    connection->index_entry = position;
    return true;
}

void server_connector_t::fail_later(connection_handle connection, const boost::system::error_code& ec)
{
    // Queued before the close queues the abort of a connect in progress.
    boost::asio::post(io_, connection->alive.wrap([this, connection, ec] { on_connected(connection, ec); }));
    // The socket goes at once: at the descriptor limit every descriptor counts.
    boost::system::error_code ignored;
    connection->socket.close(ignored);
}

server_connector_t::connection_handle server_connector_t::connect(
    const tcp::endpoint& server, const std::uint8_t* const& security_option,
    const std::optional<boost::asio::ip::address>& bind_address, int divert_kind, handler_t handler)
{
    connection_t& connection = connections_.emplace_back(io_);
    const connection_handle handle = std::prev(connections_.end());
    connection.handler = std::move(handler);
    // What goes wrong here concerns this connection alone (no descriptor left,
    // no local port): its handler hears it like a refused connect, later.
    try {
        prepare(connection, security_option, bind_address, divert_kind);
    } catch (const boost::system::system_error& e) {
        // Rate-limited: failures come in floods when descriptors run out.
        cf_log_rate_limited(log_warning, [&] { return std::string(e.what()) + "; resetting the client"; });
        fail_later(handle, e.code());
        return handle;
    } catch (...) {
        connections_.erase(handle);
        throw;
    }

    // Never the connect just added, whatever the limit.
    if (connections_.size() >= limit_ && connections_.size() > 1) {
        cf_log_lazy(log_info, [&] {
            return prefix + "exceeded the limit of " + std::to_string(limit_) +
                " open files; drop oldest connection";
        });
        // Out of the list and the index before its handler runs, so whatever the
        // handler does cannot meet it half-removed.
        connection_list_t oldest;
        oldest.splice(oldest.end(), connections_, connections_.begin());
        connection_t& pushed = oldest.front();
        if (pushed.index_entry)
            index_.erase(*pushed.index_entry);
        pushed.alive.disarm();
        auto pushed_handler = std::move(pushed.handler);
        if (pushed_handler)
            pushed_handler(boost::system::error_code(ETIMEDOUT, boost::system::generic_category()),
                           util::scoped_fd_t());
    }

    handle->socket.async_connect(server, handle->alive.wrap([this, handle](const boost::system::error_code& e) {
        on_connected(handle, e);
    }));
    if (process_ip_security_option_) {
        try {
            // A failed connect's own completion, queued already, comes first.
            if (!enter_index(handle, server))
                fail_later(handle, system_error_code(EINVAL));
        } catch (const boost::system::system_error& e) {
            cf_log_rate_limited(log_warning, [&] { return std::string(e.what()) + "; resetting the client"; });
            fail_later(handle, e.code());
        }
    }
    return handle;
}

std::optional<server_connector_t::connection_handle> server_connector_t::find_connection(
    const endpoint_pair_t& endpoints) const
{
    const auto it = index_.find(endpoints);
    if (it == index_.end())
        return std::nullopt;
    return it->second;
}

bool server_connector_t::security_option_matches(connection_handle connection, const std::uint8_t* option) const
{
    const std::uint8_t* a = connection->security_option ? connection->security_option : default_security_option;
    const std::uint8_t* b = option ? option : default_security_option;
    const unsigned length = net::ip_option_length(a);
    return length == net::ip_option_length(b) && std::memcmp(a, b, length) == 0;
}

void server_connector_t::cancel(connection_handle connection)
{
    remove(connection);
}

void server_connector_t::remove(connection_handle connection)
{
    if (connection->index_entry)
        index_.erase(*connection->index_entry);
    // Destroying the record closes its socket and disarms its completion.
    connections_.erase(connection);
}

void server_connector_t::on_connected(connection_handle connection, const boost::system::error_code& ec)
{
    // Out of the list before the handler runs: the handler may connect again.
    connection_list_t record;
    record.splice(record.end(), connections_, connection);
    if (connection->index_entry) {
        index_.erase(*connection->index_entry);
        connection->index_entry.reset();
    }
    auto handler = std::move(connection->handler);
    if (ec) {
        handler(ec, util::scoped_fd_t());
        return;
    }
    // Close-on-exec: the daemon's programs must not inherit connections in hand-over.
    util::scoped_fd_t descriptor(::fcntl(connection->socket.native_handle(), F_DUPFD_CLOEXEC, 0));
    if (!descriptor) {
        // At the descriptor limit: this connection is given up like a failed one.
        const boost::system::error_code error(errno, boost::system::system_category());
        cf_log_rate_limited(log_warning, [&] {
            return prefix + "dup failed: " + error.message() + "; resetting the client";
        });
        handler(error, util::scoped_fd_t());
        return;
    }
    handler(boost::system::error_code(), std::move(descriptor));
}

} // namespace fw::service
