#pragma once
// What the daemon's userdata own outside the Lua state (a future, a timer, an
// exception, a shared pointer, an open file) is released even when Lua skips
// their finalizer. Lua skips a "__gc" for good when its protected call cannot
// start (the code that triggered the collection is nested at the C-call
// limit, or the call's stack cannot grow at the memory limit) and frees the
// block later without it. The state's allocator sees every free: when a block
// that holds a watched value is freed, the value's owner is taken out of it,
// without any Lua call, and released at the next safe point, where no script
// code runs (the end of the outermost coroutine run, after the Lua service's
// own calls of script code, and before the state closes).
//
// Native code never points into a userdata: what timers, waiters and
// completions reach lives on the heap (a future is held through a pointer in
// its userdata). A "__gc" forgets its value and leaves the userdata empty, not
// destroyed: Lua code can still reach a finalized userdata (a weak-keyed
// table keeps it as a key until the next cycle), and bindings refuse an empty one.
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <utility>

#include <lua.hpp>

namespace kv::lua {

class userdata_owners_t {
public:
    // What one userdata owns.
    class owner_t {
    public:
        virtual ~owner_t() = default;
        // Moves what the userdata at data owns into this owner, leaving the
        // userdata empty. Called from the allocator: no Lua call, no allocation.
        virtual void take(void* data) noexcept = 0;
        // Releases what was taken. L is the main state, idle: Lua calls are allowed.
        virtual void release(lua_State* L) noexcept = 0;
    };

    userdata_owners_t() = default;
    userdata_owners_t(const userdata_owners_t&) = delete;
    userdata_owners_t& operator=(const userdata_owners_t&) = delete;

    // Watches the userdata whose memory starts at data. Without the memory
    // for the entry it stays unwatched: its finalizer still releases it.
    void watch(void* data, std::unique_ptr<owner_t> owner) noexcept;
    // The finalizer ran: nothing to take any more.
    void forget(void* data) noexcept;
    bool watches(const void* data) const noexcept;

    // The allocator frees the block of `size` bytes at block.
    void on_free(void* block, std::size_t size) noexcept;
    // Releases what was taken from freed blocks (nested calls do nothing).
    void release_orphans(lua_State* L) noexcept;
    // Before the state closes: takes what every watched userdata owns and
    // releases it, so nothing is left to touch the state after it is gone.
    void release_all(lua_State* L) noexcept;

    // Userdata watched now, and values taken from blocks Lua freed without
    // their finalizer since the state was made.
    std::size_t watched() const noexcept { return watched_.size(); }
    std::size_t orphaned() const noexcept { return orphaned_; }

private:
    using entries_t = std::map<std::uintptr_t, std::unique_ptr<owner_t>>;

    entries_t watched_;
    // Same node type as watched_: a node moves over without an allocation.
    // Keyed by address, which a new userdata may take again meanwhile.
    std::multimap<std::uintptr_t, std::unique_ptr<owner_t>> orphans_;
    std::size_t orphaned_ = 0;
    bool releasing_ = false;
};

// The owners of a state made by new_limited_state (they live with its
// allocator, memory_limit.cpp); null for any other state.
userdata_owners_t* userdata_owners(lua_State* L) noexcept;

// Releases what values freed without their finalizer held. Call it only
// where no script code runs.
void release_orphans(lua_State* L) noexcept;

// A userdata holding one value of type T (a smart pointer, an exception
// pointer): nothrow movable, and empty once moved from or reset.
template <typename T>
class held_value_t final : public userdata_owners_t::owner_t {
public:
    void take(void* data) noexcept override { value_.emplace(std::move(*static_cast<T*>(data))); }
    void release(lua_State*) noexcept override { value_.reset(); }

private:
    std::optional<T> value_;
};

// Watches the userdata at data with a new owner of type Owner.
template <typename Owner>
void watch_with(lua_State* L, void* data) noexcept
{
    if (userdata_owners_t* owners = userdata_owners(L))
        owners->watch(data, std::unique_ptr<userdata_owners_t::owner_t>(new (std::nothrow) Owner()));
}

template <typename T>
void watch_value(lua_State* L, T* data) noexcept
{
    watch_with<held_value_t<T>>(L, data);
}

// The "__gc" of such a userdata: releases the value, leaving it empty.
template <typename T>
void finalize_value(lua_State* L, T* data) noexcept
{
    if (userdata_owners_t* owners = userdata_owners(L))
        owners->forget(data);
    *data = T();
}

} // namespace kv::lua
