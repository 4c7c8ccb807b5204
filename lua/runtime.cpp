#include "lua/runtime.hpp"

#include <cstdlib>
#include <locale>
#include <new>
#include <stdexcept>

#include "common/log_hook.hpp"
#include "lua/chunk_loading.hpp"
#include "lua/file_handles.hpp"
#include "lua/finalizer_guard.hpp"
#include "lua/instruction_budget.hpp"
#include "lua/memory_limit.hpp"
#include "lua/registry.hpp"
#include "lua/string_patterns.hpp"
#include "lua/userdata_owners.hpp"

namespace kv::lua {

namespace {

// A function of (table, key) returning table[key], metamethods honoured.
constexpr std::string_view table_getter_chunk = R"lua(local t, k = ...
return t[k]
)lua";

// Returns the read-only proxy factory. Keys starting with "~" or "_" are hidden.
constexpr std::string_view make_const_chunk = R"lua(local type, next, rawget, rawequal = type, next, rawget, rawequal
local tostring, error, setmetatable = tostring, error, setmetatable
local getmt = (debug and debug.getmetatable) or getmetatable

local function hidden(key)
  if type(key) ~= "string" then return false end
  local c = key:sub(1, 1)
  return c == "~" or c == "_"
end

local cache = setmetatable({}, { __mode = "k" })

local make_const
make_const = function(obj)
  local const = cache[obj]
  if const ~= nil then return const end
  const = {}
  local mt = { __metatable = true, object = obj }
  mt.__index = function(_, key)
    if hidden(key) then return nil end
    local val = obj[key]
    if type(val) == "table" then return make_const(val) end
    return val
  end
  mt.__newindex = function(_, key, val)
    if not hidden(key) then
      local omt = getmt(obj)
      if type(omt) == "table" and rawget(omt, "__newindex") ~= nil then
        obj[key] = val
        return
      end
    end
    error("Table modification is not allowed", 2)
  end
  mt.__concat = function(first, second)
    if rawequal(second, const) then return first .. obj end
    return obj .. second
  end
  mt.__tostring = function() return tostring(obj) end
  mt.__len = function() return #obj end
  mt.__pairs = function(c)
    local function iter(_, key)
      local k = key
      repeat
        k = next(obj, k)
      until k == nil or not hidden(k)
      if k == nil then return nil end
      return k, c[k]
    end
    return iter, c
  end
  setmetatable(const, mt)
  cache[obj] = const
  return const
end
return make_const
)lua";

int exception_gc(lua_State* L)
{
    finalize_value(L, static_cast<std::exception_ptr*>(luaL_checkudata(L, 1, registry_key::exception_ptr_metatable)));
    return 0;
}

int exception_tostring(lua_State* L)
{
    auto* held = static_cast<std::exception_ptr*>(luaL_checkudata(L, 1, registry_key::exception_ptr_metatable));
    return guarded(L, [&] {
        std::string text = *held ? kv::util::exception_message(*held) : std::string("Unexpected exception");
        lua_pushlstring(L, text.data(), text.size());
        return 1;
    });
}

int concat_continuation(lua_State*, int, lua_KContext)
{
    return 1;
}

void load_or_throw(lua_State* L, const char* name, std::string_view text)
{
    if (load_chunk(L, name, text) != LUA_OK)
        throw std::runtime_error("Cannot load " + std::string(name) + ": " + error_text(L));
}

// Ending the process from a hook would skip the daemon's clean-up: its
// rules, route and state file would stay behind.
int refuse_exit(lua_State* L)
{
    return luaL_error(L, "os.exit is not allowed in a hook");
}

} // namespace

state_ptr_t new_state()
{
    lua_State* L = new_limited_state();
    if (L == nullptr)
        throw std::runtime_error("Cannot create Lua state: Not enough memory");
    return state_ptr_t(L, &close_limited_state);
}

void open_libraries(lua_State* L)
{
    luaL_openlibs(L);
    check_every_chunk_loaded(L);
    refuse_script_finalizers(L);
    watch_file_handles(L);
    register_string_patterns(L);
    // The library table is the one package.loaded holds too.
    if (lua_getglobal(L, "os") == LUA_TTABLE) {
        lua_pushcfunction(L, refuse_exit);
        lua_setfield(L, -2, "exit");
    }
    lua_pop(L, 1);
}

void init_registry(lua_State* L)
{
    lua_pushlightuserdata(L, L);
    set_registry(L, registry_key::state);

    load_or_throw(L, "table_getter", table_getter_chunk);
    set_registry(L, registry_key::table_getter);

    load_or_throw(L, "make_const", make_const_chunk);
    if (lua_pcall(L, 0, 1, 0) != LUA_OK)
        throw std::runtime_error("Cannot run make_const: " + error_text(L));
    set_registry(L, registry_key::make_const);

    lua_newtable(L);
    set_registry(L, registry_key::coroutine_tag);

    lua_pushlightuserdata(L, nullptr);
    set_registry(L, registry_key::coroutine);

    lua_newtable(L);
    set_registry(L, registry_key::coroutine_environment);

    luaL_newmetatable(L, registry_key::exception_ptr_metatable); // also sets "__name"
    lua_pushcfunction(L, exception_gc);
    lua_setfield(L, -2, "__gc");
    lua_pushcfunction(L, exception_tostring);
    lua_setfield(L, -2, "__tostring");
    protect_metatable(L);
    lua_pop(L, 1);
}

