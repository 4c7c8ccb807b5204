#pragma once
// The daemon's own connections to the servers that checked clients asked for:
// marked as server-side traffic, optionally bound to the client's address and
// carrying the client's IPv4 security option. At most limit - 1 connects are in
// progress; beyond that the oldest is given up.
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <optional>
#include <utility>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/system/error_code.hpp>

#include "common/scoped_fd.hpp"
#include "fw/service/service.hpp"
#include "common/callback_wrapper.hpp"

namespace kv {
class LinuxFirewallConfig;
}

namespace fw::service {

class marks_t;

// The basic security option sent and expected when the client's SYN carried none:
// type 130, length 3, level Unclassified.
extern const std::uint8_t default_security_option[3];

class server_connector_t : public util::service_t {
public:
    // Either no error and the connected descriptor, or an error and an empty one.
    using handler_t = std::function<void(boost::system::error_code, util::scoped_fd_t)>;

    struct connection_t;
    using connection_list_t = std::list<connection_t>;
    // Valid until its connect completes, is pushed out, cancelled or destroyed.
    using connection_handle = connection_list_t::iterator;
    // (local endpoint of the daemon's socket, server endpoint)
    using endpoint_pair_t = std::pair<boost::asio::ip::tcp::endpoint, boost::asio::ip::tcp::endpoint>;
    using index_t = std::map<endpoint_pair_t, connection_handle>;

    struct connection_t {
        explicit connection_t(boost::asio::io_context& io) : socket(io) {}

        kv::util::callback_wrapper_t alive;
        boost::asio::ip::tcp::socket socket;
        // Set only while the security-option mode is on; the bytes are the caller's.
        const std::uint8_t* security_option = nullptr;
        std::optional<index_t::iterator> index_entry;
        handler_t handler;
    };

    server_connector_t(boost::asio::io_context& io, const kv::LinuxFirewallConfig& config,
                       marks_t& marks, unsigned limit);
    ~server_connector_t() override;

    void configure() override;

    // Starts connecting to `server`; the handler runs once, later, or inside a
    // later connect that pushes this one out. A system failure on the way (no
    // descriptor left, no local port) reaches the handler as its error, later,
    // after a rate-limited Warning.
    connection_handle connect(const boost::asio::ip::tcp::endpoint& server,
                              const std::uint8_t* const& security_option,
                              const std::optional<boost::asio::ip::address>& bind_address,
                              int divert_kind, handler_t handler);

    // The connect whose socket has this (local endpoint, server endpoint); never
    // found while the security-option mode is off.
    std::optional<connection_handle> find_connection(const endpoint_pair_t& endpoints) const;

    // Whether `option` (null: none) equals the option of the connect; a missing
    // option on either side stands for default_security_option.
    bool security_option_matches(connection_handle connection, const std::uint8_t* option) const;

    // Forgets the connect; its handler is destroyed uncalled.
    void cancel(connection_handle connection);

private:
    // Opens, marks and binds the socket; throws system_error.
    void prepare(connection_t& connection, const std::uint8_t* security_option,
                 const std::optional<boost::asio::ip::address>& bind_address, int divert_kind);
    // Enters the connect in the endpoint index; false when the connect failed at
    // once (its socket is unbound). Throws system_error.
    bool enter_index(connection_handle connection, const boost::asio::ip::tcp::endpoint& server);
    // Closes the socket and completes the connect with `ec` on a later turn.
    void fail_later(connection_handle connection, const boost::system::error_code& ec);
    void on_connected(connection_handle connection, const boost::system::error_code& ec);
    void remove(connection_handle connection);

    boost::asio::io_context& io_;
    const kv::LinuxFirewallConfig& config_;
    marks_t& marks_;
    std::uint32_t socket_marks_[3] = {0, 0, 0};
    bool configured_ = false;
    bool process_ip_security_option_ = false;
    connection_list_t connections_;
    index_t index_;
    unsigned limit_;
};

} // namespace fw::service
