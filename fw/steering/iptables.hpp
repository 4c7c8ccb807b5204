#pragma once
// Installs the daemon's own iptables rules for each configuration and removes
// them at stop: NFQUEUE for the first SYN of every running divert, TPROXY to the
// transparent listener, and the marks that keep client-side and server-side
// traffic apart. Only rules whose first match is the own comment are touched.
#include <memory>

#include "fw/steering/iptables_installer.hpp"
#include "fw/service/service.hpp"

namespace kv {
class LinuxFirewallConfig;
}

namespace fw::service {

class marks_t;
class transparent_acceptor_t;
class connection_diverter_t;

class iptables_t : public util::service_t {
public:
    iptables_t(const kv::LinuxFirewallConfig& config, marks_t& marks, transparent_acceptor_t& acceptor,
               connection_diverter_t& diverter);
    // Removes the own rules when they are installed; never throws.
    ~iptables_t() override;

    void configure() override;

    // True from the first table written with own rules until they are removed.
    bool installed() const noexcept { return installer_.installed(); }

    // The rule parameters for the current state of the neighbours.
    steering_params_t params() const;

private:
    const kv::LinuxFirewallConfig& config_;
    marks_t& marks_;
    transparent_acceptor_t& acceptor_;
    connection_diverter_t& diverter_;
    iptables_installer_t installer_;
    bool swept_ = false;
};

} // namespace fw::service
