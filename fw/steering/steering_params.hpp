#pragma once
// What the iptables and the nftables service steer by: the marks, the
// transparent listener and the queues of the running diverts, as the
// neighbour services have them after their configure.
#include <cstdint>
#include <vector>

namespace kv {
class LinuxFirewallConfig;
}

namespace fw::service {

class marks_t;
class transparent_acceptor_t;
class connection_diverter_t;

// One running divert: the netfilter hook of its chain (3 output, 1 input,
// 2 forward), its queue and its divert mark (0 when it has none).
struct steering_divert_t {
    int hook = 0;
    std::uint16_t queue = 0;
    std::uint32_t mark = 0;
    bool operator==(const steering_divert_t&) const = default;
};

struct steering_params_t {
    std::uint32_t local_delivery_mark = 0;
    std::uint32_t client_packets_mark = 0;
    std::uint32_t server_packets_mark = 0;
    // The transparent listener, host byte order.
    std::uint32_t tproxy_address = 0;
    std::uint16_t tproxy_port = 0;
    // Output, input, forward, only those that run.
    std::vector<steering_divert_t> diverts;
    bool process_ip_security_option = false;
    bool operator==(const steering_params_t&) const = default;
};

// The parameters for the current state of the neighbours; throws
// boost::asio::ip::bad_address_cast when the listener is not IPv4.
steering_params_t steering_params(const kv::LinuxFirewallConfig& config, const marks_t& marks,
                                  const transparent_acceptor_t& acceptor, const connection_diverter_t& diverter);

} // namespace fw::service
