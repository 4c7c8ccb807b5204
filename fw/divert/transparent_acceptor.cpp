#include "fw/divert/transparent_acceptor.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>

#include <boost/asio/steady_timer.hpp>
#include <boost/system/system_error.hpp>

#include "common/close_on_exec.hpp"
#include "common/errno_error.hpp"
#include "common/log.hpp"
#include "common/rate_limit.hpp"
#include "common/reset_connection.hpp"
#include "fw/divert/server_socket_pool.hpp"
#include "fw/service/marks.hpp"
#include "linux_firewall_config.pb.h"

namespace fw::service {

namespace {

using boost::asio::ip::tcp;

const std::string prefix = "Transparent acceptor: ";

// The endpoints of an accepted socket could not be read.
class get_endpoint_error_t : public boost::system::system_error {
public:
    using boost::system::system_error::system_error;
};

[[noreturn]] void throw_errno(int error, const std::string& what)
{
    util::throw_errno(error, prefix + what);
}

// After running out of descriptors, the next accept is tried this much later.
constexpr std::chrono::milliseconds accept_pause{100};

static_assert(transparent_acceptor_t::default_record_linger >= server_socket_pool_t::default_expiry,
              "a client may still be accepted until its server socket expires");

void reset(tcp::socket& accepted)
{
    boost::system::error_code ignored;
    util::reset_connection(util::scoped_fd_t(accepted.release(ignored)));
}

void throw_if(const boost::system::error_code& ec, const std::string& what)
{
    if (ec)
        throw boost::system::system_error(ec, prefix + what);
}

template <typename T>
void set_option(int fd, int level, int name, T value, const std::string& what)
{
    if (::setsockopt(fd, level, name, &value, sizeof value) != 0)
        throw_errno(errno, what);
}

tcp::endpoint configured_endpoint(const kv::LinuxFirewallConfig& config)
{
    const auto& listen = config.tproxy_listen_address();
    in_addr address{};
    if (::inet_pton(AF_INET, listen.address().c_str(), &address) != 1)
        throw std::runtime_error("invalid IPv4 address: " + listen.address());
    if (listen.port() > 65535)
        throw std::runtime_error("invalid port: " + std::to_string(listen.port()));
    return {boost::asio::ip::address_v4(ntohl(address.s_addr)), static_cast<unsigned short>(listen.port())};
}

} // namespace

transparent_acceptor_t::transparent_acceptor_t(boost::asio::io_context& io, delegate_t& delegate,
                                               const kv::LinuxFirewallConfig& config, marks_t& marks,
                                               std::chrono::milliseconds reap_period,
                                               std::chrono::milliseconds record_linger)
    : delegate_(delegate), config_(config), marks_(marks), acceptor_(io), endpoint_(tcp::v4(), 0),
      reaper_(io, reap_period, record_linger)
{
}

transparent_acceptor_t::~transparent_acceptor_t()
{
    boost::system::error_code ignored;
    acceptor_.close(ignored);
    disarm();
    reaper_.reap();
}

void transparent_acceptor_t::configure()
{
    const tcp::endpoint endpoint = configured_endpoint(config_);
    // Reopening would change the listener under rules that still point at it;
    // its mark must follow the marks, or the answers to new clients would meet
    // rules that no longer know it.
    if (acceptor_.is_open() && endpoint == endpoint_)
        set_mark(acceptor_.native_handle());
    else
        reopen(endpoint);
    follow_time_wait();
}

void transparent_acceptor_t::follow_time_wait()
{
    // Sockets accepted earlier stay known by their cookies whatever the marks
    // become, so a change of marks needs nothing here.
    reaper_.record(config_.forward_divert_enable());
}

void transparent_acceptor_t::reopen(const tcp::endpoint& endpoint)
{
    if (acceptor_.is_open()) {
        acceptor_.close();
        // The pending accept completes with an abort; it must not accept again.
        disarm();
    }
    try {
        open(endpoint);
    } catch (...) {
        boost::system::error_code ignored;
        acceptor_.close(ignored);
        throw;
    }
    cf_log_lazy(log_debug, [&] { return prefix + "listening at " + endpoint_text(endpoint_); });
    start_accept();
}

void transparent_acceptor_t::open(const tcp::endpoint& endpoint)
{
    boost::system::error_code ec;
    acceptor_.open(tcp::v4(), ec);
    throw_if(ec, "open failed");
    const int fd = acceptor_.native_handle();
    // A program the daemon starts must not keep the port past the daemon's end.
    util::set_close_on_exec(fd);
    set_option(fd, SOL_SOCKET, SO_REUSEADDR, int{1}, "cannot set SO_REUSEADDR");
    set_option(fd, IPPROTO_IP, IP_TRANSPARENT, int{1}, "cannot set IP_TRANSPARENT");
    set_mark(fd);
    acceptor_.bind(endpoint, ec);
    throw_if(ec, "bind to " + endpoint_text(endpoint) + " failed");
    acceptor_.listen(128, ec);
    throw_if(ec, "listen failed");
    const tcp::endpoint local = acceptor_.local_endpoint(ec);
    throw_if(ec, "getsockname");
    endpoint_ = local;
}

void transparent_acceptor_t::set_mark(int fd)
{
    set_option(fd, SOL_SOCKET, SO_MARK, std::uint32_t{marks_.client_packets_mark() | marks_.server_packets_mark()},
               "cannot set SO_MARK");
}

void transparent_acceptor_t::start_accept()
{
    // Each accept brings its own socket: one that completes after a disarm is
    // closed with the dropped completion instead of lingering for the next accept.
    acceptor_.async_accept(wrap([this](const boost::system::error_code& ec, tcp::socket accepted) {
        on_accept(ec, std::move(accepted));
    }));
}

void transparent_acceptor_t::on_accept(const boost::system::error_code& ec, tcp::socket accepted)
{
    if (ec) {
        accept_failed(ec);
        return;
    }
    try {
        boost::system::error_code e;
        const tcp::endpoint peer = accepted.remote_endpoint(e);
        if (e)
            throw get_endpoint_error_t(e, prefix + "getpeername failed");
        const tcp::endpoint local = accepted.local_endpoint(e);
        if (e)
            throw get_endpoint_error_t(e, prefix + "getsockname failed");
        // Close-on-exec, so the descriptor does not outlive its hand-over in a
        // program the daemon runs meanwhile. Set on the accepted socket itself:
        // a copy would need a second descriptor, and at the open-file limit
        // the accept has just taken the last one.
        const int fd = accepted.native_handle();
        const int flags = ::fcntl(fd, F_GETFD);
        if (flags < 0 || ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC) != 0) {
            const boost::system::error_code error(errno, boost::system::system_category());
            cf_log_rate_limited(log_warning, [&] {
                return prefix + "cannot set close-on-exec: " + error.message() + "; resetting the client";
            });
            reset(accepted);
        } else {
            take_for_reaping(fd);
            // Out of the event loop's hands: pellad serves the connection.
            boost::system::error_code ignored;
            delegate_.new_client_socket(peer, local, util::scoped_fd_t(accepted.release(ignored)));
        }
    } catch (const get_endpoint_error_t& e) {
        // ENOTCONN: the client reset its connection before we could read its endpoints.
        if (e.code() != boost::system::error_code(ENOTCONN, boost::system::system_category())) {
            cf_log_rate_limited(log_warning, [&] { return std::string(e.what()) + "; resetting the client"; });
            reset(accepted);
        } else {
            cf_log_lazy(log_debug, [&] { return e.what(); });
            boost::system::error_code close_error;
            accepted.close(close_error);
            if (close_error)
                throw boost::system::system_error(close_error, "Cannot close socket");
        }
    }
    start_accept();
}

