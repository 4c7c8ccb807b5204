#pragma once
// The allocator of the daemon's Lua state. Script code may hold at most a
// fixed amount of memory: an allocation that would take the state past it
// fails like Lua's own out-of-memory (after an emergency collection), so a
// hook that grows without bound gets the Lua error "not enough memory" and
// fails its run, instead of taking the host's memory.
#include <cstddef>

#include <lua.hpp>

namespace kv::lua {

// Hundreds of times what a real hook holds (its context, a few tables and
// strings, the results of lookups), yet a bound any host can afford.
inline constexpr std::size_t memory_limit = 256 * 1024 * 1024;

// A state whose allocator counts every block and refuses growth past `limit`
// while a run of script code is going on (see instruction_budget.hpp).
// Between runs the daemon's own small allocations are always served: Lua
// aborts on an allocation failure outside a protected call. The allocator
// tells the state's userdata owners (userdata_owners.hpp) of every free.
// Null when the state cannot be created. Close it with close_limited_state,
// which releases what the owners hold first.
lua_State* new_limited_state(std::size_t limit = memory_limit);
void close_limited_state(lua_State* L);

// Bytes held now by the allocator of a state made by new_limited_state.
std::size_t memory_in_use(lua_State* L);

} // namespace kv::lua
