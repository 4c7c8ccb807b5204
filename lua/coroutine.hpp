#pragma once
// A native object that owns a Lua thread and runs it as a program coroutine:
// a binding that has to wait yields the thread with the registry's private
// tag; its completion pushes one value onto the waiting thread and resumes.
#include <functional>
#include <memory>

#include <lua.hpp>

#include "common/callback_wrapper.hpp"
#include "lua/registry.hpp"

namespace kv::lua {

class coroutine_t : public kv::util::callback_wrapper_t {
public:
    virtual ~coroutine_t();
    coroutine_t(const coroutine_t&) = delete;
    coroutine_t& operator=(const coroutine_t&) = delete;

    // Runs or continues the thread with the nargs values on top of its stack.
    // The object may be destroyed by what runs, or when the outermost
    // resumption ends and releases what values freed without their finalizer
    // held (userdata_owners.hpp); a coroutine that has ended (or is running)
    // is not resumed again.
    void resume(int nargs);

    // Yields L with the registry tag and continuation k; does not return.
    static int yield(lua_State* L, lua_KFunction k = nullptr);

    lua_State* thread() const noexcept { return thread_; }

    // Cancels the wait this coroutine suspends on (a sleep's timer) when the
    // coroutine ends first or starts another wait, so that what the wait
    // holds is released now, not when it would have completed.
    void set_wait_canceller(std::function<void()> cancel) { cancel_wait_ = std::move(cancel); }
    // Called when a new wait starts: disarms the completions of earlier waits
    // and cancels the last one.
    void end_earlier_waits();

protected:
    // Moves the function at index of L's stack into a new thread (not started).
    coroutine_t(lua_State* L, int index);

    // The thread returned; its results are on its stack.
    virtual void on_finished() = 0;
    // The thread raised an error or yielded without the tag; the error object is on top.
    virtual void on_failed() = 0;
    // The thread yielded with the tag and waits for a completion.
    virtual void on_suspended() = 0;
    // Called just before every resumption.
    virtual void on_coroutine_resume() {}

private:
    enum class state_t { created, running, suspended, ended };

    // A callable that tells, later, whether this object still lives; it
    // stays valid after the object is gone.
    std::function<bool()> alive_probe() const;

    std::shared_ptr<bool> destroyed_ = std::make_shared<bool>(false);
    lua_State* thread_ = nullptr;
    registry_ref_t thread_ref_;
    registry_ref_t environment_ref_;
    state_t state_ = state_t::created;
    std::function<void()> cancel_wait_;
};

// The coroutine whose thread runs now; raises "No coroutine is running" when
// none does, and Lua's yield error when L cannot yield. A binding calls it
// when it starts a wait: completions wrapped for earlier waits of the
// coroutine are disarmed then, so only the wait it suspends on can resume it
// (a wait whose yield a script's own coroutine swallowed never does).
coroutine_t* current_coroutine(lua_State* L);

} // namespace kv::lua