void transparent_acceptor_t::take_for_reaping(int fd)
{
    if (!reaper_.recording())
        return;
    std::uint64_t cookie = 0;
    std::uint32_t mark = 0;
    socklen_t cookie_size = sizeof cookie, mark_size = sizeof mark;
    if (::getsockopt(fd, SOL_SOCKET, SO_COOKIE, &cookie, &cookie_size) != 0
        || ::getsockopt(fd, SOL_SOCKET, SO_MARK, &mark, &mark_size) != 0) {
        // Such a socket may hold its client's port for a minute once closed; nothing worse.
        const boost::system::error_code error(errno, boost::system::system_category());
        cf_log_rate_limited(log_warning,
                            [&] { return prefix + "cannot identify an accepted socket: " + error.message(); });
        return;
    }
    reaper_.own(cookie, mark);
}

void transparent_acceptor_t::accept_failed(const boost::system::error_code& ec)
{
    // The errors accept(2) reports for the connection being accepted, and those
    // of running out of descriptors or memory, concern one client; anything else
    // is a broken listener.
    static const int per_connection[] = {ECONNABORTED, EPROTO, ENETDOWN, ENOPROTOOPT, EHOSTDOWN, ENONET,
                                         EHOSTUNREACH, EOPNOTSUPP, ENETUNREACH, EPERM};
    static const int out_of_resources[] = {EMFILE, ENFILE, ENOBUFS, ENOMEM};
    const auto among = [&ec](const auto& codes) {
        return ec.category() == boost::system::system_category()
               && std::find(std::begin(codes), std::end(codes), ec.value()) != std::end(codes);
    };
    const bool resources = among(out_of_resources);
    if (!resources && !among(per_connection))
        throw_if(ec, "accept failed");
    cf_log_rate_limited(log_warning, [&] { return prefix + "accept failed: " + ec.message(); });
    if (!resources) {
        start_accept();
        return;
    }
    // The client waits in the backlog until a descriptor is free again;
    // accepting at once would only fail again, in a busy loop.
    auto pause = std::make_shared<boost::asio::steady_timer>(acceptor_.get_executor(), accept_pause);
    pause->async_wait(wrap([this, pause](const boost::system::error_code&) { start_accept(); }));
}

} // namespace fw::service
