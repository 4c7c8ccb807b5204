#include "lua/morva.hpp"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <new>
#include <sstream>
#include <string_view>

#include <fcntl.h>
#include <unistd.h>

#include <boost/system/system_error.hpp>

#include "common/log_hook.hpp"
#include "common/scoped_fd.hpp"
#include "lua/finalizer_guard.hpp"
#include "lua/future.hpp"
#include "lua/instruction_budget.hpp"
#include "lua/ip_address.hpp"
#include "lua/morva_registry_keys.hpp"
#include "lua/registry.hpp"
#include "lua/runtime.hpp"

namespace kv::lua::morva {

const std::unordered_map<std::string, int> log_levels = {
    {"debug", log_debug}, {"info", log_info}, {"notice", log_notice}, {"warning", log_warning}, {"error", log_error},
};

namespace {

// The endpoint keeps its IpAddress as its user value, so reading ip gives
// the same object. It owns nothing else: no finalizer is needed.
struct tcp_endpoint_t {
    unsigned short port;
};

const char* const endpoint_metatable = registry_key::tcp_endpoint_metatable;

tcp_endpoint_t& check_endpoint(lua_State* L, int index)
{
    return *static_cast<tcp_endpoint_t*>(luaL_checkudata(L, index, endpoint_metatable));
}

int endpoint_index(lua_State* L)
{
    const tcp_endpoint_t& endpoint = check_endpoint(L, 1);
    if (lua_type(L, 2) == LUA_TSTRING) {
        const std::string key = to_string(L, 2);
        if (key == "ip") {
            lua_getuservalue(L, 1);
            return 1;
        }
        if (key == "port") {
            lua_pushnumber(L, endpoint.port);
            return 1;
        }
    }
    lua_pushnil(L);
    return 1;
}

int endpoint_tostring(lua_State* L)
{
    const tcp_endpoint_t& endpoint = check_endpoint(L, 1);
    lua_getuservalue(L, 1);
    const boost::asio::ip::address* address = test_ip_address(L, -1);
    if (address == nullptr)
        return luaL_error(L, "tcp_endpoint without an address");
    const boost::asio::ip::tcp::endpoint value(*address, endpoint.port);
    return guarded(L, [&] {
        std::ostringstream out;
        out << value;
        const std::string text = out.str();
        lua_pushlstring(L, text.data(), text.size());
        return 1;
    });
}

int endpoint_concat(lua_State* L)
{
    return concat_with_tostring(L, luaL_testudata(L, 1, endpoint_metatable) != nullptr ? 1 : 2);
}

void log_value(lua_State* L, int level, int index)
{
    luaL_checkany(L, index);
    guarded(L, [&] {
        kv::util::log_lazy(level, [&] { return "Lua: " + tostring(L, index); });
        return 0;
    });
}

template <int level>
int log_at(lua_State* L)
{
    log_value(L, level, 1);
    return 0;
}

bool blank(std::string_view line)
{
    for (unsigned char c : line)
        if (!std::isspace(c))
            return false;
    return true;
}

[[noreturn]] void raise_system_error(lua_State* L, int error, const std::string& what)
{
    raise_error(L, boost::system::system_error(error, boost::system::system_category(), what).what());
}

} // namespace

void init_registry(lua_State* L, boost::asio::io_context& io)
{
    lua_pushlightuserdata(L, &io);
    set_registry(L, registry_key::io_service);

    push_future_metatable(L);
    lua_pop(L, 1);
    push_ip_address_metatable(L);
    lua_pop(L, 1);

    luaL_newmetatable(L, endpoint_metatable);
    const luaL_Reg endpoint_functions[] = {
        {"__index", endpoint_index},
        {"__tostring", endpoint_tostring},
        {"__concat", endpoint_concat},
        {nullptr, nullptr},
    };
    luaL_setfuncs(L, endpoint_functions, 0);
    protect_metatable(L);
    lua_pop(L, 1);

    push_steady_timer_metatable(L);
    lua_pop(L, 1);
}

void register_module(lua_State* L)
{
    luaL_requiref(L, "morva", open_module, 0);
    lua_pop(L, 1);
}

int open_module(lua_State* L)
{
    const luaL_Reg functions[] = {
        {"log", log},
        {"debug", log_at<log_debug>},
        {"info", log_at<log_info>},
        {"notice", log_at<log_notice>},
        {"warning", log_at<log_warning>},
        {"error", log_at<log_error>},
        {"load_set", load_set},
        {"load_array", load_array},
        {"async", async},
        {"ip", ip},
        {nullptr, nullptr},
    };
    luaL_newlib(L, functions);
    get_registry(L, registry_key::io_service);
    lua_pushcclosure(L, sleep, 1);
    lua_setfield(L, -2, "sleep");
    apply_make_const(L);
    return 1;
}

void push_tcp_endpoint(lua_State* L, const boost::asio::ip::tcp::endpoint& endpoint)
{
    push_ip_address(L, endpoint.address());
    new (lua_newuserdata(L, sizeof(tcp_endpoint_t))) tcp_endpoint_t{endpoint.port()};
    luaL_setmetatable(L, endpoint_metatable);
    lua_insert(L, -2);
    lua_setuservalue(L, -2);
}

void read_lines(lua_State* L, const std::string& path, const std::function<void()>& on_line)
{
    if (path.find('\0') != std::string::npos) // the system would open a shorter path
        raise_system_error(L, EINVAL, "Cannot open " + path);
    // Not waiting for a writer: a FIFO or device that has nothing to give
    // now fails its read instead of holding the event loop.
    int fd;
    do
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    while (fd < 0 && errno == EINTR);
    if (fd < 0)
        raise_system_error(L, errno, "Cannot open " + path);
    const fw::util::scoped_fd_t file(fd);

    // Each line is built in the state's memory, where the hook's limit
    // counts it; nothing else may touch the stack while it is.
    luaL_checkstack(L, 4, nullptr);
    luaL_Buffer line;
    luaL_buffinit(L, &line);
    const auto end_line = [&] {
        luaL_pushresult(&line);
        std::size_t size = 0;
        const char* text = lua_tolstring(L, -1, &size);
        if (blank(std::string_view(text, size)))
            lua_pop(L, 1);
        else
            on_line();
        luaL_buffinit(L, &line);
    };
    char block[8192];
    for (;;) {
        const ssize_t n = ::read(file.get(), block, sizeof block);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            raise_system_error(L, errno, "Cannot read " + path);
        }
        if (n == 0)
            break;
        // A file that never ends is stopped like a loop.
        charge_budget(L, n);
        for (const char *at = block, *end = block + n; at != end;) {
            const auto* newline = static_cast<const char*>(std::memchr(at, '\n', static_cast<std::size_t>(end - at)));
            luaL_addlstring(&line, at, static_cast<std::size_t>((newline != nullptr ? newline : end) - at));
            if (newline == nullptr)
                break;
            end_line();
            at = newline + 1;
        }
    }
    end_line();
}

int log(lua_State* L)
{
    std::size_t size = 0;
    const char* name = luaL_checklstring(L, 1, &size);
    const std::string given(name, size);
    const auto level = log_levels.find(lower_case(given));
    if (level == log_levels.end()) {
        lua_pushfstring(L, "unknown log level '%s'", given.c_str());
        return luaL_argerror(L, 1, lua_tostring(L, -1));
    }
    log_value(L, level->second, 2);
    return 0;
}

int load_set(lua_State* L)
{
    std::size_t size = 0;
    const char* text = luaL_checklstring(L, 1, &size);
    const std::string path(text, size);
    lua_newtable(L);
    const int set = lua_gettop(L);
    read_lines(L, path, [&] {
        lua_pushboolean(L, 1);
        lua_rawset(L, set);
    });
    lua_settop(L, set);
    return 1;
}

int load_array(lua_State* L)
{
    std::size_t size = 0;
    const char* text = luaL_checklstring(L, 1, &size);
    const std::string path(text, size);
    lua_newtable(L);
    const int array = lua_gettop(L);
    lua_Integer i = 0;
    read_lines(L, path, [&] { lua_rawseti(L, array, ++i); });
    lua_settop(L, array);
    return 1;
}

} // namespace kv::lua::morva
