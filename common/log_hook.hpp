#pragma once
// Logging hook for library code and Lua sessions: a replaceable handler with a
// level and a per-thread prefix. The handler runs under the hook's mutex and
// must not call back into the hook.
#include <exception>
#include <functional>
#include <string>

namespace kv::util {

using log_level_t = int; // 0 debug, 1 info, 2 notice, 3 warning, 4 error
using logger_t = std::function<void(log_level_t, std::string const&)>;

// Hands the thread's prefix followed by the text to the handler. Callers test
// log_level() <= level first; an empty handler throws std::bad_function_call.
void log(log_level_t level, std::string const& text);
int log_level();
int set_log_level(int level); // returns the previous level
logger_t set_logger(logger_t logger); // returns the previous handler
logger_t get_logger();
void set_log_prefix(std::string const& prefix);

// what() of a stored std::exception, unchanged; "Unexpected exception" otherwise.
std::string exception_message(std::exception_ptr const& e);

} // namespace kv::util
