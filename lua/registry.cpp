#include "lua/registry.hpp"

#include <utility>

namespace kv::lua {

void get_registry(lua_State* L, const char* key)
{
    lua_pushstring(L, key);
    lua_rawget(L, LUA_REGISTRYINDEX);
}

void set_registry(lua_State* L, const char* key)
{
    lua_pushstring(L, key);
    lua_insert(L, -2);
    lua_rawset(L, LUA_REGISTRYINDEX);
}

lua_State* main_state(lua_State* L)
{
    get_registry(L, registry_key::state);
    auto* main = static_cast<lua_State*>(lua_touserdata(L, -1));
    lua_pop(L, 1);
    return main != nullptr ? main : L;
}

registry_ref_t::registry_ref_t(lua_State* L) : main_(main_state(L)), ref_(luaL_ref(L, LUA_REGISTRYINDEX)) {}

registry_ref_t::registry_ref_t(registry_ref_t&& other) noexcept
    : main_(other.main_), ref_(std::exchange(other.ref_, LUA_NOREF))
{
}

registry_ref_t& registry_ref_t::operator=(registry_ref_t&& other) noexcept
{
    if (this != &other) {
        reset();
        main_ = other.main_;
        ref_ = std::exchange(other.ref_, LUA_NOREF);
    }
    return *this;
}

registry_ref_t::~registry_ref_t()
{
    reset();
}

void registry_ref_t::push(lua_State* L) const
{
    lua_rawgeti(L, LUA_REGISTRYINDEX, ref_);
}

void registry_ref_t::reset() noexcept
{
    if (main_ != nullptr && ref_ != LUA_NOREF)
        luaL_unref(main_, LUA_REGISTRYINDEX, ref_);
    ref_ = LUA_NOREF;
}

} // namespace kv::lua
