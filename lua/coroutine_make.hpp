#pragma once
// The module "coroutine.make": script coroutines bound to a tag of their own,
// which pass every other yield (the program's waits) outward.
#include <lua.hpp>

namespace kv::lua {

void register_coroutine_make(lua_State* L);
int open_coroutine_make(lua_State* L);

} // namespace kv::lua
