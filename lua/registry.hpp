#pragma once
// Raw string-keyed access to the Lua registry and references that keep one
// Lua value alive from native code.
#include <lua.hpp>

namespace kv::lua {

// Registry keys of the runtime; modules add their own under their prefixes.
namespace registry_key {
inline constexpr const char* state = "kv.lua.regid_state";
inline constexpr const char* table_getter = "kv.lua.table_getter";
inline constexpr const char* make_const = "kv.lua.make_const";
inline constexpr const char* coroutine_tag = "kv.lua.coroutine_tag";
inline constexpr const char* coroutine = "kv.lua.coroutine";
inline constexpr const char* coroutine_environment = "kv.lua.coroutine_environment";
inline constexpr const char* exception_ptr_metatable = "kv.lua.exception_ptr_metatable";
} // namespace registry_key

// Pushes registry[key] (raw).
void get_registry(lua_State* L, const char* key);
// registry[key] = the value on top (raw); pops it.
void set_registry(lua_State* L, const char* key);
// The main state as recorded by init_registry.
lua_State* main_state(lua_State* L);

// Keeps one value alive through a registry reference on the main state.
class registry_ref_t {
public:
    registry_ref_t() noexcept = default;
    // Pops the value on top of L's stack and references it.
    explicit registry_ref_t(lua_State* L);
    registry_ref_t(registry_ref_t&& other) noexcept;
    registry_ref_t& operator=(registry_ref_t&& other) noexcept;
    registry_ref_t(const registry_ref_t&) = delete;
    registry_ref_t& operator=(const registry_ref_t&) = delete;
    ~registry_ref_t();

    // Pushes the value onto any thread of the state.
    void push(lua_State* L) const;
    // Drops the reference now (a no-op when empty).
    void reset() noexcept;
    lua_State* state() const noexcept { return main_; }
    int ref() const noexcept { return ref_; }

private:
    lua_State* main_ = nullptr;
    int ref_ = LUA_NOREF;
};

} // namespace kv::lua
