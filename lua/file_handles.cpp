#include "lua/file_handles.hpp"

#include <cstdio>
#include <utility>

#include "lua/userdata_owners.hpp"

namespace kv::lua {

namespace {

// The file of a handle Lua freed while it was open.
class open_file_t final : public userdata_owners_t::owner_t {
public:
    void take(void* data) noexcept override
    {
        auto* stream = static_cast<luaL_Stream*>(data);
        file_ = stream->f;
        // A handle that lives on (the state closes) reads as closed: its
        // finalizer does not close the file again.
        close_ = std::exchange(stream->closef, nullptr);
    }

    void release(lua_State* L) noexcept override
    {
        if (close_ == nullptr || !lua_checkstack(L, 2))
            return;
        lua_pushcfunction(L, close_file);
        lua_pushlightuserdata(L, this);
        if (lua_pcall(L, 1, 0, 0) != LUA_OK)
            lua_pop(L, 1);
    }

private:
    // Calls the close function on a new handle of the file, marked closed
    // first so that its own finalizer does nothing. Argument: the owner.
    static int close_file(lua_State* L)
    {
        auto* self = static_cast<open_file_t*>(lua_touserdata(L, 1));
        lua_settop(L, 0);
        auto* stream = static_cast<luaL_Stream*>(lua_newuserdata(L, sizeof(luaL_Stream)));
        stream->f = self->file_;
        stream->closef = nullptr;
        luaL_setmetatable(L, LUA_FILEHANDLE);
        return std::exchange(self->close_, nullptr)(L);
    }

    std::FILE* file_ = nullptr;
    lua_CFunction close_ = nullptr;
};

void watch_handle(lua_State* L, int index)
{
    void* data = luaL_testudata(L, index, LUA_FILEHANDLE);
    const userdata_owners_t* owners = userdata_owners(L);
    if (data != nullptr && owners != nullptr && !owners->watches(data))
        watch_with<open_file_t>(L, data);
}

// Upvalues: io's function, and whether it opens a file only when given a
// name (io.lines, io.input, io.output). io's function runs in this frame, so
// its argument errors name the function and the caller as Lua's own do.
int watching(lua_State* L)
{
    const lua_CFunction original = lua_tocfunction(L, lua_upvalueindex(1));
    const bool by_name = lua_toboolean(L, lua_upvalueindex(2));
    const int type = lua_type(L, 1);
    const bool opens = !by_name || type == LUA_TSTRING || type == LUA_TNUMBER;
    const int results = original(L);
    if (!opens || results < 1)
        return results;
    const int first = lua_gettop(L) - results + 1;
    if (lua_type(L, first) == LUA_TFUNCTION) {
        // io.lines: the file is the iterator's first upvalue.
        if (lua_getupvalue(L, first, 1) != nullptr) {
            watch_handle(L, -1);
            lua_pop(L, 1);
        }
    } else
        watch_handle(L, first);
    return results;
}

} // namespace

void watch_file_handles(lua_State* L)
{
    static const struct {
        const char* name;
        bool by_name;
    } openers[] = {
        {"open", false}, {"tmpfile", false}, {"popen", false}, {"lines", true}, {"input", true}, {"output", true},
    };
    lua_checkstack(L, 4);
    // The library table is the one package.loaded holds too.
    if (lua_getglobal(L, "io") == LUA_TTABLE) {
        for (const auto& opener : openers) {
            lua_getfield(L, -1, opener.name);
            if (lua_tocfunction(L, -1) == nullptr) {
                lua_pop(L, 1);
                continue;
            }
            lua_pushboolean(L, opener.by_name);
            lua_pushcclosure(L, watching, 2);
            lua_setfield(L, -2, opener.name);
        }
    }
    lua_pop(L, 1);
}

} // namespace kv::lua
