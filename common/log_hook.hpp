#pragma once
// Logging hook for library code and Lua sessions: a replaceable handler with a
// level and a per-thread prefix. The handler runs under the hook's mutex and
// must not call back into the hook.
#include <exception>
#include <functional>
#include <string>
#include <utility>

#include "common/log_level.hpp"

namespace kv::util {

using log_level_t = int; // a cf_log_level: log_debug .. log_error
using logger_t = std::function<void(log_level_t, std::string const&)>;

// Hands the thread's prefix followed by the text to the handler. Callers test
// log_enabled(level) first; an empty handler throws std::bad_function_call.
void log(log_level_t level, std::string const& text);
int log_level();
int set_log_level(int level); // returns the previous level
logger_t set_logger(logger_t logger); // returns the previous handler
logger_t get_logger();
void set_log_prefix(std::string const& prefix);

inline bool log_enabled(log_level_t level)
{
    return log_level() <= level;
}

// Logs the text build() returns, building it only when the level passes.
template <typename Build>
void log_lazy(log_level_t level, Build&& build)
{
    if (log_enabled(level))
        kv::util::log(level, std::forward<Build>(build)());
}

// what() of a stored std::exception, unchanged; "Unexpected exception" otherwise.
std::string exception_message(std::exception_ptr const& e);

} // namespace kv::util
