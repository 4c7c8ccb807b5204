#include "lua/intercept_types.hpp"

#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>

#include "lua/registry.hpp"
#include "lua/runtime.hpp"
#include "lua/userdata_owners.hpp"

namespace fw::lua::intercept {

namespace {

// Called with (hook, ctx): runs the hook under pcall and returns
// val, ok, exe_path, user. Only a CHECK (the default for anything that is not
// pass, drop or reject, and for a failed hook) looks the two facts up.
constexpr std::string_view get_artifacts_chunk = R"lua(local hook, ctx = ...
local morva = require("morva")

local function is_check(v)
  local s = string.lower(tostring(v))
  return not (s == "pass" or s == "drop" or s == "reject")
end

local ok, val = pcall(hook, ctx)
if not ok or is_check(val) then
  morva.debug("Verdict is CHECK; gathering hook artifacts for Pellad")
  return val, ok, ctx.exe_path, ctx.user
end
return val, ok, rawget(ctx, "exe_path"), rawget(ctx, "user")
)lua";

int do_nothing(lua_State*)
{
    return 0;
}

using shared_pointer_t = std::shared_ptr<void>;

int release_shared_ptr(lua_State* L)
{
    auto* held = static_cast<shared_pointer_t*>(luaL_checkudata(L, 1, registry_key::shared_ptr_metatable));
    kv::lua::finalize_value(L, held);
    return 0;
}

} // namespace

const char* verdict_log_word(verdict_t verdict)
{
    switch (verdict) {
    case CHECK: return "CHECK";
    case PASS: return "PASS";
    case DROP: return "DROP";
    case REJECT: return "REJECT";
    }
    return "CHECK";
}

void push_shared_pointer(lua_State* L, std::shared_ptr<void> pointer)
{
    auto* held = new (lua_newuserdata(L, sizeof(shared_pointer_t))) shared_pointer_t(std::move(pointer));
    luaL_setmetatable(L, registry_key::shared_ptr_metatable);
    kv::lua::watch_value(L, held);
}

void* shared_pointer_target(lua_State* L, int index)
{
    return static_cast<shared_pointer_t*>(luaL_checkudata(L, index, registry_key::shared_ptr_metatable))->get();
}

void register_intercept_module(lua_State* L, process_finder_t* process_finder)
{
    lua_pushlightuserdata(L, process_finder);
    kv::lua::set_registry(L, registry_key::process_finder);

    luaL_newmetatable(L, registry_key::tcp_endpoint_metatable);
    lua_pushcfunction(L, do_nothing);
    lua_setfield(L, -2, "__gc");
    lua_pop(L, 1);

    luaL_newmetatable(L, registry_key::shared_ptr_metatable);
    lua_pushcfunction(L, release_shared_ptr);
    lua_setfield(L, -2, "__gc");
    lua_pop(L, 1);

    if (kv::lua::load_chunk(L, registry_key::get_artifacts, get_artifacts_chunk) != LUA_OK)
        throw std::runtime_error("Cannot load " + std::string(registry_key::get_artifacts) + ": " +
                                 kv::lua::error_text(L));
    kv::lua::set_registry(L, registry_key::get_artifacts);
}

} // namespace fw::lua::intercept
