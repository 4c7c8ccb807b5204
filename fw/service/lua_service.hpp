#pragma once
// The Lua service: owns the daemon's one Lua state with the standard libraries
// and the script modules, loads the configured hook on every configuration and
// starts one intercept driver per held connection. It answers the context's
// pid lookups through the process finder and the scripts' lookups and checks
// through the quisad client.
#include <memory>
#include <string>

#include <boost/asio/ip/tcp.hpp>

#include "fw/service/service.hpp"
#include "lua/lookup.hpp"
#include "lua/process_finder.hpp"
#include "lua/runtime.hpp"

namespace boost::asio {
class io_context;
}

namespace kv {
class LinuxFirewallConfig;
}

namespace fw::quisad {
class quisad_t;
}

namespace fw::lua::intercept {
struct connection_info_t;
class driver_t;
} // namespace fw::lua::intercept

namespace fw::service {

class process_finder_t;

class lua_t : public util::service_t,
              public lua::intercept::process_finder_t,
              public kv::lua::lookup::delegate_t {
public:
    // Registry key of the hook function of the last successful configure.
    static constexpr const char* intercept_hook_key = "fw.service.intercept_hook";

    // Builds the state with every library and module; throws when it cannot.
    lua_t(boost::asio::io_context& io, const kv::LinuxFirewallConfig& config, service::process_finder_t& process_finder,
          quisad::quisad_t& quisad);
    ~lua_t() override;
    lua_t(const lua_t&) = delete;
    lua_t& operator=(const lua_t&) = delete;

    // Sets the package paths and loads the hook chunk; throws std::runtime_error.
    void configure() override;

    // A new session of the current hook for one held connection.
    std::unique_ptr<lua::intercept::driver_t> create_driver(const lua::intercept::connection_info_t& info,
                                                            std::string session_id);

    void get_pid(const boost::asio::ip::tcp::endpoint& src, const boost::asio::ip::tcp::endpoint& dst,
                 callback_t callback) override;
    void lookup(std::string type, std::string tag, kv::lua::lookup::params_t params,
                lookup_callback_t callback) override;
    void check(std::string type, std::string tag, std::string value, kv::lua::lookup::params_t params,
               check_callback_t callback) override;

    // The state, for tests.
    lua_State* state() const noexcept { return state_.get(); }

private:
    boost::asio::io_context& io_;
    const kv::LinuxFirewallConfig& config_;
    service::process_finder_t& process_finder_;
    quisad::quisad_t& quisad_;
    kv::lua::state_ptr_t state_;
};

} // namespace fw::service
