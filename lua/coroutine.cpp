#include "lua/coroutine.hpp"

#include <algorithm>
#include <utility>
#include <vector>

#include "lua/instruction_budget.hpp"
#include "lua/userdata_owners.hpp"

namespace kv::lua {

namespace {

// The thread whose run is innermost, handed to lua_resume as the calling
// state so that nested resumptions count against Lua's C-stack limit.
thread_local lua_State* running_thread = nullptr;

// The coroutines that nested runs will make current again when they end. A
// coroutine destroyed in the middle of a run (a future collected by its own
// thread) is cleared here, so no one names it afterwards.
thread_local std::vector<coroutine_t*> outer_coroutines;

// Resumptions going on (on this thread), nested ones included.
thread_local int resume_depth = 0;

// When the outermost resumption ends, no script code runs: what values freed
// without their finalizer held is released there. The release may destroy
// the coroutine just resumed, so it comes last.
class outermost_release_t {
public:
    explicit outermost_release_t(lua_State* main) : main_(main) { ++resume_depth; }
    ~outermost_release_t()
    {
        if (--resume_depth == 0 && !in_budgeted_run())
            release_orphans(main_);
    }
    outermost_release_t(const outermost_release_t&) = delete;
    outermost_release_t& operator=(const outermost_release_t&) = delete;

private:
    lua_State* main_;
};

// Puts the outer coroutine's registry entries back when a run ends, also
// when it ends by an exception.
class run_scope_t {
public:
    run_scope_t(lua_State* main, lua_State* thread, const registry_ref_t& thread_ref)
        : main_(main), previous_thread_(running_thread)
    {
        lua_checkstack(main_, 4);
        get_registry(main_, registry_key::coroutine);
        outer_coroutines.push_back(static_cast<coroutine_t*>(lua_touserdata(main_, -1)));
        lua_pop(main_, 1);
        get_registry(main_, registry_key::coroutine_environment);
        outer_environment_ = registry_ref_t(main_);
        // A running thread must outlive its run even when its owner is
        // collected meanwhile.
        thread_ref.push(main_);
        pin_ = registry_ref_t(main_);
        running_thread = thread;
    }

    ~run_scope_t()
    {
        running_thread = previous_thread_;
        outer_environment_.push(main_);
        set_registry(main_, registry_key::coroutine_environment);
        lua_pushlightuserdata(main_, outer_coroutines.back());
        outer_coroutines.pop_back();
        set_registry(main_, registry_key::coroutine);
    }

    run_scope_t(const run_scope_t&) = delete;
    run_scope_t& operator=(const run_scope_t&) = delete;

    lua_State* previous_thread() const noexcept { return previous_thread_; }

private:
    lua_State* main_;
    lua_State* previous_thread_;
    registry_ref_t outer_environment_;
    registry_ref_t pin_;
};

} // namespace

coroutine_t::coroutine_t(lua_State* L, int index)
{
    index = lua_absindex(L, index);
    thread_ = lua_newthread(L);
    lua_pushvalue(L, -1);
    thread_ref_ = registry_ref_t(L);
    lua_pushvalue(L, index);
    lua_xmove(L, thread_, 1);
    lua_pop(L, 1);
    lua_remove(L, index);
    get_registry(L, registry_key::coroutine_environment);
    environment_ref_ = registry_ref_t(L);
}

coroutine_t::~coroutine_t()
{
    *destroyed_ = true;
    if (cancel_wait_)
        cancel_wait_();
    if (state_ != state_t::running)
        return;
    std::replace(outer_coroutines.begin(), outer_coroutines.end(), this, static_cast<coroutine_t*>(nullptr));
    lua_State* main = main_state(thread_);
    get_registry(main, registry_key::coroutine);
    const bool current = lua_touserdata(main, -1) == this;
    lua_pop(main, 1);
    if (current) {
        lua_pushlightuserdata(main, nullptr);
        set_registry(main, registry_key::coroutine);
    }
}

void coroutine_t::resume(int nargs)
{
    if (state_ != state_t::created && state_ != state_t::suspended)
        return;
    lua_State* const thread = thread_;
    lua_State* const main = main_state(thread);
    const outermost_release_t release(main);
    const auto alive = alive_probe();
    int status;
    {
        run_scope_t scope(main, thread, thread_ref_);
        lua_pushlightuserdata(main, this);
        set_registry(main, registry_key::coroutine);
        environment_ref_.push(main);
        set_registry(main, registry_key::coroutine_environment);
        state_ = state_t::running;
        on_coroutine_resume();
        const budget_scope_t budget(thread);
        status = lua_resume(thread, scope.previous_thread(), nargs);
    }
    if (!alive())
        return;

    if (status == LUA_YIELD) {
        if (lua_gettop(thread) >= 1) {
            lua_checkstack(thread, 2);
            get_registry(thread, registry_key::coroutine_tag);
            if (lua_rawequal(thread, -1, -2)) {
                lua_pop(thread, 2);
                state_ = state_t::suspended;
                on_suspended();
                return;
            }
            lua_pop(thread, 1);
            lua_pushliteral(thread, "Invalid coroutine tag");
        } else {
            lua_checkstack(thread, 1);
            lua_pushliteral(thread, "Coroutine tag not found");
        }
        state_ = state_t::ended;
        on_failed();
        return;
    }
    state_ = state_t::ended;
    if (status == LUA_OK)
        on_finished();
    else
        on_failed();
}

std::function<bool()> coroutine_t::alive_probe() const
{
    return [destroyed = destroyed_] { return !*destroyed; };
}

int coroutine_t::yield(lua_State* L, lua_KFunction k)
{
    get_registry(L, registry_key::coroutine_tag);
    return lua_yieldk(L, 1, 0, k);
}

coroutine_t* current_coroutine(lua_State* L)
{
    get_registry(L, registry_key::coroutine);
    auto* co = static_cast<coroutine_t*>(lua_touserdata(L, -1));
    lua_pop(L, 1);
    if (co == nullptr)
        luaL_error(L, "No coroutine is running");
    // Refuse before any work starts: a yield that cannot happen would leave
    // a completion behind for a coroutine that goes on running.
    if (!lua_isyieldable(L))
        luaL_error(L, "attempt to yield across a C-call boundary");
    co->end_earlier_waits();
    return co;
}

void coroutine_t::end_earlier_waits()
{
    disarm();
    if (auto cancel = std::exchange(cancel_wait_, nullptr))
        cancel();
}

} // namespace kv::lua
