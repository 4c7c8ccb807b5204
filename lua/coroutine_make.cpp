#include "lua/coroutine_make.hpp"

#include <string_view>

#include "lua/runtime.hpp"

namespace kv::lua {

namespace {

// make(tag): coroutine functions bound to tag. resume and wrap return only
// this layer's yields; any other yield (an outer layer's, the program's wait)
// is passed outward, and what the outer resumption brings is handed back in.
constexpr std::string_view coroutine_make_chunk = R"lua(local coroutine = coroutine
local create, yield, resume = coroutine.create, coroutine.yield, coroutine.resume
local select, error, rawequal = select, error, rawequal

return function(tag)
  if not tag then tag = {} end
  local M = {
    isyieldable = coroutine.isyieldable,
    running = coroutine.running,
    status = coroutine.status,
    tag = tag,
  }

  function M.create(f)
    return create(function(...) return tag, f(...) end)
  end

  function M.yield(...)
    return yield(tag, ...)
  end

  local function outcome(co, ok, ...)
    if not ok then return false, ... end
    if rawequal((...), tag) then return true, select(2, ...) end
    return outcome(co, resume(co, yield(...)))
  end

  function M.resume(co, ...)
    return outcome(co, resume(co, ...))
  end

  local function wrapped_outcome(co, ok, ...)
    if not ok then error((...), 0) end
    if rawequal((...), tag) then return select(2, ...) end
    return wrapped_outcome(co, resume(co, yield(...)))
  end

  function M.wrap(f)
    local co = M.create(f)
    return function(...) return wrapped_outcome(co, resume(co, ...)) end
  end

  return M
end
)lua";

} // namespace

void register_coroutine_make(lua_State* L)
{
    luaL_requiref(L, "coroutine.make", open_coroutine_make, 0);
    lua_pop(L, 1);
}

int open_coroutine_make(lua_State* L)
{
    if (load_chunk(L, "coroutine.make", coroutine_make_chunk) != LUA_OK || lua_pcall(L, 0, 1, 0) != LUA_OK)
        return lua_error(L);
    return 1;
}

} // namespace kv::lua
