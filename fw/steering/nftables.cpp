#include "fw/steering/nftables.hpp"

#include <linux/netlink.h>

#include <exception>
#include <optional>
#include <string>

#include <boost/system/system_error.hpp>

#include "common/log.hpp"
#include "linux/netlink/socket.hpp"
#include "linux/nftables/transaction.hpp"
#include "linux_firewall_config.pb.h"

namespace fw::service {

namespace nft = linux::nftables;
using nft::utils::nft_msg_t;

namespace {

} // namespace

nftables_t::nftables_t(boost::asio::io_context& io, const kv::LinuxFirewallConfig& config, marks_t& marks,
                       transparent_acceptor_t& acceptor, connection_diverter_t& diverter)
    : config_(config), marks_(marks), acceptor_(acceptor), diverter_(diverter), checker_(io)
{
}

nftables_t::~nftables_t()
{
    if (!installed_)
        return;
    // The socket kept for the stop: at the descriptor limit no new one opens.
    std::optional<nft_msg_t> msg;
    try {
        if (stop_socket_)
            msg.emplace(std::move(stop_socket_));
        else
            msg.emplace();
    } catch (const std::exception& e) {
        cf_log_lazy(log_warning, [&] { return std::string("Cannot remove nftables rules: ") + e.what(); });
        return;
    }
    remove_own_nft_objects(*msg);
}

steering_params_t nftables_t::params() const { return steering_params(config_, marks_, acceptor_, diverter_); }

void nftables_t::configure()
{
    // Below, only an install clears what is there; on the iptables backend or
    // in manual mode a dead run's table would stay for good.
    if (!swept_) {
        remove_nft_leftovers();
        swept_ = true;
    }
    if (!nft::utils::nft_modules_available())
        return;
    if (!config_.autoconfigure_iptables()) {
        // Left to the administrator: the checker must not put rules back either,
        // or they would outlive the daemon.
        checker_.clear_params();
        if (installed_) {
            clear_nft_rules();
            clear_nft_tables();
            installed_ = false;
        }
        stop_socket_ = util::scoped_fd_t(-1);
        return;
    }
    const steering_params_t current = params();
    if (!stop_socket_)
        stop_socket_ = linux::netlink::open_netlink_socket(NETLINK_NETFILTER);
    checker_.set_params(current);
    clear_nft_rules();
    clear_nft_tables();
    try {
        try {
            fix_local_path(current);
        } catch (const boost::system::system_error& e) {
            nft_install_failed(e, "the local-path rules");
        }
        install_nft_rules(current);
    } catch (const boost::system::system_error&) {
        cf_log_lazy(log_debug, [] { return "cannot install nftables"; });
        // What was written before the failure is removed at stop; but without
        // its rules the traffic of the diverts is not steered, so the
        // configuration has failed.
        installed_ = true;
        throw;
    }
    cf_log_lazy(log_debug, [] { return "nftables rules installed"; });
    installed_ = true;
}

} // namespace fw::service
