#pragma once
// Owning file descriptor, moved along the road of a connection.
#include <unistd.h>
#include <utility>

namespace fw::util {

class scoped_fd_t {
public:
    scoped_fd_t() noexcept = default;
    explicit scoped_fd_t(int fd) noexcept : fd_(fd) {}
    scoped_fd_t(scoped_fd_t&& other) noexcept : fd_(other.release()) {}
    scoped_fd_t& operator=(scoped_fd_t&& other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    scoped_fd_t(const scoped_fd_t&) = delete;
    scoped_fd_t& operator=(const scoped_fd_t&) = delete;
    // 0 is never ours to close: main keeps descriptors 0-2 open, so an owned one is never 0.
    ~scoped_fd_t() { reset(); }

    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }

    int release() noexcept { return std::exchange(fd_, -1); }

    void reset(int fd = -1) noexcept
    {
        int old = std::exchange(fd_, fd);
        if (old > 0)
            ::close(old);
    }

private:
    int fd_ = -1;
};

} // namespace fw::util
