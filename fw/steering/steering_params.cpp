#include "fw/steering/steering_params.hpp"

#include "fw/divert/connection_diverter.hpp"
#include "fw/service/marks.hpp"
#include "fw/divert/transparent_acceptor.hpp"
#include "linux_firewall_config.pb.h"

namespace fw::service {

steering_params_t steering_params(const kv::LinuxFirewallConfig& config, const marks_t& marks,
                                  const transparent_acceptor_t& acceptor, const connection_diverter_t& diverter)
{
    steering_params_t params;
    params.local_delivery_mark = marks.local_delivery_mark();
    params.client_packets_mark = marks.client_packets_mark();
    params.server_packets_mark = marks.server_packets_mark();
    const auto& listener = acceptor.endpoint();
    params.tproxy_address = listener.address().to_v4().to_uint();
    params.tproxy_port = listener.port();
    // Divert kinds 0 output, 1 input, 2 forward, hooked at OUTPUT, INPUT, FORWARD.
    constexpr int hooks[divert_count] = {3, 1, 2};
    for (int kind = 0; kind < divert_count; ++kind)
        if (const auto queue = diverter.nfqueue_number(kind))
            params.diverts.push_back({hooks[kind], *queue, marks.divert_mark(kind)});
    params.process_ip_security_option = config.process_ip_security_option();
    return params;
}

} // namespace fw::service
