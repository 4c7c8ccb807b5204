#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/system_error.hpp>

#include "lua/future.hpp"
#include "lua/morva_registry_keys.hpp"
#include "lua/registry.hpp"
#include "lua/runtime.hpp"
#include "lua/userdata_owners.hpp"

namespace kv::lua::morva {

namespace {

using timer_ptr_t = std::shared_ptr<boost::asio::steady_timer>;

int timer_gc(lua_State* L)
{
    auto* held = static_cast<timer_ptr_t*>(luaL_checkudata(L, 1, registry_key::steady_timer_ptr_metatable));
    kv::lua::finalize_value(L, held);
    return 0;
}

// Seconds as nanoseconds, saturated at the 64-bit limits; NaN counts as 0.
std::chrono::nanoseconds to_duration(lua_Number seconds)
{
    const long double ns = static_cast<long double>(seconds) * 1e9L;
    if (std::isnan(ns))
        return std::chrono::nanoseconds(0);
    constexpr auto max = std::numeric_limits<std::int64_t>::max();
    constexpr auto min = std::numeric_limits<std::int64_t>::min();
    if (ns >= static_cast<long double>(max))
        return std::chrono::nanoseconds(max);
    if (ns <= static_cast<long double>(min))
        return std::chrono::nanoseconds(min);
    return std::chrono::nanoseconds(static_cast<std::int64_t>(ns));
}

void wake(kv::lua::coroutine_t* co, const boost::system::error_code& ec)
{
    if (ec)
        throw boost::system::system_error(ec, "Sleep timer");
    co->resume(0);
}

template <typename Wake>
struct on_sleep_timer {
    lua_State* main;
    int ref;
    Wake wake; // armed while the coroutine lives and waits on this sleep
    std::weak_ptr<boost::asio::steady_timer> timer;

    void operator()(const boost::system::error_code& ec)
    {
        // The timer is gone only when the Lua state was closed.
        if (!timer.expired())
            luaL_unref(main, LUA_REGISTRYINDEX, ref);
        wake(ec);
    }
};

} // namespace

void push_steady_timer_metatable(lua_State* L)
{
    luaL_newmetatable(L, registry_key::steady_timer_ptr_metatable);
    lua_pushcfunction(L, timer_gc);
    lua_setfield(L, -2, "__gc");
}

int sleep(lua_State* L)
{
    const lua_Number seconds = luaL_checknumber(L, 1);
    kv::lua::coroutine_t* co = kv::lua::current_coroutine(L);
    auto& io = *static_cast<boost::asio::io_context*>(lua_touserdata(L, lua_upvalueindex(1)));
    auto* held = new (lua_newuserdata(L, sizeof(timer_ptr_t))) timer_ptr_t();
    luaL_setmetatable(L, registry_key::steady_timer_ptr_metatable);
    kv::lua::watch_value(L, held);
    guarded(L, [&] {
        *held = std::make_shared<boost::asio::steady_timer>(io);
        return 0;
    });
    const timer_ptr_t timer = *held;
    const int ref = luaL_ref(L, LUA_REGISTRYINDEX);
    guarded(L, [&] {
        timer->expires_after(to_duration(seconds));
        auto wake_co = co->wrap([co](const boost::system::error_code& ec) { wake(co, ec); });
        timer->async_wait(on_sleep_timer<decltype(wake_co)>{main_state(L), ref, std::move(wake_co), timer});
        // The cancelled wait completes at once and releases the anchor.
        co->set_wait_canceller([weak = std::weak_ptr<boost::asio::steady_timer>(timer)] {
            if (const auto t = weak.lock())
                t->cancel();
        });
        return 0;
    });
    return kv::lua::coroutine_t::yield(L);
}

} // namespace kv::lua::morva
