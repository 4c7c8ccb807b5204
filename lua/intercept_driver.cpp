#include "lua/intercept_driver.hpp"

#include <cmath>
#include <stdexcept>
#include <utility>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include "lua/connection_context.hpp"
#include "lua/runtime.hpp"

namespace fw::lua::intercept {

namespace {

// Replaces the hook on top of L's stack by the session body closed over it.
lua_State* wrap_hook(lua_State* L)
{
    lua_pushcclosure(L, call_get_artifacts, 1);
    return L;
}

int after_get_artifacts(lua_State*, int, lua_KContext)
{
    return 4;
}

// Prefixes every line logged while the session's thread runs.
class session_log_handler {
public:
    session_log_handler(std::shared_ptr<kv::util::logger_t> saved, std::string id)
        : saved_(std::move(saved)), id_(std::move(id))
    {
    }

    void operator()(kv::util::log_level_t level, const std::string& text) const
    {
        (*saved_)(level, "Session " + id_ + ": " + text);
    }

private:
    std::shared_ptr<kv::util::logger_t> saved_;
    std::string id_;
};

// A number as its integer conversion; text when it has none.
std::string number_text(lua_State* L, int index)
{
    if (lua_isinteger(L, index))
        return std::to_string(lua_tointeger(L, index));
    const lua_Number n = std::trunc(lua_tonumber(L, index));
    if (n >= -9223372036854775808.0 && n < 9223372036854775808.0)
        return std::to_string(static_cast<long long>(n));
    return kv::lua::safe_tostring(L, index);
}

} // namespace

int call_get_artifacts(lua_State* L)
{
    lua_settop(L, 1);
    lua_checkstack(L, 3);
    lua_pushvalue(L, lua_upvalueindex(1));
    lua_insert(L, 1);
    kv::lua::get_registry(L, registry_key::get_artifacts);
    lua_insert(L, 1);
    lua_callk(L, 2, 4, 0, after_get_artifacts);
    return after_get_artifacts(L, LUA_OK, 0);
}

driver_t::driver_t(lua_State* L, boost::asio::io_context& io, const connection_info_t& info, std::string id)
    : coroutine_t(wrap_hook(L), -1), io_(io), id_(std::move(id)), saved_logger_(std::make_shared<kv::util::logger_t>())
{
    push_context(L, info);
    ctx_ = kv::lua::registry_ref_t(L);
    kv::util::log_lazy(log_info, [&] {
        return "Session " + id_ + ": started " + endpoint_text(info.source) + " -> " +
            endpoint_text(info.destination);
    });
    lua_checkstack(thread(), 1);
    ctx_.push(thread());
    resume(1);
}

driver_t::~driver_t() = default;

void driver_t::set_completion_handler(completion_handler_t handler)
{
    handler_ = std::move(handler);
    deliver_result();
}

void driver_t::on_coroutine_resume()
{
    *saved_logger_ = kv::util::set_logger(session_log_handler(saved_logger_, id_));
}

void driver_t::on_suspended()
{
    restore_logger();
}

void driver_t::restore_logger()
{
    kv::util::set_logger(*saved_logger_);
}

void driver_t::on_finished()
{
    restore_logger();
    artifacts_t artifacts = read_artifacts();
    std::exception_ptr failure;
    std::optional<verdict_t> verdict;
    std::string failure_text;
    try {
        verdict = parse_verdict();
    } catch (const std::exception&) {
        failure = std::current_exception();
        failure_text = kv::util::exception_message(failure);
    }
    lua_settop(thread(), 0);
    if (verdict) {
        kv::util::log_lazy(log_info, [&] {
            return "Session " + id_ + ": " + verdict_log_word(*verdict) + " " + format_ctx_fields();
        });
        result_ = result_t{std::move(artifacts), *verdict};
    } else {
        kv::util::log_lazy(log_info, [&] {
            return "Session " + id_ + ": " + failure_text + ": " + format_ctx_fields();
        });
        result_ = result_t{std::move(artifacts), failure};
    }
    deliver_result();
}

void driver_t::on_failed()
{
    restore_logger();
    std::exception_ptr failure = error_to_exception();
    kv::util::log_lazy(log_info, [&] {
        return "Session " + id_ + ": " + kv::util::exception_message(failure) + ": " + format_ctx_fields();
    });
    result_ = result_t{artifacts_t{}, failure};
    deliver_result();
}

artifacts_t driver_t::read_artifacts()
{
    lua_State* T = thread();
    artifacts_t artifacts;
    auto read = [&](std::optional<std::string>& field, const char* name) {
        if (lua_type(T, -1) == LUA_TSTRING)
            field = kv::lua::to_string(T, -1);
        else if (!lua_isnil(T, -1))
            kv::util::log_lazy(log_warning, [&] {
                return "Session " + id_ + ": Field \"" + name + "\" is not a string";
            });
        lua_pop(T, 1);
    };
    read(artifacts.user, "user");
    read(artifacts.exe_path, "exe_path");
    return artifacts;
}

verdict_t driver_t::parse_verdict()
{
    lua_State* T = thread();
    const bool ok = lua_toboolean(T, -1);
    lua_pop(T, 1);
    if (!ok)
        throw std::runtime_error(kv::lua::safe_tostring(T, -1));
    if (lua_type(T, -1) != LUA_TSTRING)
        throw std::runtime_error(kv::lua::type_mismatch_text(LUA_TSTRING, lua_type(T, -1)));
    const std::string text = kv::lua::lower_case(kv::lua::to_string(T, -1));
    lua_pop(T, 1);
    if (text == "check")
        return CHECK;
    if (text == "pass")
        return PASS;
    if (text == "drop")
        return DROP;
    if (text == "reject")
        return REJECT;
    throw std::runtime_error("incorrect return value: " + text);
}

std::exception_ptr driver_t::error_to_exception()
{
    lua_State* T = thread();
    std::exception_ptr failure;
    if (const std::exception_ptr* held = kv::lua::test_exception(T, -1); held != nullptr && *held)
        failure = *held;
    else
        failure = std::make_exception_ptr(std::runtime_error(kv::lua::safe_tostring(T, -1)));
    lua_pop(T, 1);
    return failure;
}

std::string driver_t::format_ctx_fields()
{
    static const char* const names[] = {"src",   "dst",      "divert",    "uid", "gid",     "user",
                                        "group", "iface_in", "iface_out", "pid", "exe_path"};
    lua_State* T = thread();
    lua_checkstack(T, 2);
    ctx_.push(T);
    std::string fields;
    for (const char* name : names) {
        lua_pushstring(T, name);
        lua_rawget(T, -2);
        if (!lua_isnil(T, -1)) {
            if (!fields.empty())
                fields += ' ';
            fields += name;
            fields += '=';
            fields += lua_type(T, -1) == LUA_TNUMBER ? number_text(T, -1) : kv::lua::safe_tostring(T, -1);
        }
        lua_pop(T, 1);
    }
    lua_pop(T, 1);
    return fields;
}

void driver_t::deliver_result()
{
    if (!result_ || !handler_)
        return;
    completion_handler_t handler = std::move(handler_);
    handler_ = nullptr;
    if (const auto* verdict = std::get_if<verdict_t>(&result_->outcome))
        boost::asio::post(io_, [handler = std::move(handler), verdict = *verdict, artifacts = result_->artifacts] {
            handler(nullptr, verdict, artifacts);
        });
    else
        boost::asio::post(io_, [handler = std::move(handler), failure = std::get<std::exception_ptr>(result_->outcome),
                                artifacts = result_->artifacts] { handler(failure, CHECK, artifacts); });
}

} // namespace fw::lua::intercept
