#include "fw/steering/iptables.hpp"

#include "common/log.hpp"
#include "linux_firewall_config.pb.h"
#include "linux/nftables/transaction.hpp"

namespace fw::service {

iptables_t::iptables_t(const kv::LinuxFirewallConfig& config, marks_t& marks, transparent_acceptor_t& acceptor,
                       connection_diverter_t& diverter)
    : config_(config), marks_(marks), acceptor_(acceptor), diverter_(diverter)
{
}

iptables_t::~iptables_t()
{
    if (installer_.installed())
        installer_.uninstall(config_.xtables_lock_path());
}

steering_params_t iptables_t::params() const { return steering_params(config_, marks_, acceptor_, diverter_); }

void iptables_t::configure()
{
    // A run that ended without its stop left its rules, and their queue rules
    // would feed this run's queues: they go first, whatever this run's mode.
    if (!swept_) {
        installer_.remove_leftovers(config_.xtables_lock_path());
        swept_ = true;
    }
    const bool nft_available = linux::nftables::utils::nft_modules_available();
    if (!config_.autoconfigure_iptables()) {
        if (installer_.installed())
            installer_.uninstall(config_.xtables_lock_path());
        return;
    }
    installer_.install(params(), nft_available, config_.xtables_lock_path());
    cf_log_lazy(log_debug, [] { return "Iptables rules installed"; });
}

} // namespace fw::service
