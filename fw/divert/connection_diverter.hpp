#pragma once
// The heart of the daemon: owns the NFQUEUE queue of every enabled divert
// (output, input, forward), has each new TCP connection decided by a hook
// session, and lets it through, drops it, rejects it, or connects to the
// server itself and hands the server socket on to the socket pool.
#include <cstdint>
#include <exception>
#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio/ip/tcp.hpp>

#include "common/scoped_fd.hpp"
#include "fw/service/service.hpp"

namespace boost::asio {
class io_context;
}

namespace kv {
class LinuxFirewallConfig;
class RuleSet;
} // namespace kv

namespace fw::lua::intercept {
struct connection_info_t;
struct artifacts_t;
} // namespace fw::lua::intercept

namespace fw::service {

class server_connector_t;
class marks_t;
class connection_rejector_t;
class marking_retransmitter_t;
class packet_validator_t;
class lua_t;
struct divert_config_t;

// Divert kinds: 0 output, 1 input, 2 forward.
constexpr int output_divert = 0;
constexpr int input_divert = 1;
constexpr int forward_divert = 2;
constexpr int divert_count = 3;

// "OUTPUT", "INPUT", "FORWARD"; the empty string for any other kind.
const std::string& divert_chain_name(int divert_kind);

// Streams as divert_chain_name(kind).
struct divert_name_t {
    int divert_kind;
};
std::ostream& operator<<(std::ostream& out, divert_name_t name);

class connection_diverter_t : public util::service_t {
public:
    // Where server sockets wait for their clients (the server socket pool).
    class delegate_t {
    public:
        // Whether a connected server socket for exactly this pair is waiting
        // for its client; one waiting too long is dropped first, so that the
        // SYN asking is decided anew.
        virtual bool has_server_socket(const boost::asio::ip::tcp::endpoint& client,
                                       const boost::asio::ip::tcp::endpoint& server)
            = 0;
        // Keeps the socket (taken over) and a copy of the rule set under the pair.
        virtual void new_server_socket(const boost::asio::ip::tcp::endpoint& client,
                                       const boost::asio::ip::tcp::endpoint& server, const kv::RuleSet& rules,
                                       util::scoped_fd_t&& descriptor)
            = 0;

    protected:
        ~delegate_t() = default;
    };

    // (client endpoint, server endpoint).
    using endpoint_pair_t = std::pair<boost::asio::ip::tcp::endpoint, boost::asio::ip::tcp::endpoint>;

    // A hook session's delivery: (failure or null, verdict, artifacts); the
    // verdict is a fw::lua::intercept::verdict_t value.
    using verdict_handler_t = std::function<void(std::exception_ptr, int, const lua::intercept::artifacts_t&)>;
    // Starts the hook session of one held connection (info, session id). The
    // session calls the handler later from the event loop, never inside this
    // call; destroying the returned object abandons it unheard.
    using session_factory_t = std::function<std::shared_ptr<void>(
        const lua::intercept::connection_info_t& info, const std::string& session_id, verdict_handler_t handler)>;

    class divert_entry_t;
    struct connects_t;

    // Opens nothing. An empty `sessions` runs every session on the Lua service;
    // tests give their own.
    connection_diverter_t(boost::asio::io_context& io, delegate_t& pool, const kv::LinuxFirewallConfig& config,
                          server_connector_t& connector, marks_t& marks, connection_rejector_t& rejector,
                          marking_retransmitter_t& retransmitter, packet_validator_t& validator, lua_t& lua,
                          session_factory_t sessions = {});
    connection_diverter_t(const connection_diverter_t&) = delete;
    connection_diverter_t& operator=(const connection_diverter_t&) = delete;
    // Stops every divert and cancels every connect in progress.
    ~connection_diverter_t() override;

    // Starts, keeps, restarts or stops the divert of each kind.
    void configure() override;

    // The queue of the divert's running entry; nothing while it is not running.
    std::optional<std::uint16_t> nfqueue_number(int divert_kind) const;

private:
    friend class divert_entry_t;

    bool leaves_queue(const divert_config_t& record, const std::vector<divert_config_t>& configs) const;
    void start_divert(divert_config_t& record);
    void stop_divert(int divert_kind, const char* what);

    boost::asio::io_context& io_;
    delegate_t& pool_;
    const kv::LinuxFirewallConfig& config_;
    server_connector_t& connector_;
    marks_t& marks_;
    connection_rejector_t& rejector_;
    marking_retransmitter_t& retransmitter_;
    packet_validator_t& validator_;
    lua_t& lua_;
    session_factory_t sessions_;
    std::unique_ptr<connects_t> connects_;
    std::unique_ptr<divert_entry_t> entries_[divert_count];
};

} // namespace fw::service
