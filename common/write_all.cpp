#include <cerrno>

#include <unistd.h>

#include "common/log.hpp"

void write_all(int fd, const void* data, std::size_t n)
{
    const auto* bytes = static_cast<const char*>(data);
    std::size_t count = 0;
    while (count < n) {
        ssize_t written = ::write(fd, bytes + count, n - count);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        // A write that transfers nothing would do so again: give the line up.
        if (written == 0)
            return;
        count += static_cast<std::size_t>(written);
    }
}

void write_out_of_memory_line(int fd)
{
    static constexpr char line[] = "Error: Not enough memory\n";
    write_all(fd, line, sizeof line - 1);
}
