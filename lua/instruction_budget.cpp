#include "lua/instruction_budget.hpp"

#include <cstdlib>
#include <string>

namespace kv::lua {

namespace {

// The hook runs once per this many instructions.
constexpr int count_step = 1000;

// Outside every run (depth 0) nothing is counted.
thread_local int depth = 0;
thread_local long long instructions_left = 0;
// The error of the run once its budget is spent, raised again unchanged.
thread_local std::string exceeded;

void count_hook(lua_State* L, lua_Debug*);

// level: of the function whose position the error names.
[[noreturn]] void raise_exceeded(lua_State* L, int level)
{
    if (exceeded.empty()) {
        luaL_where(L, level);
        exceeded = std::string(lua_tostring(L, -1)) + "instruction budget of " + std::to_string(instruction_budget)
                   + " exceeded without a wait";
        lua_pop(L, 1);
    }
    // From now on every instruction of this thread raises it again, so a
    // pcall that catches it cannot go on: the run unwinds to its start.
    lua_sethook(L, count_hook, LUA_MASKCOUNT, 1);
    lua_pushlstring(L, exceeded.data(), exceeded.size());
    lua_error(L);
    std::abort(); // not reached: a Lua error unwinds
}

void count_hook(lua_State* L, lua_Debug*)
{
    if (depth == 0)
        return;
    instructions_left -= lua_gethookcount(L);
    if (instructions_left < 0)
        raise_exceeded(L, 0); // the running function's position
}

} // namespace

budget_scope_t::budget_scope_t(lua_State* L)
{
    lua_sethook(L, count_hook, LUA_MASKCOUNT, count_step);
    if (depth++ == 0) {
        instructions_left = instruction_budget;
        exceeded.clear();
    }
}

budget_scope_t::~budget_scope_t()
{
    --depth;
}

bool in_budgeted_run() noexcept
{
    return depth > 0;
}

void charge_budget(lua_State* L, long long work)
{
    if (depth == 0)
        return;
    instructions_left -= work;
    if (instructions_left < 0)
        raise_exceeded(L, 1); // the position of the Lua code that called the C function
}

} // namespace kv::lua
