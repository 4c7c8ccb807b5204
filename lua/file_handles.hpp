#pragma once
// Files a script opens through io are closed even when Lua skips their
// handle's finalizer: every io function that opens one watches the handle's
// userdata (userdata_owners.hpp). When Lua frees a handle still open, its
// file is closed at the next safe point, by the handle's own close function;
// a handle closed already (by the script or its finalizer) is left alone.
#include <lua.hpp>

namespace kv::lua {

// Replaces io.open, io.tmpfile, io.popen, io.lines, io.input and io.output by
// versions that watch the handles they open; they behave as Lua's own,
// argument errors included. After luaL_openlibs.
void watch_file_handles(lua_State* L);

} // namespace kv::lua
