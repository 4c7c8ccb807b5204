#pragma once
// Scripts may not give their objects finalizers. Lua runs a "__gc"
// metamethod from whichever allocation steps the collector, also one the
// daemon makes outside every protected call, where its error would abort the
// process; and it switches the count hook off meanwhile, so a finalizer that
// loops would escape the instruction budget. Lua 5.3 marks an object for
// finalization only when a metatable with "__gc" is set on it, so refusing
// such metatables where scripts set them is enough, as long as the
// metatables that carry one already (the daemon's own userdata's, io's file
// handles') stay out of scripts' reach, where a script could replace it.
#include <lua.hpp>

namespace kv::lua {

// Replaces setmetatable and debug.setmetatable (when the debug library is
// open) with versions that refuse, for a table or a full userdata, a
// metatable with a "__gc" field; they behave as Lua's own otherwise. Keeps
// the metatable of io's file handles from scripts, their methods as they
// were. After luaL_openlibs.
void refuse_script_finalizers(lua_State* L);

// Sets "__metatable" in the metatable on top of the stack, so getmetatable
// does not hand it to scripts (which could give it a "__gc" of their own).
void protect_metatable(lua_State* L);

} // namespace kv::lua
