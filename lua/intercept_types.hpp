#pragma once
// What the connection diverter and a hook session exchange, and the registry
// entries of the intercept module (with the chunk that calls the hook).
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include "common/endpoint_text.hpp"

#include <boost/asio/ip/tcp.hpp>
#include <lua.hpp>

namespace fw::lua::intercept {

class process_finder_t;

enum verdict_t { CHECK = 0, PASS = 1, DROP = 2, REJECT = 3 };

// "CHECK", "PASS", "DROP", "REJECT".
const char* verdict_log_word(verdict_t verdict);

using fw::util::endpoint_text;

struct connection_info_t {
    boost::asio::ip::tcp::endpoint source;
    boost::asio::ip::tcp::endpoint destination;
    std::string divert; // "output", "input" or "forward"
    std::optional<std::uint32_t> in_interface;
    std::optional<std::uint32_t> out_interface;
    std::optional<std::uint32_t> uid;
    std::optional<std::uint32_t> gid;
};

struct artifacts_t {
    std::optional<std::string> user;
    std::optional<std::string> exe_path;
};

namespace registry_key {
inline constexpr const char* process_finder = "fw.lua.intercept.process_finder";
inline constexpr const char* tcp_endpoint_metatable = "fw.lua.intercept.tcp_endpoint_metatable";
// Its userdata holds a std::shared_ptr<void>, released by "__gc".
inline constexpr const char* shared_ptr_metatable = "fw.lua.intercept.shared_ptr_metatable";
inline constexpr const char* get_artifacts = "fw.lua.intercept.get_artifacts";
} // namespace registry_key

// Makes the registry entries above; once, by the Lua service's constructor.
void register_intercept_module(lua_State* L, process_finder_t* process_finder);

// Pushes a userdata holding `pointer` with the shared pointer metatable.
void push_shared_pointer(lua_State* L, std::shared_ptr<void> pointer);
// The pointer such a userdata at index holds; null once Lua finalized it.
void* shared_pointer_target(lua_State* L, int index);

} // namespace fw::lua::intercept
