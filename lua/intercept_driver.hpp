#pragma once
// One hook session per held connection: runs intercept_hook(ctx) in a program
// coroutine of its own and delivers the verdict, with the user name and the
// executable path, by a call posted to the event loop.
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include <lua.hpp>

#include "common/log_hook.hpp"
#include "lua/coroutine.hpp"
#include "lua/intercept_types.hpp"
#include "lua/registry.hpp"

namespace boost::asio {
class io_context;
}

namespace fw::lua::intercept {

class driver_t : public kv::lua::coroutine_t {
public:
    // (null, verdict, artifacts) for a verdict, (failure, CHECK, artifacts) otherwise.
    using completion_handler_t = std::function<void(std::exception_ptr, verdict_t, const artifacts_t&)>;

    struct result_t {
        artifacts_t artifacts;
        std::variant<verdict_t, std::exception_ptr> outcome;
    };

    // Takes the hook function from the top of L's stack and starts the
    // session; the verdict may be known when the constructor returns.
    driver_t(lua_State* L, boost::asio::io_context& io, const connection_info_t& info, std::string id);
    ~driver_t() override;

    // Replaces the handler held; with the result known, posts it at once.
    void set_completion_handler(completion_handler_t handler);

private:
    void on_finished() override;
    void on_failed() override;
    void on_suspended() override;
    void on_coroutine_resume() override;

    void restore_logger();
    artifacts_t read_artifacts();
    verdict_t parse_verdict();
    std::exception_ptr error_to_exception();
    std::string format_ctx_fields();
    void deliver_result();

    boost::asio::io_context& io_;
    std::string id_;
    kv::lua::registry_ref_t ctx_;
    std::shared_ptr<kv::util::logger_t> saved_logger_;
    completion_handler_t handler_;
    std::optional<result_t> result_;
};

// The thread's body: a native closure over the hook, given ctx; returns the
// four values of the get_artifacts chunk (val, ok, exe_path, user).
int call_get_artifacts(lua_State* L);

} // namespace fw::lua::intercept
