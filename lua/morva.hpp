#pragma once
// The script module "morva": logging, list files, IP addresses, endpoints,
// sleep and futures. Loaded with require("morva"); never a global.
#include <functional>
#include <string>
#include <unordered_map>

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

// Pushes each line of a list file but blank ones onto L and calls on_line,
// which pops it. The lines are the state's memory, under its limit, and
// reading counts against the run's instruction budget. Raises the Lua error
// "Cannot open " + path or "Cannot read " + path + ": " + the system's text;
// a file with nothing to read yet (a FIFO, a device) fails, it is not awaited.
void read_lines(lua_State* L, const std::string& path, const std::function<void()>& on_line);

// Script functions.
int log(lua_State* L);
int load_set(lua_State* L);
int load_array(lua_State* L);

} // namespace kv::lua::morva
