#include "lua/connection_context.hpp"

#include "lua/intercept_types.hpp"

namespace fw::lua::intercept {

void push_context(lua_State* L, const connection_info_t&)
{
    lua_createtable(L, 0, 1);
    lua_pushvalue(L, -1);
    lua_setmetatable(L, -2);
    lua_pushcfunction(L, ctx_index);
    lua_setfield(L, -2, "__index");
}

int ctx_index(lua_State* L)
{
    lua_pushnil(L);
    return 1;
}

} // namespace fw::lua::intercept
