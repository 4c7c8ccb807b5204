#include "lua/finalizer_guard.hpp"

namespace kv::lua {

namespace {

// Raises the argument error when setting the metatable at index 2 on the
// value at index 1 would mark that value for finalization.
void refuse_finalizer(lua_State* L)
{
    const int target = lua_type(L, 1);
    if ((target != LUA_TTABLE && target != LUA_TUSERDATA) || lua_type(L, 2) != LUA_TTABLE)
        return;
    lua_pushliteral(L, "__gc");
    const bool has_gc = lua_rawget(L, 2) != LUA_TNIL;
    lua_pop(L, 1);
    if (has_gc)
        luaL_argerror(L, 2, "'__gc' metamethods are not allowed");
}

void check_metatable_argument(lua_State* L)
{
    const int type = lua_type(L, 2);
    luaL_argcheck(L, type == LUA_TNIL || type == LUA_TTABLE, 2, "nil or table expected");
}

// setmetatable(table, metatable or nil) -> table
int guarded_setmetatable(lua_State* L)
{
    luaL_checktype(L, 1, LUA_TTABLE);
    check_metatable_argument(L);
    if (luaL_getmetafield(L, 1, "__metatable") != LUA_TNIL)
        return luaL_error(L, "cannot change a protected metatable");
    refuse_finalizer(L);
    lua_settop(L, 2);
    lua_setmetatable(L, 1);
    return 1;
}

// debug.setmetatable(value, metatable or nil) -> value
int guarded_debug_setmetatable(lua_State* L)
{
    check_metatable_argument(L);
    refuse_finalizer(L);
    lua_settop(L, 2);
    lua_setmetatable(L, 1);
    return 1;
}

} // namespace

void refuse_script_finalizers(lua_State* L)
{
    lua_checkstack(L, 2);
    lua_pushglobaltable(L);
    lua_pushcfunction(L, guarded_setmetatable);
    lua_setfield(L, -2, "setmetatable");
    lua_pop(L, 1);
    // The library table is the one package.loaded holds too.
    if (lua_getglobal(L, "debug") == LUA_TTABLE) {
        lua_pushcfunction(L, guarded_debug_setmetatable);
        lua_setfield(L, -2, "setmetatable");
    }
    lua_pop(L, 1);
}

void protect_metatable(lua_State* L)
{
    lua_pushboolean(L, 1);
    lua_setfield(L, -2, "__metatable");
}

} // namespace kv::lua
