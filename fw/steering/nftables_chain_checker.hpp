#pragma once
// Keeps the local-path rules first in the base chains of other tables between
// configurations: on every rule another program adds, the own rules of that
// chain are put back at its head unless one of them is already first. It
// puts the own table back when another program deletes it, and checks every
// chain again when notifications were lost. What another program's objects
// make fail is a Warning; the checker goes on.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/system/error_code.hpp>

#include "fw/steering/nftables_rules.hpp"
#include "linux/netlink/async_link.hpp"
#include "common/callback_wrapper.hpp"

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
    // Lost notifications (ENOBUFS): listens again and checks every chain
    // (resync). Any other failure throws boost::system::system_error
    // "chain check netlink: <description>".
    void on_error(boost::system::error_code error) override;

    // The parameters of the latest install. Without them notifications are
    // ignored: there is no local-delivery mark to write a rule with.
    void set_params(const steering_params_t& params) { params_ = params; }
    void clear_params() noexcept { params_.reset(); }
    const std::optional<steering_params_t>& params() const noexcept { return params_; }

    bool listening() const noexcept { return link_ != nullptr; }

    // As if every base chain of the tables of families ip and inet had just
    // changed, and the own table is installed again when it is missing.
    void resync();

private:
    void listen();
    void on_new_rule(std::uint8_t family, const std::uint8_t* payload, std::size_t size);
    void on_deleted_table(std::uint8_t family, const std::uint8_t* payload, std::size_t size);
    // Puts the local-path rule back at the head of the chain unless an own
    // rule is first there.
    void react(std::uint8_t family, const std::string& table, const std::string& chain);
    // react() for one chain; what fails is a Warning naming the chain.
    void keep_first(std::uint8_t family, const std::string& table, const std::string& chain);
    // Installs the own table from the parameters when it is missing; true then.
    bool restore_own_table();
    // keep_first() for every base chain of the tables of families ip and inet.
    void keep_every_chain_first();

    boost::asio::io_context& io_;
    std::unique_ptr<linux::netlink::async::link_t> link_;
    std::optional<steering_params_t> params_;
    nft_socket_source_t sockets_;
    kv::util::callback_wrapper_t guard_;
};

} // namespace fw::service
