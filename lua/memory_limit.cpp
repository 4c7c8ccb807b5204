#include "lua/memory_limit.hpp"

#include <algorithm>
#include <cstdlib>

#include "common/exit.hpp"
#include "error.pb.h"
#include "lua/instruction_budget.hpp"
#include "lua/userdata_owners.hpp"

namespace kv::lua {

namespace {

struct allocation_count_t {
    std::size_t in_use = 0;
    std::size_t limit = 0;
    userdata_owners_t owners;
};

void* allocate(void* ud, void* block, std::size_t old_size, std::size_t new_size)
{
    auto* count = static_cast<allocation_count_t*>(ud);
    // For a new block Lua passes the kind of object instead of a size.
    const std::size_t held = block != nullptr ? old_size : 0;
    if (new_size == 0) {
        if (block != nullptr)
            count->owners.on_free(block, held);
        std::free(block);
        count->in_use -= held;
        return nullptr;
    }
    if (new_size > held && in_budgeted_run() && new_size - held > count->limit - std::min(count->limit, count->in_use))
        return nullptr;
    void* moved = std::realloc(block, new_size);
    if (moved != nullptr)
        count->in_use = count->in_use - held + new_size;
    return moved;
}

// Lua reports here an error that no protected call caught, then aborts if we
// return. The state is left unusable, and the daemon's decisions with it: log
// the error and end with a status that names where it came from.
[[noreturn]] int panic(lua_State* L)
{
    const char* text = lua_tostring(L, -1);
    abort_with_status(kv::EC_EXTERNAL_LIBRARY_ERROR, "Lua PANIC, an error outside every protected call: ",
                      text != nullptr ? text : "(not a text)");
}

allocation_count_t* count_of(lua_State* L)
{
    void* ud = nullptr;
    lua_getallocf(L, &ud);
    return static_cast<allocation_count_t*>(ud);
}

} // namespace

lua_State* new_limited_state(std::size_t limit)
{
    auto* count = new allocation_count_t{0, limit, {}};
    lua_State* L = lua_newstate(allocate, count);
    if (L == nullptr) {
        delete count;
        return nullptr;
    }
    lua_atpanic(L, panic);
    return L;
}

void close_limited_state(lua_State* L)
{
    allocation_count_t* count = count_of(L);
    // What the owners hold may need the state to be released (a future's
    // thread, a file's close function): release it all while the state lives.
    count->owners.release_all(L);
    lua_close(L);
    delete count;
}

std::size_t memory_in_use(lua_State* L)
{
    return count_of(L)->in_use;
}

userdata_owners_t* userdata_owners(lua_State* L) noexcept
{
    void* ud = nullptr;
    if (lua_getallocf(L, &ud) != allocate)
        return nullptr;
    return &static_cast<allocation_count_t*>(ud)->owners;
}

} // namespace kv::lua
