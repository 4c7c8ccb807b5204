#pragma once
// Reads a descriptor to its end on a thread of its own: the standard output
// or error of a program started by a test or the benchmark. What the program
// wrote before a call of text() is in its result: the call takes what the
// pipe still holds itself, so a test that saw an effect of the program's
// next step (a reply, an exit) never misses the line written before it.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>

#include "tests/support/wait.hpp"

namespace morva_test {

using namespace std::chrono_literals;

class collector_t {
public:
    explicit collector_t(int fd) : fd_(fd)
    {
        // Only this object reads; a read finding the pipe drained by the other reader must not block.
        ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
        thread_ = std::thread([this] { loop(); });
    }
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
        drain();
        return text_;
    }
    bool wait_for(const std::string& needle, std::chrono::milliseconds timeout = 10s)
    {
        return wait_until([&] { return text().find(needle) != std::string::npos; }, timeout);
    }

private:
    void loop()
    {
        for (;;) {
            pollfd ready{fd_, POLLIN, 0};
            if (::poll(&ready, 1, -1) < 0 && errno != EINTR)
                return;
            std::lock_guard lock(mutex_);
            drain();
            if (ended_)
                return;
        }
    }
    // Appends what the pipe holds now; with mutex_ held.
    void drain()
    {
        char buf[4096];
        while (!ended_) {
            ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno == EAGAIN)
                return;
            if (n <= 0) {
                ended_ = true;
                return;
            }
            text_.append(buf, static_cast<std::size_t>(n));
        }
    }

    int fd_;
    std::mutex mutex_;
    std::string text_;
    bool ended_ = false;
    std::thread thread_;
};

} // namespace morva_test
