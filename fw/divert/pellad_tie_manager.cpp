#include "fw/divert/pellad_tie_manager.hpp"

#include <string>
#include <utility>

#include <boost/system/system_error.hpp>

#include "common/close_on_exec.hpp"
#include "common/error.hpp"
#include "common/log.hpp"
#include "common/rate_limit.hpp"
#include "common/reset_connection.hpp"
#include "linux_firewall_config.pb.h"
#include "links/marend_tie.hpp"
#include "rules.pb.h"

namespace fw::service {

namespace {

const std::string prefix = "Pellad tie manager: ";

pellad::inspect_options_t inspect_options(const kv::LinuxFirewallConfig& config)
{
    return {config.inspect_http(), config.inspect_pop3(), config.inspect_imap(), config.inspect_smtp(),
            config.inspect_ftp()};
}

pellad::scan_options_t scan_options(const kv::LinuxFirewallConfig& config)
{
    return {config.scan_timeout(),        config.heuristic_analysis(),  config.packer_max_level(),
            config.archive_max_level(),   config.mail_max_level(),      config.container_max_level(),
            config.max_compression_ratio()};
}

} // namespace

struct pellad_tie_manager_t::socket_pair_t {
    util::scoped_fd_t server;
    util::scoped_fd_t client;
    kv::RuleSet rules;
};

pellad_tie_manager_t::pellad_tie_manager_t(boost::asio::io_context& io, const kv::LinuxFirewallConfig& config,
                                           marend::tie_t& marend, unsigned pair_limit)
    : config_(config), marend_(marend), socket_(io), pair_limit_(pair_limit)
{
}

pellad_tie_manager_t::~pellad_tie_manager_t()
{
    disarm();
}

void pellad_tie_manager_t::configure()
{
    if (!tie_) {
        obtain_pellad();
        return;
    }
    tie_->set_inspect_options(inspect_options(config_));
    tie_->set_scan_options(scan_options(config_));
    tie_->set_block_unchecked(config_.block_unchecked());
}

void pellad_tie_manager_t::new_socket_pair(connected_socket_t&& server, connected_socket_t&& client,
                                           const kv::RuleSet& rules)
{
    cf_log_lazy(log_debug, [&] {
        return prefix + "new socket pair: " + endpoint_text(client.endpoint) + " (fd "
            + std::to_string(client.descriptor.get()) + ") -> " + endpoint_text(server.endpoint) + " (fd "
            + std::to_string(server.descriptor.get()) + ")";
    });
    // Each held pair keeps two descriptors: a pellad that stops reading must not
    // take the daemon to the descriptor limit.
    if (queue_.size() + (tie_ ? tie_->queued() : 0) >= pair_limit_) {
        cf_log_rate_limited(log_warning, [&] {
            return prefix + std::to_string(pair_limit_)
                + " connections are waiting for Pellad; resetting " + endpoint_text(client.endpoint)
                + " -> " + endpoint_text(server.endpoint);
        });
        util::reset_connection(std::move(client.descriptor));
        util::reset_connection(std::move(server.descriptor));
        return;
    }
    queue_.push_back({std::move(server.descriptor), std::move(client.descriptor), rules});
    if (tie_)
        flush();
    else if (queue_.size() == 1)
        obtain_pellad();
}

void pellad_tie_manager_t::on_drained() {}

void pellad_tie_manager_t::on_closed()
{
    cf_log_lazy(log_debug, [&] { return prefix + "tie closed"; });
    tie_.reset();
}

void pellad_tie_manager_t::on_error(std::exception_ptr error)
{
    cf_log_lazy(log_error, [&] { return prefix + describe_exception_ptr(error); });
    queue_.clear();
    tie_.reset();
}

void pellad_tie_manager_t::obtain_pellad()
{
    if (obtaining_)
        return;
    obtaining_ = true;
    cf_log_lazy(log_debug, [&] { return prefix + "requesting Pellad"; });
    marend_.request_pellad_path(
        wrap([this](boost::system::error_code ec, std::string path) { on_path(ec, path); }));
}

void pellad_tie_manager_t::on_path(const boost::system::error_code& ec, const std::string& path)
{
    if (ec)
        throw boost::system::system_error(ec, prefix + "cannot get Pellad");
    boost::system::error_code e;
    socket_.open(boost::asio::local::stream_protocol(), e);
    if (e == boost::system::errc::too_many_files_open || e == boost::system::errc::too_many_files_open_in_system) {
        // At the descriptor limit: the connections waiting are given up, the
        // next pair tries again.
        cf_log_rate_limited(log_warning, [&] {
            return prefix + "cannot open socket: " + e.message() + "; resetting "
                + std::to_string(queue_.size()) + " connections";
        });
        drop_queue();
        obtaining_ = false;
        return;
    }
    if (e)
        throw boost::system::system_error(e, prefix + "cannot open socket");
    util::set_close_on_exec(socket_.native_handle());
    cf_log_lazy(log_debug, [&] { return prefix + "connecting to " + path; });
    // A path too long for the address throws here, as the event loop's own error.
    const boost::asio::local::stream_protocol::endpoint endpoint(path);
    socket_.async_connect(endpoint, wrap([this, path](const boost::system::error_code& result) {
        on_connected(result, path);
    }));
}

void pellad_tie_manager_t::on_connected(const boost::system::error_code& ec, const std::string& path)
{
    if (ec)
        throw boost::system::system_error(ec, prefix + "cannot connect to " + path);
    cf_log_lazy(log_debug, [&] { return prefix + "connected to Pellad"; });
    obtaining_ = false;
    tie_ = std::make_unique<pellad::tie_t>(std::move(socket_), inspect_options(config_), scan_options(config_),
                                           config_.block_unchecked());
    tie_->start(this);
    flush();
}

void pellad_tie_manager_t::drop_queue()
{
    for (auto& pair : std::exchange(queue_, {})) {
        util::reset_connection(std::move(pair.client));
        util::reset_connection(std::move(pair.server));
    }
}

void pellad_tie_manager_t::flush()
{
    // send_connections may fail the tie, and the tie's delegate call destroys it.
    while (!queue_.empty() && tie_) {
        socket_pair_t pair = std::move(queue_.front());
        queue_.pop_front();
        tie_->send_connections(pair.rules, std::move(pair.server), std::move(pair.client));
    }
}

} // namespace fw::service
