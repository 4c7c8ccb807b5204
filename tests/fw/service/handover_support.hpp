#pragma once
// Shared by the tests of the hand-over services: an event loop turned until a
// condition holds, and a process log that records every line from Debug up.
#include <chrono>
#include <functional>
#include <memory>

#include <boost/asio/io_context.hpp>

#include "common/log.hpp"
#include "tests/common/recording_log.hpp"

namespace morva_test {

inline bool run_until(boost::asio::io_context& io, const std::function<bool()>& done,
                      std::chrono::milliseconds timeout = std::chrono::seconds(2))
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (done())
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        io.run_for(std::chrono::milliseconds(2));
        io.restart();
    }
}

// The one recording log of the test program, emptied, at threshold Debug.
inline std::shared_ptr<recording_log_t> fresh_debug_log()
{
    static const auto log = [] {
        auto l = std::make_shared<recording_log_t>();
        cf_log_install(l);
        return l;
    }();
    cf_log_threshold = 0;
    log->taken();
    return log;
}

} // namespace morva_test
