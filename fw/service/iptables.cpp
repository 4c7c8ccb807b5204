#include "fw/service/iptables.hpp"

#include "common/log.hpp"
#include "linux_firewall_config.pb.h"
#include "fw/service/connection_diverter.hpp"
#include "fw/service/marks.hpp"
#include "fw/service/transparent_acceptor.hpp"
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

iptables_params_t iptables_t::params() const
{
    iptables_params_t params;
    params.local_delivery_mark = marks_.local_delivery_mark();
    params.client_packets_mark = marks_.client_packets_mark();
    params.server_packets_mark = marks_.server_packets_mark();
    // bad_address_cast for a listener that is not IPv4.
    const auto& listener = acceptor_.endpoint();
    params.tproxy_address = listener.address().to_v4().to_uint();
    params.tproxy_port = listener.port();
    // Divert kinds 0 output, 1 input, 2 forward, hooked at OUTPUT, INPUT, FORWARD.
    constexpr int hooks[] = {3, 1, 2};
    for (int kind = 0; kind < 3; ++kind)
        if (const auto queue = diverter_.nfqueue_number(kind))
            params.diverts.push_back({hooks[kind], *queue, marks_.divert_mark(kind)});
    params.process_ip_security_option = config_.process_ip_security_option();
    return params;
}

void iptables_t::configure()
{
    const bool nft_available = linux::nftables::utils::nft_modules_available();
    if (!config_.autoconfigure_iptables()) {
        if (installer_.installed())
            installer_.uninstall(config_.xtables_lock_path());
        return;
    }
    installer_.install(params(), nft_available, config_.xtables_lock_path());
    if (cf_log_threshold <= 0)
        cf_log(0, "Iptables rules installed");
}

} // namespace fw::service
