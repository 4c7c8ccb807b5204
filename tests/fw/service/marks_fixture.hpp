#pragma once
// Shared by the marks tests: the configuration that leaves every mark to the
// service, and the six marks as one value.
#include <array>
#include <cstdint>

#include "fw/service/marks.hpp"
#include "linux_firewall_config.pb.h"

namespace morva_test {

// Local delivery, client packets, server packets, input, output, forward.
using marks_array_t = std::array<std::uint32_t, 6>;

inline marks_array_t marks_of(const fw::service::marks_t& marks)
{
    return {marks.local_delivery_mark(), marks.client_packets_mark(), marks.server_packets_mark(),
            marks.input_divert_mark(), marks.output_divert_mark(), marks.forward_divert_mark()};
}

// Everything automatic, every divert enabled, both automatic modes on.
inline kv::LinuxFirewallConfig automatic_config()
{
    kv::LinuxFirewallConfig config;
    config.set_autoconfigure_iptables(true);
    config.set_autoconfigure_routing(true);
    config.mutable_local_delivery_mark()->mutable_auto_();
    config.mutable_client_packets_mark()->mutable_auto_();
    config.mutable_server_packets_mark()->mutable_auto_();
    config.set_input_divert_enable(true);
    config.set_output_divert_enable(true);
    config.set_forward_divert_enable(true);
    config.mutable_input_divert_mark()->mutable_auto_();
    config.mutable_output_divert_mark()->mutable_auto_();
    config.mutable_forward_divert_mark()->mutable_auto_();
    return config;
}

} // namespace morva_test
