#include "lua/finalizer_guard.hpp"

#include <string_view>

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

// io's file handles carry "__gc" in a metatable getmetatable would hand
// out, whose "__index" (Lua 5.3) is that metatable itself: their methods
// move to a table of their own and the metatable is kept from scripts.
void protect_file_handles(lua_State* L)
{
    if (luaL_getmetatable(L, LUA_FILEHANDLE) != LUA_TTABLE) {
        lua_pop(L, 1);
        return;
    }
    lua_newtable(L);
    lua_pushnil(L);
    while (lua_next(L, -3) != 0) {
        // The methods: every key but the metamethods ("__gc", "__index", "__name", "__tostring").
        if (lua_type(L, -2) == LUA_TSTRING && std::string_view(lua_tostring(L, -2)).substr(0, 2) != "__") {
            lua_pushvalue(L, -2);
            lua_insert(L, -2);
            lua_rawset(L, -4);
        } else
            lua_pop(L, 1);
    }
    lua_setfield(L, -2, "__index");
    protect_metatable(L);
    lua_pop(L, 1);
}

} // namespace

void refuse_script_finalizers(lua_State* L)
{
    lua_checkstack(L, 4);
    protect_file_handles(L);
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
