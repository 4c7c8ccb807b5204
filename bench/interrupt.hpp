#pragma once
// Ctrl-C or SIGTERM ends the run at the next wait, cleaning up on the way out.
#include <atomic>
#include <stdexcept>

namespace bench {

inline std::atomic<bool> interrupted{false};

inline void check_interrupted()
{
    if (interrupted)
        throw std::runtime_error("interrupted");
}

} // namespace bench
