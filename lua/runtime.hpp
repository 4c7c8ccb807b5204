#pragma once
// The Lua state and the small helpers every script binding rests on: the
// program's registry entries, read-only module proxies, the exception userdata
// that carries native errors through Lua, and text utilities.
//
// Lua is built as C++: a Lua error raised in a binding unwinds the binding's
// frames with their destructors. A native exception must never leave a
// binding (Lua's protected calls would swallow its text): convert it first.
#include <exception>
#include <memory>
#include <string>
#include <string_view>

#include <lua.hpp>

namespace kv::lua {

using state_ptr_t = std::unique_ptr<lua_State, void (*)(lua_State*)>;

// A state with the memory limit of memory_limit.hpp. Throws
// std::runtime_error "Cannot create Lua state: Not enough memory".
state_ptr_t new_state();

// Opens the standard libraries as scripts get them: binary chunks checked on
// every load path, no finalizers, the files io opens watched (closed even
// when Lua skips their finalizer), the daemon's own pattern functions, and
// an os.exit that raises an error instead of ending the process.
void open_libraries(lua_State* L);

// Creates the runtime's registry entries; after open_libraries, before any module.
void init_registry(lua_State* L);

// Replaces the value on top by its read-only proxy.
void apply_make_const(lua_State* L);

// Loads a chunk (source or precompiled) held in memory under the given chunk
// name; pushes the function or the error message and returns Lua's status.
int load_chunk(lua_State* L, const char* name, std::string_view text);

// With a table at 1, a key at 2 and a value on top (3): table[key] = value
// (raw), the value stays on top. Returns 1, the value, for getters.
int cache_field(lua_State* L);

// "__concat" of the program's userdata types; index is 1 when the first
// operand is the calling type's userdata, else 2.
int concat_with_tostring(lua_State* L, int index);

std::string type_name(int type);
// "Expected <expected>, got <actual>".
std::string type_mismatch_text(int expected, int actual);
// The string (or number, converted in place) at index, embedded zeros kept.
std::string to_string(lua_State* L, int index);
// "__tostring" when the value has one, else a string or number (argument error otherwise).
std::string to_string_or_meta(lua_State* L, int index);
// luaL_tolstring of the value; the value stays.
std::string tostring(lua_State* L, int index);
// luaL_tolstring run in a protected call of its own thread, for code outside
// every protected call (completions, a coroutine's end): a "__tostring" that
// fails gives its error text when that is a string, else "Unexpected error";
// it runs on the instruction budget of a run (Lua's debug hooks do not reach
// "__gc" metamethods, which no budget bounds).
std::string safe_tostring(lua_State* L, int index);
// Lower case by the ctype facet of the global locale.
std::string lower_case(std::string text);
// Text of the error object on top, which is popped; safe outside every
// protected call.
std::string error_text(lua_State* L);

// Exception userdata (metatable "kv.lua.exception_ptr_metatable").
void push_exception(lua_State* L, std::exception_ptr e);
// The held exception when the value at index is an exception userdata, else
// null. The exception is empty in one whose finalizer ran (a weak table's key).
const std::exception_ptr* test_exception(lua_State* L, int index);

// Raises the text of a native exception as a Lua error (luaL_error, so with
// the position of the calling Lua code). Call it outside the
// catch block, so the native exception is already released.
[[noreturn]] void raise_error(lua_State* L, const std::string& text);

// Runs a binding's body and turns any std::exception it throws into a Lua
// error with the exception's text. Lua errors and yields pass unchanged.
template <typename F>
auto guarded(lua_State* L, F&& body) -> decltype(body())
{
    std::string text;
    try {
        return body();
    } catch (const std::exception& e) {
        text = e.what();
    }
    raise_error(L, text);
}

} // namespace kv::lua
