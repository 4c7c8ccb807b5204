#pragma once
// Steers the traffic of the running diverts with nf_tables when its kernel
// modules load: the own table "morva-firewall" with four base chains, and a
// local-path rule at the head of the base chains of other tables. Every rule
// it adds carries the comment "morva-firewall", by which it finds them again.
#include <boost/asio/io_context.hpp>

#include "fw/steering/nftables_chain_checker.hpp"
#include "fw/steering/nftables_rules.hpp"
#include "fw/service/service.hpp"

namespace kv {
class LinuxFirewallConfig;
}

namespace fw::service {

class marks_t;
class transparent_acceptor_t;
class connection_diverter_t;

class nftables_t : public util::service_t {
public:
    // Touches no nf_tables object; the chain checker starts listening when
    // the modules load.
    nftables_t(boost::asio::io_context& io, const kv::LinuxFirewallConfig& config, marks_t& marks,
               transparent_acceptor_t& acceptor, connection_diverter_t& diverter);
    // Removes the own rules and tables when installed; never throws.
    ~nftables_t() override;

    void configure() override;

    // The parameters for the current state of the neighbours; throws
    // boost::asio::ip::bad_address_cast when the listener is not IPv4.
    steering_params_t params() const;

    bool installed() const noexcept { return installed_; }
    nft_chain_checker_t& chain_checker() noexcept { return checker_; }

private:
    const kv::LinuxFirewallConfig& config_;
    marks_t& marks_;
    transparent_acceptor_t& acceptor_;
    connection_diverter_t& diverter_;
    bool installed_ = false;
    bool swept_ = false;
    // Opened with the first install and kept for the stop, which must remove
    // the rules also when no descriptor is left to open.
    util::scoped_fd_t stop_socket_{-1};
    nft_chain_checker_t checker_;
};

} // namespace fw::service
