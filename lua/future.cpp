#include "lua/future.hpp"

#include <memory>
#include <new>
#include <utility>

#include "lua/morva_registry_keys.hpp"
#include "lua/registry.hpp"
#include "lua/runtime.hpp"
#include "lua/userdata_owners.hpp"

namespace kv::lua::morva {

namespace {

// The future userdata holds the future, which timers, waiters and
// completions point to: it lives on the heap, never inside Lua's memory.
using future_holder_t = std::unique_ptr<future_t>;

future_holder_t& check_holder(lua_State* L, int index)
{
    return *static_cast<future_holder_t*>(luaL_checkudata(L, index, registry_key::future_metatable));
}

future_t& check_future(lua_State* L, int index)
{
    future_holder_t& holder = check_holder(L, index);
    // Only a userdata Lua finalized already (still a weak table's key) is empty.
    if (!holder)
        luaL_error(L, "Future was collected");
    return *holder;
}

int future_gc(lua_State* L)
{
    kv::lua::finalize_value(L, &check_holder(L, 1));
    return 0;
}

// A future whose userdata Lua freed without its finalizer: like a collected
// one, it is never resumed again; it is destroyed at the next safe point.
class future_owner_t final : public kv::lua::userdata_owners_t::owner_t {
public:
    void take(void* data) noexcept override
    {
        future_ = std::move(*static_cast<future_holder_t*>(data));
        if (future_)
            future_->disarm();
    }
    void release(lua_State*) noexcept override { future_.reset(); }

private:
    future_holder_t future_;
};

// What wait returns for push_results' answer n, on a stack that holds the
// results or the error value.
int return_results(lua_State* L, int n)
{
    if (n == future_t::failed_results)
        return lua_error(L);
    if (n == future_t::too_many_results)
        return luaL_error(L, "too many results");
    return n;
}

// Runs when the future ends: hands push_results' answer, with the count on
// top, to the waiting thread and resumes the waiting coroutine. The error is
// the one Lua value every waiter shares, never a copy of its text: a large
// error would otherwise be copied once per waiter, outside the state's
// memory limit.
struct wake_waiter_t {
    future_t* future;
    lua_State* L;
    kv::lua::coroutine_t* co;

    void operator()()
    {
        // The count needs a slot of its own: wait's frame keeps Lua's
        // minimum free, so the answer "too many" always has one.
        const int n = future->push_results(L, 1);
        lua_pushinteger(L, n);
        co->resume(0);
    }
};

int wait_continuation(lua_State* L, int, lua_KContext)
{
    const auto n = static_cast<int>(lua_tointeger(L, -1));
    lua_pop(L, 1);
    return return_results(L, n);
}

} // namespace

future_t::future_t(lua_State* L, int nargs) : coroutine_t(L, -(nargs + 1)), own_handler_(kv::util::get_logger())
{
    if (!lua_checkstack(thread(), nargs + 1))
        luaL_error(L, "too many arguments");
    lua_xmove(L, thread(), nargs);
    resume(nargs);
}

future_t::~future_t()
{
    if (saved_handler_)
        restore_log_handler();
}

int future_t::push_results(lua_State* L, int spare)
{
    lua_State* const T = thread();
    if (state_ == failed) {
        // Through L, which has the room: a future that overflowed its stack
        // leaves T without any.
        if (!lua_checkstack(L, spare + 2))
            return too_many_results;
        lua_xmove(T, L, 1);
        lua_pushvalue(L, -1);
        lua_xmove(L, T, 1);
        return failed_results;
    }
    const int n = lua_gettop(T);
    // Lua's stack has a fixed bound: what does not fit is refused, as Lua
    // refuses it to table.unpack.
    if (!lua_checkstack(L, n + spare) || !lua_checkstack(T, 1))
        return too_many_results;
    for (int i = 1; i <= n; ++i) {
        lua_pushvalue(T, i);
        lua_xmove(T, L, 1);
    }
    return n;
}

void future_t::add_waiter(std::function<void()> waiter)
{
    waiters_.push_back(std::move(waiter));
}

void future_t::install_log_handler()
{
    saved_handler_ = kv::util::set_logger(std::move(own_handler_));
}

void future_t::restore_log_handler()
{
    kv::util::logger_t saved = std::move(*saved_handler_);
    saved_handler_.reset();
    own_handler_ = kv::util::set_logger(std::move(saved));
}

void future_t::on_coroutine_resume()
{
    install_log_handler();
}

void future_t::on_suspended()
{
    restore_log_handler();
    lua_settop(thread(), 0);
}

void future_t::on_finished()
{
    restore_log_handler();
    end(finished);
}

void future_t::on_failed()
{
    restore_log_handler();
    end(failed);
}

void future_t::end(int state)
{
    state_ = state;
    auto waiters = std::move(waiters_);
    waiters_.clear();
    // A waiter may end the last reference to this future: touch nothing after.
    for (auto& waiter : waiters)
        waiter();
}

void push_future_metatable(lua_State* L)
{
    luaL_newmetatable(L, registry_key::future_metatable);
    lua_pushcfunction(L, future_gc);
    lua_setfield(L, -2, "__gc");
}

int async(lua_State* L)
{
    luaL_checktype(L, 1, LUA_TFUNCTION);
    const int nargs = lua_gettop(L) - 1;
    lua_newtable(L);
    auto* holder = new (lua_newuserdata(L, sizeof(future_holder_t))) future_holder_t();
    luaL_setmetatable(L, registry_key::future_metatable);
    kv::lua::watch_with<future_owner_t>(L, holder);
    lua_rotate(L, 1, 2); // table, userdata, fn, arguments
    guarded(L, [&] {
        *holder = std::make_unique<future_t>(L, nargs);
        return 0;
    });
    lua_settop(L, 2);
    lua_pushcclosure(L, wait, 1);
    lua_setfield(L, 1, "wait");
    return 1;
}

int wait(lua_State* L)
{
    future_t& future = check_future(L, lua_upvalueindex(1));
    if (future.is_done())
        return return_results(L, future.push_results(L, 0));
    kv::lua::coroutine_t* co = kv::lua::current_coroutine(L);
    guarded(L, [&] {
        future.add_waiter(co->wrap(wake_waiter_t{&future, L, co}));
        return 0;
    });
    return kv::lua::coroutine_t::yield(L, wait_continuation);
}

} // namespace kv::lua::morva
