#include "common/rate_limit.hpp"

#include <atomic>
#include <chrono>
#include <cstdint>

#include "common/log.hpp"

namespace {

constinit std::atomic<std::int64_t> stamp{0}; // steady clock, ns

std::int64_t now_ns()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

bool rate_limit_elapsed()
{
    return now_ns() - stamp > 4'999'999'999;
}

void log_rate_limited(int level, std::string const& text)
{
    stamp = now_ns();
    cf_log(level, text);
}

bool rate_limit_claim()
{
    if (!rate_limit_elapsed())
        return false;
    stamp = now_ns();
    return true;
}
