#pragma once
// Every run of script code from the event loop (a hook session or a future
// resumed, a hook chunk loaded) may execute a bounded number of Lua
// instructions before it waits or ends: a hook stuck in a loop would
// otherwise hold the event loop, and with it every other connection and the
// daemon's own stop. A run past its budget gets a Lua error, raised again at
// every following instruction until the run has unwound, so a pcall in the
// script cannot keep it going. Work inside one C function is not seen by
// Lua's count hook: the pattern functions charge theirs explicitly; others
// (string.rep, table.concat) are bounded by the state's memory limit.
#include <lua.hpp>

namespace kv::lua {

// Far above what a sane hook runs between two waits, yet only tens of
// milliseconds of work. A run past it fails with "instruction budget of
// <budget> exceeded without a wait", after the position Lua gives.
inline constexpr long long instruction_budget = 20'000'000;

// A run of L from the event loop: installs the count hook on L (threads
// created by L's code inherit it) and, unless another run encloses this one
// (a future started or woken by a running coroutine), gives a fresh budget.
// Nested runs draw on the enclosing run's budget.
class budget_scope_t {
public:
    explicit budget_scope_t(lua_State* L);
    ~budget_scope_t();
    budget_scope_t(const budget_scope_t&) = delete;
    budget_scope_t& operator=(const budget_scope_t&) = delete;
};

// True while a run is going on (on this thread).
bool in_budgeted_run() noexcept;

// Charges work done inside a C function called by L, in units about as costly
// as a Lua instruction, to the budget of the current run; past the budget
// raises the run's error like the count hook. Nothing is charged outside a run.
void charge_budget(lua_State* L, long long work);

} // namespace kv::lua
