#pragma once
// string.find, string.match, string.gmatch and string.gsub with the semantics
// and error texts of Lua 5.3's own, whose matching work is charged to the
// instruction budget of the run (instruction_budget.hpp). Lua's count hook
// does not see work inside a C function, so a backtracking pattern such as
// ("a"):rep(30000):find(".-.-.-.-.-.-b") would otherwise hold the event loop
// for minutes.
#include <lua.hpp>

namespace kv::lua {

// Replaces the four functions in the string library's table (the global
// "string", package.loaded.string and the strings' "__index" alike); after
// luaL_openlibs.
void register_string_patterns(lua_State* L);

} // namespace kv::lua
