#pragma once
// The hook's ctx: a table that finds each of its fields on first read and
// keeps what it found. Reading a process fact may suspend the session until
// the process finder answers.
#include <lua.hpp>

namespace fw::lua::intercept {

struct connection_info_t;

// Pushes a new ctx table for the connection; nothing is looked up yet.
void push_context(lua_State* L, const connection_info_t& info);

// The table's "__index": (table, key) -> the field, or nil for any other key.
int ctx_index(lua_State* L);

} // namespace fw::lua::intercept
