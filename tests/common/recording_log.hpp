#pragma once
// A log object that keeps what it is given, for tests of the process log.
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/log.hpp"

namespace morva_test {

class recording_log_t : public cf_log_t {
public:
    explicit recording_log_t(callback_t cb1 = nullptr, callback_t cb2 = nullptr)
        : cf_log_t(std::move(cb1), std::move(cb2))
    {
    }

    void open() override { ++opened; }
    void write(int level, std::string const& text) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        lines.push_back(std::to_string(level) + " " + text);
    }
    void write_tagged(std::string const& tag, int n, std::string const& text) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        lines.push_back("tagged " + tag + " " + std::to_string(n) + " " + text);
    }
    void out_of_memory() override { ++out_of_memory_calls; }

    std::vector<std::string> taken()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return std::exchange(lines, {});
    }

    std::mutex mutex;
    std::vector<std::string> lines;
    int opened = 0;
    int out_of_memory_calls = 0;
};

// The one recording log of the test program, installed as the process log at
// its first use.
inline const std::shared_ptr<recording_log_t>& installed_recording_log()
{
    static const auto log = [] {
        auto l = std::make_shared<recording_log_t>();
        cf_log_install(l);
        return l;
    }();
    return log;
}

} // namespace morva_test
