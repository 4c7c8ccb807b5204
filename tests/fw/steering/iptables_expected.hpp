#pragma once
// The own rules the tests expect, as the host's iptables-save prints them, for
// the parameters made by params_with.
#include <cstdint>
#include <string>
#include <vector>

#include "fw/steering/iptables_rules.hpp"
#include "tests/fw/steering/iptables_save.hpp"

namespace morva_test::ipt_expected {

using fw::service::steering_divert_t;
using fw::service::steering_params_t;

// Marks: local delivery 0x1, client packets 0x2, server packets 0x4; divert
// marks 0x8 (output), 0x10 (input), 0x20 (forward). Queues 3, 4, 5.
inline const steering_divert_t queued_output{3, 3, 0x8}, queued_input{1, 4, 0x10}, queued_forward{2, 5, 0x20};

inline steering_params_t params_with(std::vector<steering_divert_t> diverts, bool ip_security_option = false)
{
    steering_params_t params;
    params.local_delivery_mark = 0x1;
    params.client_packets_mark = 0x2;
    params.server_packets_mark = 0x4;
    params.tproxy_address = 0x7F000001;
    params.tproxy_port = 8080;
    params.diverts = std::move(diverts);
    params.process_ip_security_option = ip_security_option;
    return params;
}

inline const std::string own = " -m comment --comment morva-firewall";
inline const std::string m1 = "-A PREROUTING" + own
    + " -m mark --mark 0x0/0x6 -m connmark --mark 0x4/0x6 -j MARK --set-xmark 0x1/0x1";
inline const std::string to_listener = " -j TPROXY --on-port 8080 --on-ip 127.0.0.1 --tproxy-mark 0x1/0x1";
inline const std::string m2 = "-A PREROUTING -p tcp" + own + " -m mark ! --mark 0x6/0x6 -m connmark --mark 0x2/0x6"
    + to_listener;
// A client's SYN on a connection marked ours: to the listener while a
// transparent socket answers it, else the connection is no longer ours.
inline const std::string client_syn_of_ours = "-A PREROUTING -p tcp" + own
    + " -m tcp --tcp-flags SYN,ACK SYN -m mark --mark 0x0/0x6 -m connmark --mark 0x2/0x6";
inline const std::string m2_answered = client_syn_of_ours + " -m socket --transparent" + to_listener;
inline const std::string m2_unanswered = client_syn_of_ours + " -j CONNMARK --set-xmark 0x0/0x6";
inline const std::string m4 = "-A OUTPUT" + own + " -m mark --mark 0x2/0x6 -j CONNMARK --set-xmark 0x2/0xffffffff";
inline const std::string m5 = "-A OUTPUT" + own + " -m mark --mark 0x4/0x6 -j CONNMARK --set-xmark 0x4/0xffffffff";
inline const std::string m6 = "-A OUTPUT" + own
    + " -m mark --mark 0x0/0x6 -m connmark ! --mark 0x0/0x6 -j MARK --set-xmark 0x1/0x1";
inline const std::string n1 = "-A POSTROUTING -o lo" + own + " -m mark --mark 0x1/0x1 -j ACCEPT";

// The input divert's queues only SYNs to the host's own addresses.
inline std::string m3(const std::string& chain, int queue, const std::string& bypass = " --queue-bypass")
{
    return "-A " + chain + " -p tcp" + own + " -m tcp --tcp-flags SYN,ACK SYN -m mark --mark 0x0/0x7"
        + (chain == "INPUT" ? " -m addrtype --dst-type LOCAL" : "") + " -j NFQUEUE --queue-num "
        + std::to_string(queue) + bypass;
}

// M7 and M8 of a divert with mark dv.
inline std::string m7(std::uint32_t dv)
{
    return "-A OUTPUT" + own + " -m mark --mark " + ipt_save::hex(0x4 | dv) + "/"
        + ipt_save::hex(0x6 | dv) + " -j CONNMARK --set-xmark " + ipt_save::hex(dv) + "/"
        + ipt_save::hex(dv);
}

inline std::string m8(std::uint32_t dv, int queue, const std::string& bypass = " --queue-bypass")
{
    return "-A INPUT -p tcp" + own + " -m tcp --tcp-flags SYN,ACK SYN,ACK -m mark --mark 0x0/0x6 -m connmark --mark "
        + ipt_save::hex(0x4 | dv) + "/" + ipt_save::hex(0x6 | dv)
        + " -j NFQUEUE --queue-num " + std::to_string(queue) + bypass;
}

} // namespace morva_test::ipt_expected