void apply_make_const(lua_State* L)
{
    get_registry(L, registry_key::make_const);
    lua_insert(L, -2);
    if (lua_pcall(L, 1, 1, 0) != LUA_OK)
        lua_error(L);
}

int load_chunk(lua_State* L, const char* name, std::string_view text)
{
    // Source or precompiled: chunks come from the administrator, who may
    // compile them with luac. Lua refuses a precompiled chunk whose header
    // does not fit this build; the check refuses one that is corrupt.
    return load_checked_buffer(L, text, name, nullptr);
}

int cache_field(lua_State* L)
{
    lua_pushvalue(L, 2);
    lua_pushvalue(L, -2);
    lua_rawset(L, 1);
    return 1;
}

int concat_with_tostring(lua_State* L, int index)
{
    luaL_checkany(L, 1);
    luaL_checkany(L, 2);
    lua_settop(L, 2);
    if (index == 1) {
        if (luaL_getmetafield(L, 2, "__concat") != LUA_TNIL) {
            luaL_tolstring(L, 1, nullptr);
            lua_pushvalue(L, 2);
            lua_callk(L, 2, 1, 0, concat_continuation);
            return 1;
        }
        luaL_tolstring(L, 1, nullptr);
        lua_replace(L, 1);
    } else {
        luaL_tolstring(L, 2, nullptr);
        lua_replace(L, 2);
    }
    lua_concat(L, 2);
    return 1;
}

std::string type_name(int type)
{
    switch (type) {
    case LUA_TNIL: return "nil";
    case LUA_TBOOLEAN: return "boolean";
    case LUA_TLIGHTUSERDATA: return "light userdata";
    case LUA_TNUMBER: return "number";
    case LUA_TSTRING: return "string";
    case LUA_TTABLE: return "table";
    case LUA_TFUNCTION: return "function";
    case LUA_TUSERDATA: return "userdata";
    case LUA_TTHREAD: return "thread";
    default: return "no value";
    }
}

std::string type_mismatch_text(int expected, int actual)
{
    return "Expected " + type_name(expected) + ", got " + type_name(actual);
}

std::string to_string(lua_State* L, int index)
{
    std::size_t size = 0;
    const char* text = lua_tolstring(L, index, &size);
    return text != nullptr ? std::string(text, size) : std::string();
}

std::string to_string_or_meta(lua_State* L, int index)
{
    index = lua_absindex(L, index);
    luaL_checkany(L, index);
    if (luaL_callmeta(L, index, "__tostring")) {
        if (!lua_isstring(L, -1))
            luaL_error(L, "'__tostring' must return a string");
        std::string text = to_string(L, -1);
        lua_pop(L, 1);
        return text;
    }
    std::size_t size = 0;
    const char* text = luaL_checklstring(L, index, &size);
    return std::string(text, size);
}

std::string tostring(lua_State* L, int index)
{
    std::size_t size = 0;
    const char* text = luaL_tolstring(L, index, &size);
    std::string result(text, size);
    lua_pop(L, 1);
    return result;
}

std::string safe_tostring(lua_State* L, int index)
{
    index = lua_absindex(L, index);
    lua_checkstack(L, 2);
    lua_State* T = lua_newthread(L);
    lua_pushcfunction(T, [](lua_State* T) {
        luaL_tolstring(T, 1, nullptr);
        return 1;
    });
    lua_pushvalue(L, index);
    lua_xmove(L, T, 1);
    std::string text;
    // A "__tostring" that loops is stopped like any other script code.
    const budget_scope_t budget(T);
    if (lua_pcall(T, 1, 1, 0) == LUA_OK || lua_type(T, -1) == LUA_TSTRING)
        text = to_string(T, -1);
    else
        text = "Unexpected error";
    lua_pop(L, 1);
    return text;
}

std::string lower_case(std::string text)
{
    const auto& facet = std::use_facet<std::ctype<char>>(std::locale());
    facet.tolower(text.data(), text.data() + text.size());
    return text;
}

std::string error_text(lua_State* L)
{
    std::string text;
    if (lua_type(L, -1) == LUA_TSTRING || lua_type(L, -1) == LUA_TNUMBER)
        text = to_string(L, -1);
    else if (lua_getmetatable(L, -1)) {
        lua_pop(L, 1);
        // Callers are outside every protected call: a "__tostring" that
        // fails must not reach Lua's panic.
        text = safe_tostring(L, -1);
    } else
        text = "Unexpected error";
    lua_pop(L, 1);
    return text;
}

void push_exception(lua_State* L, std::exception_ptr e)
{
    auto* held = new (lua_newuserdata(L, sizeof(std::exception_ptr))) std::exception_ptr(std::move(e));
    luaL_setmetatable(L, registry_key::exception_ptr_metatable);
    watch_value(L, held);
}

const std::exception_ptr* test_exception(lua_State* L, int index)
{
    return static_cast<const std::exception_ptr*>(luaL_testudata(L, index, registry_key::exception_ptr_metatable));
}

void raise_error(lua_State* L, const std::string& text)
{
    // luaL_error, without cutting the text at a zero byte
    luaL_where(L, 1);
    lua_pushlstring(L, text.data(), text.size());
    lua_concat(L, 2);
    lua_error(L);
    std::abort(); // not reached: a Lua error unwinds
}

} // namespace kv::lua
