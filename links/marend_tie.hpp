#pragma once
// The daemon's client of marend: asks for the configuration and the socket
// paths of pellad and quisad, and reports the applied revision. Responses carry
// no identifier: each answers the oldest outstanding request of its kind.
#include <exception>
#include <functional>
#include <list>
#include <memory>
#include <string>

#include <boost/system/error_code.hpp>

#include "links/ipc_link.hpp"

namespace kv {
class LinuxFirewallConfig;
class LinuxFirewallAppInfo;
class Firewall2MarendMessage;
class Marend2FirewallMessage;
} // namespace kv

namespace fw::marend {

class tie_t final : private util::ipc_link_t::delegate_t {
public:
    class delegate_t {
    public:
        // Called once, after the tie has dropped its link.
        virtual void on_error(std::exception_ptr error) = 0;

    protected:
        ~delegate_t() = default;
    };

    using config_callback_t = std::function<void(kv::LinuxFirewallConfig&, unsigned)>;
    // Either an error code and an empty path, or success and the path.
    using path_callback_t = std::function<void(boost::system::error_code, std::string)>;

    // Reading starts at once.
    tie_t(delegate_t& delegate, std::unique_ptr<util::stream_socket_t> socket);
    tie_t(const tie_t&) = delete;
    tie_t& operator=(const tie_t&) = delete;
    // Outstanding callbacks are dropped without being called.
    ~tie_t();

    void request_config(config_callback_t callback);
    void send_info(const kv::LinuxFirewallAppInfo& info, unsigned revision);
    void request_pellad_path(path_callback_t callback);
    void request_quisad_path(path_callback_t callback);

private:
    void on_message(void const* data, std::size_t size) override;
    void on_error(std::exception_ptr error) override;
    void handle(kv::Marend2FirewallMessage& message);
    void handle_path(kv::Marend2FirewallMessage& message, std::list<path_callback_t>& callbacks);
    void send(const kv::Firewall2MarendMessage& message);

    delegate_t* delegate_;
    std::unique_ptr<util::ipc_link_t> link_;
    std::list<config_callback_t> config_callbacks_;
    std::list<path_callback_t> pellad_callbacks_;
    std::list<path_callback_t> quisad_callbacks_;
};

} // namespace fw::marend
