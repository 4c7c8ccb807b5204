#include "lua/chunk_loading.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "lua/bytecode_check.hpp"

namespace kv::lua {

namespace {

// Lua's own loader refuses binary chunks where the mode does not allow them.
bool binary_allowed(const char* mode)
{
    return mode == nullptr || std::strchr(mode, 'b') != nullptr;
}

int file_error(lua_State* L, const char* what, const char* path)
{
    const char* reason = std::strerror(errno);
    lua_pushfstring(L, "cannot %s %s: %s", what, path != nullptr ? path : "stdin", reason);
    return LUA_ERRFILE;
}

// Keeps the results of a load: the function (with `env` as its first upvalue
// when given), else nil and the message.
int load_results(lua_State* L, int status, int env)
{
    if (status != LUA_OK) {
        lua_pushnil(L);
        lua_insert(L, -2);
        return 2;
    }
    if (env != 0) {
        lua_pushvalue(L, env);
        if (lua_setupvalue(L, -2, 1) == nullptr)
            lua_pop(L, 1);
    }
    return 1;
}

// load(chunk [, chunkname [, mode [, env]]]): a reader function's pieces are
// gathered first, so the whole chunk is checked before it is loaded.
int checked_load(lua_State* L)
{
    const char* mode = luaL_optstring(L, 3, "bt");
    const int env = lua_isnone(L, 4) ? 0 : 4;
    std::size_t size = 0;
    if (const char* text = lua_tolstring(L, 1, &size)) {
        const char* name = luaL_optstring(L, 2, text);
        return load_results(L, load_checked_buffer(L, {text, size}, name, mode), env);
    }
    const char* name = luaL_optstring(L, 2, "=(load)");
    luaL_checktype(L, 1, LUA_TFUNCTION);
    lua_settop(L, 4);
    luaL_Buffer pieces;
    luaL_buffinit(L, &pieces);
    for (;;) {
        lua_pushvalue(L, 1);
        if (lua_pcall(L, 0, 1, 0) != LUA_OK)
            return load_results(L, LUA_ERRSYNTAX, 0);
        if (lua_isnil(L, -1)) {
            lua_pop(L, 1);
            break;
        }
        if (!lua_isstring(L, -1)) {
            lua_pushliteral(L, "reader function must return a string");
            return load_results(L, LUA_ERRSYNTAX, 0);
        }
        std::size_t piece = 0;
        lua_tolstring(L, -1, &piece);
        const bool end = piece == 0;
        luaL_addvalue(&pieces);
        if (end)
            break;
    }
    luaL_pushresult(&pieces);
    const char* text = lua_tolstring(L, -1, &size);
    return load_results(L, load_checked_buffer(L, {text, size}, name, mode), env);
}

int checked_loadfile(lua_State* L)
{
    const char* path = luaL_optstring(L, 1, nullptr);
    const char* mode = luaL_optstring(L, 2, nullptr);
    const int env = lua_isnone(L, 3) ? 0 : 3;
    return load_results(L, load_checked_file(L, path, mode), env);
}

int dofile_continuation(lua_State* L, int, lua_KContext)
{
    return lua_gettop(L) - 1;
}

int checked_dofile(lua_State* L)
{
    const char* path = luaL_optstring(L, 1, nullptr);
    lua_settop(L, 1);
    if (load_checked_file(L, path, nullptr) != LUA_OK)
        return lua_error(L);
    lua_callk(L, 0, LUA_MULTRET, 0, dofile_continuation);
    return dofile_continuation(L, 0, 0);
}

// require's searcher of Lua files. Upvalues: the package table and the
// library's own searchpath (a script may replace package.searchpath).
int checked_lua_searcher(lua_State* L)
{
    const char* name = luaL_checkstring(L, 1);
    lua_getfield(L, lua_upvalueindex(1), "path");
    if (lua_tostring(L, -1) == nullptr)
        return luaL_error(L, "'package.%s' must be a string", "path");
    lua_pushvalue(L, lua_upvalueindex(2));
    lua_pushvalue(L, 1);
    lua_pushvalue(L, -3);
    lua_call(L, 2, 2);
    if (lua_isnil(L, -2))
        return 1; // the list of files tried
    lua_pop(L, 1);
    const char* file = lua_tostring(L, -1);
    if (load_checked_file(L, file, nullptr) != LUA_OK)
        return luaL_error(L, "error loading module '%s' from file '%s':\n\t%s", name, file, lua_tostring(L, -1));
    lua_pushvalue(L, -2);
    return 2;
}

void set_function(lua_State* L, int table, const char* name, lua_CFunction f)
{
    lua_pushstring(L, name);
    lua_pushcfunction(L, f);
    lua_rawset(L, table);
}

} // namespace

int load_checked_buffer(lua_State* L, std::string_view chunk, const char* name, const char* mode)
{
    if (binary_allowed(mode)) {
        try {
            check_precompiled(chunk);
        } catch (const std::runtime_error& e) {
            lua_pushstring(L, e.what());
            return LUA_ERRSYNTAX;
        }
    }
    return luaL_loadbufferx(L, chunk.data(), chunk.size(), name, mode);
}

int load_checked_file(lua_State* L, const char* path, const char* mode)
{
    const int base = lua_gettop(L);
    if (path != nullptr)
        lua_pushfstring(L, "@%s", path);
    else
        lua_pushliteral(L, "=stdin");
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(nullptr, std::fclose);
    if (path != nullptr) {
        file.reset(std::fopen(path, "rbe"));
        if (!file) {
            const int status = file_error(L, "open", path);
            lua_replace(L, base + 1);
            return status;
        }
    }
    std::FILE* in = path != nullptr ? file.get() : stdin;
    luaL_Buffer bytes;
    luaL_buffinit(L, &bytes);
    std::size_t got;
    do {
        got = std::fread(luaL_prepbuffer(&bytes), 1, LUAL_BUFFERSIZE, in);
        luaL_addsize(&bytes, got);
    } while (got > 0);
    if (std::ferror(in)) {
        const int status = file_error(L, "read", path);
        lua_replace(L, base + 1);
        lua_settop(L, base + 1);
        return status;
    }
    file.reset();
    luaL_pushresult(&bytes);

    std::size_t size = 0;
    const char* data = lua_tolstring(L, -1, &size);
    std::string_view chunk(data, size);
    if (chunk.substr(0, 3) == "\xEF\xBB\xBF")
        chunk.remove_prefix(3);
    if (!chunk.empty() && chunk.front() == '#') {
        // Text keeps the comment's line end, so line numbers stay those of the file.
        const auto end = chunk.find('\n');
        chunk.remove_prefix(end == std::string_view::npos ? chunk.size() : end);
        if (chunk.size() > 1 && chunk[1] == LUA_SIGNATURE[0])
            chunk.remove_prefix(1);
    }
    const int status = load_checked_buffer(L, chunk, lua_tostring(L, base + 1), mode);
    lua_replace(L, base + 1);
    lua_settop(L, base + 1);
    return status;
}

void check_every_chunk_loaded(lua_State* L)
{
    lua_rawgeti(L, LUA_REGISTRYINDEX, LUA_RIDX_GLOBALS);
    const int globals = lua_gettop(L);
    set_function(L, globals, "load", checked_load);
    set_function(L, globals, "loadfile", checked_loadfile);
    set_function(L, globals, "dofile", checked_dofile);

    lua_getfield(L, globals, "package");
    const int package = lua_gettop(L);
    lua_getfield(L, package, "searchers");
    lua_pushvalue(L, package);
    lua_getfield(L, package, "searchpath");
    lua_pushcclosure(L, checked_lua_searcher, 2);
    lua_rawseti(L, -2, 2);
    lua_settop(L, globals - 1);
}

} // namespace kv::lua
