#pragma once
// The script module "morva": logging, list files, IP addresses, endpoints,
// sleep and futures. Loaded with require("morva"); never a global.
#include <string>
#include <unordered_map>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <lua.hpp>

namespace kv::lua::morva {

// Level names of log(): "debug" 0 .. "error" 4, the kv::util hook's levels.
extern const std::unordered_map<std::string, int> log_levels;

// The module's registry entries; once, after kv::lua::init_registry.
void init_registry(lua_State* L, boost::asio::io_context& io);
// Registers the loader of "morva" (no global) and loads it once.
void register_module(lua_State* L);
// Loader: pushes the read-only proxy of a new module table.
int open_module(lua_State* L);

// Pushes a new tcp_endpoint userdata (ip: an IpAddress, port: a float).
void push_tcp_endpoint(lua_State* L, const boost::asio::ip::tcp::endpoint& endpoint);

// The lines of a list file without blank ones; throws boost::system::system_error
// "Cannot open " + path or "Cannot read " + path.
std::vector<std::string> read_lines(const std::string& path);

// Script functions.
int log(lua_State* L);
int load_set(lua_State* L);
int load_array(lua_State* L);

} // namespace kv::lua::morva
