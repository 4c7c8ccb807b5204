#pragma once
// Keeps the local-path rules first in the base chains of other tables between
// configurations: on every rule another program adds, the own rules of that
// chain are put back at its head unless one of them is already first.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/system/error_code.hpp>

#include "fw/service/nftables_params.hpp"
#include "linux/netlink/async_link.hpp"

namespace fw::service {

class nft_chain_checker_t : public linux::netlink::async::link_t::delegate_t {
public:
    // Listens to the nf_tables notifications when the modules load; otherwise
    // stays deaf for its whole life.
    explicit nft_chain_checker_t(boost::asio::io_context& io, nft_socket_source_t sockets = {});
    nft_chain_checker_t(const nft_chain_checker_t&) = delete;
    nft_chain_checker_t& operator=(const nft_chain_checker_t&) = delete;
    ~nft_chain_checker_t();

    void on_multipart_begin() override {}
    void on_multipart_end() override {}
    void on_message(std::uint16_t type, const std::uint8_t* payload, std::size_t size) override;
    // Throws boost::system::system_error "chain check netlink: <description>".
    void on_error(boost::system::error_code error) override;

    // The parameters of the latest install. Without them notifications are
    // ignored: there is no local-delivery mark to write a rule with.
    void set_params(const steering_params_t& params) { params_ = params; }
    void clear_params() noexcept { params_.reset(); }
    const std::optional<steering_params_t>& params() const noexcept { return params_; }

    bool listening() const noexcept { return link_ != nullptr; }

private:
    // Puts the local-path rule back at the head of the chain unless an own
    // rule is first there.
    void react(std::uint8_t family, const std::string& table, const std::string& chain);

    std::unique_ptr<linux::netlink::async::link_t> link_;
    std::optional<steering_params_t> params_;
    nft_socket_source_t sockets_;
};

} // namespace fw::service
