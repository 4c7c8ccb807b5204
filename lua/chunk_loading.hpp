#pragma once
// Every way a script or the service loads a chunk goes through the check of
// precompiled chunks (bytecode_check.hpp) before Lua's loader sees the bytes:
// the hook buffer and file, and load, loadfile, dofile and require's searcher
// of Lua files, which replace the standard ones. A file is read once, and the
// bytes checked are the bytes loaded.
#include <string_view>

#include <lua.hpp>

namespace kv::lua {

// luaL_loadbufferx after the check: a corrupt precompiled chunk gives
// LUA_ERRSYNTAX with "corrupt precompiled chunk: ..." on top.
int load_checked_buffer(lua_State* L, std::string_view chunk, const char* name, const char* mode);

// luaL_loadfilex after the check (a null path reads standard input): skips a
// byte order mark and a first line starting with "#" as Lua does. Reads
// through a Lua buffer, so it may raise a memory error: call it where a Lua
// error is caught.
int load_checked_file(lua_State* L, const char* path, const char* mode);

// Replaces the global load, loadfile and dofile and the searcher of Lua files
// in package.searchers by ones that load through the two functions above.
// After luaL_openlibs.
void check_every_chunk_loaded(lua_State* L);

} // namespace kv::lua
