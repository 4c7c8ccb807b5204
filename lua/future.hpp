#pragma once
// Futures of morva.async: fn(...) runs at once in a program coroutine of its
// own; wait() returns its values or raises its error, suspending the caller
// while fn has not ended. Each future keeps the log prefix of its starter.
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <lua.hpp>

#include "common/log_hook.hpp"
#include "lua/coroutine.hpp"

namespace kv::lua::morva {

class future_t : public kv::lua::coroutine_t {
public:
    // The function sits below the nargs arguments on top of L; runs it.
    future_t(lua_State* L, int nargs);
    ~future_t() override;

    bool is_done() const noexcept { return state_ != running; }
    // Finished: pushes copies of the results and returns their count.
    // Failed: pushes a copy of the error and returns failed_results.
    // Returns too_many_results, pushing nothing, when that would leave L
    // fewer than `spare` free slots.
    int push_results(lua_State* L, int spare);
    static constexpr int failed_results = -1;
    static constexpr int too_many_results = -2;
    void add_waiter(std::function<void()> waiter);

private:
    enum { running = 0, finished = 1, failed = 2 };

    void on_finished() override;
    void on_failed() override;
    void on_suspended() override;
    void on_coroutine_resume() override;

    void install_log_handler();
    void restore_log_handler();
    void end(int state);

    int state_ = running;
    kv::util::logger_t own_handler_;
    // Present only while the future's own thread runs.
    std::optional<kv::util::logger_t> saved_handler_;
    std::vector<std::function<void()>> waiters_;
};

// Script functions.
int async(lua_State* L);
int wait(lua_State* L);
// Closure over the event loop light userdata.
int sleep(lua_State* L);

// Metatables of the future and of sleep's timer (registry entries of morva::init_registry).
void push_future_metatable(lua_State* L);
void push_steady_timer_metatable(lua_State* L);

} // namespace kv::lua::morva
