#include "lua/connection_context.hpp"

#include <pwd.h>
#include <grp.h>

#include <cstddef>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <boost/asio/ip/tcp.hpp>

#include "common/log_hook.hpp"
#include "lua/coroutine.hpp"
#include "lua/intercept_types.hpp"
#include "lua/morva.hpp"
#include "linux/proc/proc_readers.hpp"
#include "lua/process_finder.hpp"
#include "lua/registry.hpp"
#include "lua/runtime.hpp"
#include "lua/tristate.hpp"

namespace fw::lua::intercept {

namespace {

namespace tristate = fw::util::tristate;

struct context_t {
    boost::asio::ip::tcp::endpoint src;
    boost::asio::ip::tcp::endpoint dst;
    std::string divert;
    std::optional<int> in_index;
    std::optional<int> out_index;
    tristate::value_t<unsigned long long> pid;
    tristate::value_t<std::string> exe_path;
    tristate::value_t<unsigned> uid;
    tristate::value_t<unsigned> gid;
    tristate::value_t<std::string> user;
    tristate::value_t<std::string> group;
    tristate::value_t<std::string> iface_in;
    tristate::value_t<std::string> iface_out;
};

context_t& upvalue_context(lua_State* L)
{
    auto* ctx = static_cast<context_t*>(shared_pointer_target(L, lua_upvalueindex(1)));
    // Only the debug library reaches the userdata after its finalizer ran.
    if (ctx == nullptr)
        luaL_error(L, "Connection context was collected");
    return *ctx;
}

// Stores the value on top into the table the field was read from. A direct
// call of ctx.__index may pass anything as that table: store only into a table.
int store_field(lua_State* L)
{
    if (lua_type(L, 1) == LUA_TTABLE)
        return kv::lua::cache_field(L);
    return 1;
}

int push_string_field(lua_State* L, const tristate::value_t<std::string>& value)
{
    if (!tristate::has_value(value)) {
        lua_pushnil(L);
        return 1;
    }
    const std::string& text = tristate::get(value);
    lua_pushlstring(L, text.data(), text.size());
    return store_field(L);
}

template <typename T>
int push_integer_field(lua_State* L, const tristate::value_t<T>& value)
{
    if (!tristate::has_value(value)) {
        lua_pushnil(L);
        return 1;
    }
    lua_pushinteger(L, static_cast<lua_Integer>(tristate::get(value)));
    return store_field(L);
}

int push_src(lua_State* L, context_t& ctx)
{
    kv::lua::morva::push_tcp_endpoint(L, ctx.src);
    return store_field(L);
}

int push_dst(lua_State* L, context_t& ctx)
{
    kv::lua::morva::push_tcp_endpoint(L, ctx.dst);
    return store_field(L);
}

int push_divert(lua_State* L, context_t& ctx)
{
    lua_pushlstring(L, ctx.divert.data(), ctx.divert.size());
    return store_field(L);
}

// ---- the process chain: pid <- (exe_path, uid/gid), uid <- user, gid <- group

enum class level_t { pid, exe_path, uid, gid, user, group };

bool is_undefined(const context_t& ctx, level_t level)
{
    switch (level) {
    case level_t::pid: return tristate::is_undefined(ctx.pid);
    case level_t::exe_path: return tristate::is_undefined(ctx.exe_path);
    case level_t::uid: return tristate::is_undefined(ctx.uid);
    case level_t::gid: return tristate::is_undefined(ctx.gid);
    case level_t::user: return tristate::is_undefined(ctx.user);
    case level_t::group: return tristate::is_undefined(ctx.group);
    }
    return false;
}

level_t prerequisite(level_t level)
{
    switch (level) {
    case level_t::user: return level_t::uid;
    case level_t::group: return level_t::gid;
    default: return level_t::pid;
    }
}

void log_opening_line(const context_t& ctx, level_t level)
{
    if (!kv::util::log_enabled(log_debug))
        return;
    switch (level) {
    case level_t::pid:
        kv::util::log(log_debug, "Getting originator PID for connection " + endpoint_text(ctx.src) + " --> " +
                                     endpoint_text(ctx.dst));
        return;
    case level_t::exe_path: kv::util::log(log_debug, "Attempting to get originator exe path"); return;
    case level_t::uid:
    case level_t::gid:
        kv::util::log(log_debug, "Attempting to retrieve originator uid/gid via /proc filesystem");
        return;
    case level_t::user: kv::util::log(log_debug, "Attempting to retrieve originator user name"); return;
    case level_t::group: kv::util::log(log_debug, "Attempting to retrieve originator group name"); return;
    }
}

// Without the process's ids, an id the queue gave stays: losing it would
// lose the user or group name with it.
void settle_ids_as_none(context_t& ctx)
{
    if (tristate::is_undefined(ctx.uid))
        tristate::set_none(ctx.uid);
    if (tristate::is_undefined(ctx.gid))
        tristate::set_none(ctx.gid);
}

void get_uid_gid(context_t& ctx)
{
    if (!tristate::has_value(ctx.pid)) {
        settle_ids_as_none(ctx);
        return;
    }
    const unsigned long long pid = tristate::get(ctx.pid);
    std::string failure;
    try {
        const auto [uid, gid] = fw::linux::read_proc_status_ids(static_cast<int>(pid));
        // Bindings captured by name: clang 14 (the fuzz build) cannot capture them by [&].
        kv::util::log_lazy(log_debug, [uid = uid, gid = gid] {
            return "Originator uid=" + std::to_string(uid) + " gid=" + std::to_string(gid);
        });
        tristate::set_value(ctx.uid, uid);
        tristate::set_value(ctx.gid, gid);
        return;
    } catch (const std::exception& e) {
        failure = e.what();
    }
    kv::util::log_lazy(log_warning, [&] {
        return "Cannot get status of process " + std::to_string(pid) + ": " + failure;
    });
    settle_ids_as_none(ctx);
}

struct user_traits_t {
    using entry_t = passwd;
    static constexpr const char* word = "user";
    static constexpr const char* id_word = "uid";
    static tristate::value_t<unsigned>& id(context_t& ctx) { return ctx.uid; }
    static tristate::value_t<std::string>& name(context_t& ctx) { return ctx.user; }
    static int get(unsigned id, entry_t* entry, char* buffer, std::size_t size, entry_t** result)
    {
        return ::getpwuid_r(id, entry, buffer, size, result);
    }
    static const char* entry_name(const entry_t& entry) { return entry.pw_name; }
};

struct group_traits_t {
    using entry_t = group;
    static constexpr const char* word = "group";
    static constexpr const char* id_word = "gid";
    static tristate::value_t<unsigned>& id(context_t& ctx) { return ctx.gid; }
    static tristate::value_t<std::string>& name(context_t& ctx) { return ctx.group; }
    static int get(unsigned id, entry_t* entry, char* buffer, std::size_t size, entry_t** result)
    {
        return ::getgrgid_r(id, entry, buffer, size, result);
    }
    static const char* entry_name(const entry_t& entry) { return entry.gr_name; }
};

constexpr std::size_t initial_name_buffer = 1024;
constexpr std::size_t largest_grown_from = 16777215;

// One buffer per database and thread, kept between lookups.
template <typename Traits>
std::vector<char>& name_buffer()
{
    thread_local std::vector<char> buffer(initial_name_buffer);
    return buffer;
}

template <typename Traits>
void get_user_group(context_t& ctx)
{
    auto& name = Traits::name(ctx);
    const auto& id_value = Traits::id(ctx);
    if (!tristate::has_value(id_value)) {
        tristate::set_none(name);
        return;
    }
    const unsigned id = tristate::get(id_value);
    std::vector<char>& buffer = name_buffer<Traits>();
    typename Traits::entry_t entry{};
    typename Traits::entry_t* result = nullptr;
    int error;
    while ((error = Traits::get(id, &entry, buffer.data(), buffer.size(), &result)) == ERANGE &&
           buffer.size() <= largest_grown_from)
        buffer.resize(buffer.size() * 4);
    if (error != 0) {
        kv::util::log_lazy(log_warning, [&] {
            return std::string("Cannot get ") + Traits::word + " entry: " + std::strerror(error);
        });
        tristate::set_none(name);
    } else if (result == nullptr) {
        kv::util::log_lazy(log_warning, [&] {
            return std::string("No ") + Traits::word + " entry found for " + Traits::id_word + " " +
                std::to_string(id);
        });
        tristate::set_none(name);
    } else {
        const std::string found = Traits::entry_name(entry);
        kv::util::log_lazy(log_debug, [&] { return std::string("Originator ") + Traits::word + " name is " + found; });
        tristate::set_value(name, found);
    }
}

void get_exe_path(context_t& ctx)
{
    if (!tristate::has_value(ctx.pid)) {
        tristate::set_none(ctx.exe_path);
        return;
    }
    const unsigned long long pid = tristate::get(ctx.pid);
    std::string failure;
    try {
        const std::string path = fw::linux::read_proc_exe(static_cast<int>(pid)).string();
        kv::util::log_lazy(log_debug, [&] { return "Originator exe_path is " + path; });
        tristate::set_value(ctx.exe_path, path);
        return;
    } catch (const std::exception& e) {
        failure = e.what();
    }
    kv::util::log_lazy(log_warning, [&] {
        return "Cannot get exe path for pid " + std::to_string(pid) + ": " + failure;
    });
    tristate::set_none(ctx.exe_path);
}

// Runs the steps from the lowest level still unknown up to `level`; pid is known.
void climb(context_t& ctx, level_t level)
{
    if (level == level_t::pid || !is_undefined(ctx, level))
        return;
    climb(ctx, prerequisite(level));
    if (!is_undefined(ctx, level)) // the uid/gid step sets both
        return;
    switch (level) {
    case level_t::uid:
    case level_t::gid: get_uid_gid(ctx); break;
    case level_t::user: get_user_group<user_traits_t>(ctx); break;
    case level_t::group: get_user_group<group_traits_t>(ctx); break;
    case level_t::exe_path: get_exe_path(ctx); break;
    case level_t::pid: break;
    }
}

int push_level(lua_State* L, context_t& ctx, level_t level)
{
    switch (level) {
    case level_t::pid: return push_integer_field(L, ctx.pid);
    case level_t::exe_path: return push_string_field(L, ctx.exe_path);
    case level_t::uid: return push_integer_field(L, ctx.uid);
    case level_t::gid: return push_integer_field(L, ctx.gid);
    case level_t::user: return push_string_field(L, ctx.user);
    case level_t::group: return push_string_field(L, ctx.group);
    }
    lua_pushnil(L);
    return 1;
}

void on_pid_answer(lua_State* L, kv::lua::coroutine_t* co, std::exception_ptr error, int pid)
{
    lua_checkstack(L, 2);
    if (error)
        kv::lua::push_exception(L, std::move(error));
    else
        lua_pushinteger(L, pid);
    co->resume(0);
}

// The pid request's continuation: the answer is on top of (table, key).
template <level_t Level>
int after_pid(lua_State* L, int, lua_KContext)
{
    context_t& ctx = upvalue_context(L);
    return kv::lua::guarded(L, [&] {
        if (const std::exception_ptr* error = kv::lua::test_exception(L, -1)) {
            kv::util::log_lazy(log_info, [&] { return "Cannot get pid: " + kv::util::exception_message(*error); });
            tristate::set_none(ctx.pid);
        } else {
            const lua_Integer pid = lua_tointeger(L, -1);
            kv::util::log_lazy(log_debug, [&] { return "Originator PID is " + std::to_string(pid); });
            tristate::set_value(ctx.pid, static_cast<unsigned long long>(pid));
        }
        lua_pop(L, 1);
        climb(ctx, Level);
        return push_level(L, ctx, Level);
    });
}

template <level_t Level>
int get_chain_field(lua_State* L, context_t& ctx)
{
    if (!is_undefined(ctx, Level))
        return kv::lua::guarded(L, [&] { return push_level(L, ctx, Level); });
    bool ask_pid = false;
    kv::lua::guarded(L, [&] {
        for (level_t level = Level;; level = prerequisite(level)) {
            log_opening_line(ctx, level);
            if (level == level_t::pid) {
                ask_pid = true;
                break;
            }
            if (!is_undefined(ctx, prerequisite(level)))
                break;
        }
        return 0;
    });
    if (!ask_pid)
        return kv::lua::guarded(L, [&] {
            climb(ctx, Level);
            return push_level(L, ctx, Level);
        });

    kv::lua::coroutine_t* co = kv::lua::current_coroutine(L);
    kv::lua::get_registry(L, registry_key::process_finder);
    auto* finder = static_cast<process_finder_t*>(lua_touserdata(L, -1));
    lua_pop(L, 1);
    if (finder == nullptr)
        return luaL_error(L, "No process finder is set");
    kv::lua::guarded(L, [&] {
        finder->get_pid(ctx.src, ctx.dst, co->wrap([L, co](std::exception_ptr error, int pid) {
                            on_pid_answer(L, co, std::move(error), pid);
                        }));
        return 0;
    });
    return kv::lua::coroutine_t::yield(L, after_pid<Level>);
}

// ---- interfaces

template <tristate::value_t<std::string> context_t::*Field, std::optional<int> context_t::*Index>
int get_iface(lua_State* L, context_t& ctx, const char* name)
{
    auto& field = ctx.*Field;
    if (tristate::is_undefined(field)) {
        kv::lua::guarded(L, [&] {
            kv::util::log_lazy(log_debug, [&] { return std::string("Attempting to get ") + name; });
            const std::optional<int>& index = ctx.*Index;
            if (!index) {
                kv::util::log_lazy(log_info, [&] {
                    return std::string("Cannot get ") + name + ": no interface index provided";
                });
                tristate::set_none(field);
                return 0;
            }
            std::vector<fw::linux::interface_info_t> interfaces;
            std::string failure;
            try {
                interfaces = fw::linux::list_interfaces();
            } catch (const std::exception& e) {
                failure = e.what();
            }
            if (!failure.empty()) {
                kv::util::log_lazy(log_warning, [&] { return "Cannot get interface info: " + failure; });
                tristate::set_none(field);
                return 0;
            }
            for (const auto& interface : interfaces) {
                if (interface.index == *index) {
                    kv::util::log_lazy(log_debug, [&] { return std::string(name) + " is " + interface.name; });
                    tristate::set_value(field, interface.name);
                    return 0;
                }
            }
            kv::util::log_lazy(log_warning, [&] { return "No interface found for index " + std::to_string(*index); });
            tristate::set_none(field);
            return 0;
        });
    }
    return kv::lua::guarded(L, [&] { return push_string_field(L, field); });
}

int get_iface_in(lua_State* L, context_t& ctx)
{
    return get_iface<&context_t::iface_in, &context_t::in_index>(L, ctx, "iface_in");
}

int get_iface_out(lua_State* L, context_t& ctx)
{
    return get_iface<&context_t::iface_out, &context_t::out_index>(L, ctx, "iface_out");
}

using getter_t = int (*)(lua_State*, context_t&);

std::optional<int> interface_index(const std::optional<std::uint32_t>& index)
{
    if (index)
        return static_cast<int>(*index);
    return std::nullopt;
}

} // namespace

void push_context(lua_State* L, const connection_info_t& info)
{
    auto ctx = std::make_shared<context_t>();
    ctx->src = info.source;
    ctx->dst = info.destination;
    ctx->divert = info.divert;
    ctx->in_index = interface_index(info.in_interface);
    ctx->out_index = interface_index(info.out_interface);
    if (info.uid)
        tristate::set_value(ctx->uid, *info.uid);
    if (info.gid)
        tristate::set_value(ctx->gid, *info.gid);

    lua_checkstack(L, 4);
    lua_createtable(L, 0, 1);
    lua_pushvalue(L, -1);
    lua_setmetatable(L, -2);
    push_shared_pointer(L, std::move(ctx));
    lua_pushcclosure(L, ctx_index, 1);
    lua_setfield(L, -2, "__index");
}

int ctx_index(lua_State* L)
{
    static const std::unordered_map<std::string_view, getter_t> getters{
        {"src", push_src},
        {"dst", push_dst},
        {"divert", push_divert},
        {"pid", get_chain_field<level_t::pid>},
        {"exe_path", get_chain_field<level_t::exe_path>},
        {"uid", get_chain_field<level_t::uid>},
        {"gid", get_chain_field<level_t::gid>},
        {"user", get_chain_field<level_t::user>},
        {"group", get_chain_field<level_t::group>},
        {"iface_in", get_iface_in},
        {"iface_out", get_iface_out},
    };
    if (lua_gettop(L) < 2 || lua_type(L, 2) != LUA_TSTRING) {
        lua_pushnil(L);
        return 1;
    }
    lua_settop(L, 2);
    std::size_t length = 0;
    const char* key = lua_tolstring(L, 2, &length);
    const auto getter = getters.find(std::string_view(key, length));
    if (getter == getters.end()) {
        lua_pushnil(L);
        return 1;
    }
    return getter->second(L, upvalue_context(L));
}

} // namespace fw::lua::intercept
