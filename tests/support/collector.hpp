#pragma once
// Reads a descriptor to its end on a thread of its own: the standard output
// or error of a program started by a test or the benchmark.
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>

namespace morva_test {

using namespace std::chrono_literals;

class collector_t {
public:
    explicit collector_t(int fd) : fd_(fd), thread_([this] { loop(); }) {}
    ~collector_t()
    {
        join();
        ::close(fd_);
    }
    // Waits for the end of the stream: the text is complete afterwards.
    void join()
    {
        if (thread_.joinable())
            thread_.join();
    }
    std::string text()
    {
        std::lock_guard lock(mutex_);
        return text_;
    }
    bool wait_for(const std::string& needle, std::chrono::milliseconds timeout = 10s)
    {
        auto end = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < end) {
            if (text().find(needle) != std::string::npos)
                return true;
            std::this_thread::sleep_for(5ms);
        }
        return false;
    }

private:
    void loop()
    {
        char buf[4096];
        for (;;) {
            ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return;
            std::lock_guard lock(mutex_);
            text_.append(buf, static_cast<std::size_t>(n));
        }
    }

    int fd_;
    std::mutex mutex_;
    std::string text_;
    std::thread thread_;
};

} // namespace morva_test
