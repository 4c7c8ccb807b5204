#pragma once
// The load process's threads: started once and kept for its whole life, so
// that every measured arm sees the same generator. A job with more in flight
// than one is shared out among them.
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "bench/load/echo.hpp"

namespace bench {

class workers_t {
public:
    explicit workers_t(int count);
    ~workers_t();
    workers_t(const workers_t&) = delete;
    workers_t& operator=(const workers_t&) = delete;

    // The job split over min(workers, in flight) threads; their results merged.
    echo_result_t run(const echo_job_t& job);

private:
    void serve(std::size_t index);

    std::mutex mutex_;
    std::condition_variable wake_, done_;
    std::vector<std::function<void()>> tasks_;  // one slot per worker
    std::size_t pending_ = 0;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

} // namespace bench
