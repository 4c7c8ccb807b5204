#include "bench/load/workers.hpp"

#include <algorithm>
#include <exception>

namespace bench {

workers_t::workers_t(int count) : tasks_(static_cast<std::size_t>(std::max(count, 1)))
{
    for (std::size_t i = 0; i < tasks_.size(); ++i)
        threads_.emplace_back([this, i] { serve(i); });
}

workers_t::~workers_t()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (auto& t : threads_)
        t.join();
}

void workers_t::serve(std::size_t index)
{
    for (;;) {
        std::function<void()> task;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [&] { return stopping_ || tasks_[index]; });
            if (stopping_)
                return;
            task = std::move(tasks_[index]);
            tasks_[index] = nullptr;
        }
        task();
        {
            std::lock_guard lock(mutex_);
            --pending_;
        }
        done_.notify_all();
    }
}

echo_result_t workers_t::run(const echo_job_t& job)
{
    const auto shares = static_cast<std::size_t>(std::clamp<int>(job.in_flight, 1, static_cast<int>(tasks_.size())));
    std::vector<echo_result_t> results(shares);
    std::vector<std::exception_ptr> errors(shares);
    {
        std::lock_guard lock(mutex_);
        for (std::size_t i = 0; i < shares; ++i) {
            echo_job_t part = job;
            const auto n = static_cast<std::size_t>(job.in_flight);
            part.in_flight = static_cast<int>(n / shares + (i < n % shares ? 1 : 0));
            if (job.max_count >= 0)
                part.max_count = job.max_count / static_cast<long>(shares)
                                 + (static_cast<long>(i) < job.max_count % static_cast<long>(shares) ? 1 : 0);
            tasks_[i] = [part, &results, &errors, i] {
                try {
                    results[i] = run_echo(part);
                } catch (...) {
                    errors[i] = std::current_exception();
                }
            };
        }
        pending_ = shares;
    }
    wake_.notify_all();
    {
        std::unique_lock lock(mutex_);
        done_.wait(lock, [&] { return pending_ == 0; });
    }
    for (const auto& e : errors)
        if (e)
            std::rethrow_exception(e);
    echo_result_t all;
    for (auto& r : results) {
        all.done += r.done;
        all.done_total += r.done_total;
        all.failed += r.failed;
        all.seconds = std::max(all.seconds, r.seconds);
        all.latency_us.insert(all.latency_us.end(), r.latency_us.begin(), r.latency_us.end());
        all.kept.insert(all.kept.end(), r.kept.begin(), r.kept.end());
        if (all.first_error.empty())
            all.first_error = r.first_error;
    }
    return all;
}

} // namespace bench
