#include "fw/service/lua_service.hpp"

#include <stdexcept>
#include <utility>

#include <boost/asio/io_context.hpp>

#include "fw/service/process_finder.hpp"
#include "linux_firewall_config.pb.h"
#include "links/quisad/quisad.hpp"
#include "lua/chunk_loading.hpp"
#include "lua/coroutine_make.hpp"
#include "lua/intercept_driver.hpp"
#include "lua/instruction_budget.hpp"
#include "lua/intercept_types.hpp"
#include "lua/morva.hpp"
#include "lua/registry.hpp"
#include "lua/userdata_owners.hpp"

namespace fw::service {

namespace {

// Globals are read raw: a metamethod a script put on _G must not raise an
// error here, outside every protected call.
void push_global(lua_State* L, const char* name)
{
    lua_rawgeti(L, LUA_REGISTRYINDEX, LUA_RIDX_GLOBALS);
    lua_pushstring(L, name);
    lua_rawget(L, -2);
    lua_remove(L, -2);
}

void set_package_paths(lua_State* L, const kv::LinuxFirewallConfig& config)
{
    push_global(L, "package");
    if (!lua_istable(L, -1)) {
        const std::string type = kv::lua::type_name(lua_type(L, -1));
        lua_pop(L, 1);
        throw std::runtime_error("Global variable 'package' is not a table but " + type);
    }
    lua_pushliteral(L, "path");
    lua_pushlstring(L, config.lua_package_path().data(), config.lua_package_path().size());
    lua_rawset(L, -3);
    lua_pushliteral(L, "cpath");
    lua_pushlstring(L, config.lua_package_c_path().data(), config.lua_package_c_path().size());
    lua_rawset(L, -3);
    lua_pop(L, 1);
}

// Loading and running the chunk are script work: the instruction budget and
// the memory limit apply (a corrupt precompiled chunk may announce a huge
// array). Only Lua's protected calls run inside: a refused allocation must be
// their error, never one outside every protected call.
template <typename F>
int budgeted(lua_State* L, F&& protected_call)
{
    const kv::lua::budget_scope_t budget(L);
    return protected_call();
}

// Reads and loads the hook file inside a protected call (reading goes through
// Lua's allocator). Argument: the path as light userdata.
int load_hook_file(lua_State* L)
{
    const auto* path = static_cast<const std::string*>(lua_touserdata(L, 1));
    if (kv::lua::load_checked_file(L, path->c_str(), nullptr) != LUA_OK)
        return lua_error(L);
    return 1;
}

// Leaves the chunk's function on the stack.
void load_hook_chunk(lua_State* L, const kv::LuaChunk& chunk)
{
    switch (chunk.chunk_case()) {
    case kv::LuaChunk::kBuffer:
        if (budgeted(L, [&] { return kv::lua::load_chunk(L, chunk.buffer().c_str(), chunk.buffer()); }) != LUA_OK)
            throw std::runtime_error("Cannot load chunk: " + kv::lua::error_text(L));
        return;
    case kv::LuaChunk::kFile:
        // Read once: the bytes checked are the bytes loaded.
        lua_pushcfunction(L, load_hook_file);
        lua_pushlightuserdata(L, const_cast<std::string*>(&chunk.file()));
        if (budgeted(L, [&] { return lua_pcall(L, 1, 1, 0); }) != LUA_OK)
            throw std::runtime_error("Cannot load file " + chunk.file() + ": " + kv::lua::error_text(L));
        return;
    case kv::LuaChunk::CHUNK_NOT_SET:
        break;
    }
    throw std::runtime_error("No chunk set");
}

void load_hook(lua_State* L, const kv::LinuxFirewallConfig& config)
{
    load_hook_chunk(L, config.intercept_hook());
    // The global persists between chunks: a new chunk that no longer defines
    // the hook must be refused, not let the previous one go on deciding.
    lua_rawgeti(L, LUA_REGISTRYINDEX, LUA_RIDX_GLOBALS);
    lua_pushliteral(L, "intercept_hook");
    lua_pushnil(L);
    lua_rawset(L, -3);
    lua_pop(L, 1);
    if (budgeted(L, [&] { return lua_pcall(L, 0, 0, 0); }) != LUA_OK)
        throw std::runtime_error("Cannot execute chunk: " + kv::lua::error_text(L));
    push_global(L, "intercept_hook");
    if (!lua_isfunction(L, -1)) {
        lua_pop(L, 1);
        throw std::runtime_error("Cannot find function intercept_hook");
    }
    kv::lua::set_registry(L, lua_t::intercept_hook_key);
}

} // namespace

lua_t::lua_t(boost::asio::io_context& io, const kv::LinuxFirewallConfig& config,
             service::process_finder_t& process_finder, quisad::quisad_t& quisad)
    : io_(io), config_(config), process_finder_(process_finder), quisad_(quisad), state_(kv::lua::new_state())
{
    lua_State* L = state_.get();
    kv::lua::open_libraries(L);
    kv::lua::init_registry(L);
    kv::lua::register_coroutine_make(L);
    kv::lua::morva::init_registry(L, io_);
    kv::lua::morva::register_module(L);
    lua::intercept::register_intercept_module(L, this);
    kv::lua::lookup::set_delegate(L, this);
    kv::lua::lookup::register_module(L);
}

lua_t::~lua_t() = default;

void lua_t::configure()
{
    lua_State* L = state_.get();
    set_package_paths(L, config_);
    const int top = lua_gettop(L);
    try {
        load_hook(L, config_);
    } catch (const std::exception& e) {
        lua_settop(L, top);
        kv::lua::release_orphans(L);
        throw std::runtime_error(std::string("Cannot load intercept hook: ") + e.what());
    }
    // The chunk has run: no script code runs now, what values it dropped
    // without their finalizer held can go.
    kv::lua::release_orphans(L);
}

std::unique_ptr<lua::intercept::driver_t> lua_t::create_driver(const lua::intercept::connection_info_t& info,
                                                               std::string session_id)
{
    lua_State* L = state_.get();
    kv::lua::get_registry(L, intercept_hook_key);
    return std::make_unique<lua::intercept::driver_t>(L, io_, info, std::move(session_id));
}

void lua_t::get_pid(const boost::asio::ip::tcp::endpoint& src, const boost::asio::ip::tcp::endpoint& dst,
                    callback_t callback)
{
    process_finder_.find_pid({src, dst, [callback = std::move(callback)](std::exception_ptr error, int pid) {
                                  if (error)
                                      callback(std::move(error), 0);
                                  else
                                      callback(nullptr, pid);
                              }});
}

void lua_t::lookup(std::string type, std::string tag, kv::lua::lookup::params_t params,
                   lookup_callback_t callback)
{
    quisad_.lookup(std::move(type), tag, std::move(params), std::move(callback));
}

void lua_t::check(std::string type, std::string tag, std::string value, kv::lua::lookup::params_t params,
                  check_callback_t callback)
{
    quisad_.check(std::move(type), tag, value, std::move(params), std::move(callback));
}

} // namespace fw::service
