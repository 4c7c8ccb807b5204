#include "lua/lookup.hpp"

#include <stdexcept>

#include "common/log_hook.hpp"
#include "lua/coroutine.hpp"
#include "lua/registry.hpp"
#include "lua/runtime.hpp"

namespace kv::lua::lookup {

namespace {

delegate_t& checked_delegate(lua_State* L)
{
    delegate_t* delegate = get_delegate(L);
    if (delegate == nullptr)
        luaL_error(L, "No lookup delegate is set");
    return *delegate;
}

void push_failure(lua_State* L, const char* prefix, const std::exception_ptr& e)
{
    push_exception(L, std::make_exception_ptr(std::runtime_error(prefix + kv::util::exception_message(e))));
}

void on_lookup_result(lua_State* L, kv::lua::coroutine_t* co, std::exception_ptr e, std::vector<std::string> values)
{
    lua_checkstack(L, 3);
    if (e) {
        push_failure(L, "Lookup: ", e);
    } else {
        lua_createtable(L, static_cast<int>(values.size()), 0);
        lua_Integer i = 0;
        for (const auto& value : values) {
            lua_pushlstring(L, value.data(), value.size());
            lua_rawseti(L, -2, ++i);
        }
    }
    co->resume(0);
}

void on_check_result(lua_State* L, kv::lua::coroutine_t* co, std::exception_ptr e, bool found)
{
    lua_checkstack(L, 3);
    if (e)
        push_failure(L, "Check: ", e);
    else
        lua_pushboolean(L, found);
    co->resume(0);
}

int raise_or_return(lua_State* L, int, lua_KContext)
{
    if (lua_type(L, -1) == LUA_TUSERDATA)
        return lua_error(L);
    return 1;
}

} // namespace

void set_delegate(lua_State* L, delegate_t* delegate)
{
    lua_pushlightuserdata(L, delegate);
    set_registry(L, delegate_key);
}

delegate_t* get_delegate(lua_State* L)
{
    get_registry(L, delegate_key);
    auto* delegate = static_cast<delegate_t*>(lua_touserdata(L, -1));
    lua_pop(L, 1);
    return delegate;
}

void register_module(lua_State* L)
{
    luaL_requiref(L, "morva.lookup", open_module, 0);
    lua_pop(L, 1);
}

int open_module(lua_State* L)
{
    const luaL_Reg functions[] = {
        {"lookup", lookup},
        {"check", check},
        {nullptr, nullptr},
    };
    luaL_newlib(L, functions);
    apply_make_const(L);
    return 1;
}

std::pair<std::string, std::string> parse_list_name(lua_State* L, int i)
{
    const std::string name = to_string_or_meta(L, i);
    const auto at = name.find('@');
    if (at == std::string::npos)
        luaL_argerror(L, i, "at character not found");
    return {name.substr(0, at), name.substr(at + 1)};
}

params_t read_params(lua_State* L, int i)
{
    params_t params;
    if (lua_gettop(L) < i)
        return params;
    luaL_checktype(L, i, LUA_TTABLE);
    lua_pushnil(L);
    while (lua_next(L, i) != 0) {
        if (lua_type(L, -2) != LUA_TSTRING || lua_type(L, -1) != LUA_TSTRING)
            luaL_argerror(L, i, "all keys and values must be strings");
        params.emplace(lower_case(to_string(L, -2)), to_string(L, -1)); // the first of equal keys stays
        lua_pop(L, 1);
    }
    return params;
}

int lookup(lua_State* L)
{
    // No structured bindings: clang before 16 cannot capture them in the lambda below.
    auto name = parse_list_name(L, 1);
    params_t params = read_params(L, 2);
    kv::lua::coroutine_t* co = kv::lua::current_coroutine(L);
    delegate_t& delegate = checked_delegate(L);
    guarded(L, [&] {
        delegate.lookup(std::move(name.first), std::move(name.second), std::move(params),
                        co->wrap([L, co](std::exception_ptr e, std::vector<std::string> values) {
                            on_lookup_result(L, co, std::move(e), std::move(values));
                        }));
        return 0;
    });
    return kv::lua::coroutine_t::yield(L, raise_or_return);
}

int check(lua_State* L)
{
    if (lua_type(L, 1) != LUA_TSTRING) {
        if (luaL_callmeta(L, 1, "__tostring")) {
            lua_replace(L, 1);
        } else {
            push_exception(L, std::make_exception_ptr(std::runtime_error(
                                  "Check: first arg must be a string or have __tostring metamethod")));
            return lua_error(L);
        }
    }
    std::string value = to_string(L, 1);
    auto name = parse_list_name(L, 2);
    params_t params = read_params(L, 3);
    kv::lua::coroutine_t* co = kv::lua::current_coroutine(L);
    delegate_t& delegate = checked_delegate(L);
    guarded(L, [&] {
        delegate.check(std::move(name.first), std::move(name.second), std::move(value), std::move(params),
                       co->wrap([L, co](std::exception_ptr e, bool found) {
                           on_check_result(L, co, std::move(e), found);
                       }));
        return 0;
    });
    return kv::lua::coroutine_t::yield(L, raise_or_return);
}

} // namespace kv::lua::lookup
