#include "common/log_hook.hpp"

#include <mutex>
#include <utility>

namespace kv::util {

namespace {

struct hook_t {
    std::mutex mutex;
    int level = 0;
    logger_t logger = [](log_level_t, std::string const&) {};
};

hook_t& hook_state()
{
    static hook_t hook;
    return hook;
}

thread_local std::string prefix;

} // namespace

void log(log_level_t level, std::string const& text)
{
    auto& hook = hook_state();
    std::lock_guard<std::mutex> lock(hook.mutex);
    std::string line = prefix + text;
    hook.logger(level, line); // an empty handler throws std::bad_function_call
}

int log_level()
{
    auto& hook = hook_state();
    std::lock_guard<std::mutex> lock(hook.mutex);
    return hook.level;
}

int set_log_level(int level)
{
    auto& hook = hook_state();
    std::lock_guard<std::mutex> lock(hook.mutex);
    return std::exchange(hook.level, level);
}

logger_t set_logger(logger_t logger)
{
    auto& hook = hook_state();
    std::lock_guard<std::mutex> lock(hook.mutex);
    logger_t previous = std::move(hook.logger);
    hook.logger = std::move(logger);
    return previous;
}

logger_t get_logger()
{
    auto& hook = hook_state();
    std::lock_guard<std::mutex> lock(hook.mutex);
    return hook.logger;
}

void set_log_prefix(std::string const& prefix_)
{
    prefix = prefix_;
}

} // namespace kv::util
