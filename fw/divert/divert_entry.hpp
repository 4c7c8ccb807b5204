#pragma once
// The inside of the connection diverter: one running divert with its queue,
// the connections whose hook is deciding, and the server connects it started.
#include <cstdint>
#include <exception>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "linux_firewall_config.pb.h"
#include "rules.pb.h"
#include "fw/divert/connection_diverter.hpp"
#include "fw/divert/server_connector.hpp"
#include "linux/nfqueue/packet_interceptor.hpp"
#include "common/callback_wrapper.hpp"
#include "lua/intercept_types.hpp"

namespace fw::net {
class ipv4_header_t;
class tcp_header_t;
} // namespace fw::net

namespace fw::service {

// Every server connect in progress, across all diverts. A multimap, so that
// each connect keeps a position of its own even if two diverts ever connect
// for the same pair: erasing one never invalidates the other's.
struct connection_diverter_t::connects_t {
    using map_t = std::multimap<endpoint_pair_t, server_connector_t::connection_handle>;
    map_t map;
};

// What configure wants of one divert.
struct divert_config_t {
    int divert_kind = 0;
    bool enable = false;
    kv::Divert divert = kv::D_OUTPUT;
    kv::NfqueueNumber number;
    bool connect_transparently = false;
};

// Output, input, forward.
std::vector<divert_config_t> make_divert_configs(const kv::LinuxFirewallConfig& config);
// Manual numbers first, lowest first; the others keep their order (use a stable sort).
bool divert_config_less(const divert_config_t& a, const divert_config_t& b);

// "client -> server", each as "a.b.c.d:port".
std::string endpoint_pair_text(const connection_diverter_t::endpoint_pair_t& pair);
// "SYN,ACK", "SYN", "ACK" or "" for the SYN and ACK bits of the flags.
const char* syn_ack_word(std::uint16_t flags);

// The configured rules followed by the facts about the connection.
kv::RuleSet make_rule_set(const kv::RuleSet& rules, const connection_diverter_t::endpoint_pair_t& pair,
                          int divert_kind, const lua::intercept::artifacts_t& artifacts);

// The security option of a saved or queued packet, or null.
const std::uint8_t* security_option_of(const net::ipv4_header_t& ip);

// The held SYN's IPv4 and TCP headers, options included, without payload
// (lengths and checksums made to fit); shared by the handlers that need it until the retransmitter takes the bytes.
using saved_syn_t = std::shared_ptr<std::unique_ptr<std::uint8_t[]>>;

class connection_diverter_t::divert_entry_t final : public linux::nfqueue::packet_interceptor_t::delegate_t,
                                              public kv::util::callback_wrapper_t {
public:
    using packet_entry_ptr = std::weak_ptr<linux::nfqueue::packet_interceptor_t::packet_entry_t>;
    using pending_t = std::map<endpoint_pair_t, std::shared_ptr<void>>;

    divert_entry_t(connection_diverter_t& diverter, int divert_kind,
                   std::unique_ptr<linux::nfqueue::packet_interceptor_t> interceptor, bool connect_transparently,
                   bool process_ip_security_option);
    divert_entry_t(const divert_entry_t&) = delete;
    divert_entry_t& operator=(const divert_entry_t&) = delete;
    // Cancels its connects, abandons its sessions, closes the queue.
    ~divert_entry_t();

    void start();
    std::uint16_t queue() const noexcept { return interceptor_->queue(); }
    void set_options(bool connect_transparently, bool process_ip_security_option) noexcept
    {
        connect_transparently_ = connect_transparently;
        process_ip_security_option_ = process_ip_security_option;
    }

    void packet_intercepted(const net::ipv4_header_t& ip, const net::tcp_header_t& tcp,
                            const linux::nfqueue::packet_interceptor_t::packet_attribs_t& attribs,
                            packet_entry_ptr packet) override;

private:
    struct held_t;
    struct connect_t;

    bool should_drop_syn(const endpoint_pair_t& pair, const net::ipv4_header_t& ip, const net::tcp_header_t& tcp,
                         std::uint32_t mark) const;
    bool should_drop_syn_ack(const endpoint_pair_t& pair, const net::ipv4_header_t& ip,
                             const net::tcp_header_t& tcp, std::uint32_t mark) const;
    lua::intercept::connection_info_t
    make_connection_info(const endpoint_pair_t& pair,
                         const linux::nfqueue::packet_interceptor_t::packet_attribs_t& attribs) const;
    void hold(const endpoint_pair_t& pair, const net::ipv4_header_t& ip, const net::tcp_header_t& tcp,
              const linux::nfqueue::packet_interceptor_t::packet_attribs_t& attribs, packet_entry_ptr packet);
    void on_verdict(const held_t& held, std::exception_ptr error, int verdict,
                    const lua::intercept::artifacts_t& artifacts);
    void handle_check_verdict(const endpoint_pair_t& pair, const saved_syn_t& syn, unsigned ip_length,
                              unsigned tcp_length, const packet_entry_ptr& packet, kv::RuleSet rules);
    void on_server_connected(const connect_t& connect, boost::system::error_code ec, util::scoped_fd_t fd);
    void log_invalid(const std::exception& e) const;
    std::string prefix() const;

    connection_diverter_t& diverter_;
    int divert_kind_;
    std::unique_ptr<linux::nfqueue::packet_interceptor_t> interceptor_;
    bool connect_transparently_;
    bool process_ip_security_option_;
    pending_t pending_;
    std::list<connects_t::map_t::iterator> connects_;
};

} // namespace fw::service
