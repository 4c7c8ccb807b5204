#pragma once
// The script module "morva.lookup": lookups and checks answered by quisad
// through a delegate; the calling program coroutine waits for the answer.
#include <exception>
#include <functional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include <lua.hpp>

namespace kv::lua::lookup {

using params_t = std::unordered_map<std::string, std::string>;

class delegate_t {
public:
    using lookup_callback_t = std::function<void(std::exception_ptr, std::vector<std::string>)>;
    using check_callback_t = std::function<void(std::exception_ptr, bool)>;

    virtual ~delegate_t() = default;
    // Each returns at once; the callback runs later, once, from the event loop.
    virtual void lookup(std::string type, std::string tag, params_t params, lookup_callback_t callback) = 0;
    virtual void check(std::string type, std::string tag, std::string value, params_t params,
                       check_callback_t callback) = 0;
};

inline constexpr const char* delegate_key = "kv.lua.lookup.delegate";

void set_delegate(lua_State* L, delegate_t* delegate);
delegate_t* get_delegate(lua_State* L);

// Registers the loader of "morva.lookup" (no global) and loads it once.
void register_module(lua_State* L);
int open_module(lua_State* L);

// (type, tag) of the list name "type@tag" at argument i, split at its first at sign.
std::pair<std::string, std::string> parse_list_name(lua_State* L, int i);
// The optional parameter table at argument i, keys lower-cased.
params_t read_params(lua_State* L, int i);

// Script functions.
int lookup(lua_State* L);
int check(lua_State* L);

} // namespace kv::lua::lookup
