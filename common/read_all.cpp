#include "common/read_all.hpp"

#include <cerrno>

#include <unistd.h>

#include <boost/system/system_error.hpp>

std::size_t read_some(int fd, char* data, std::size_t size)
{
    for (;;) {
        ssize_t count = ::read(fd, data, size);
        if (count >= 0)
            return static_cast<std::size_t>(count);
        if (errno != EINTR)
            throw boost::system::system_error(errno, boost::system::system_category(), "read");
    }
}

std::string read_all(int fd)
{
    std::string result;
    char block[4096];
    while (std::size_t count = read_some(fd, block, sizeof block))
        result.append(block, count);
    auto last = result.find_last_not_of("\r\n");
    result.erase(last == std::string::npos ? 0 : last + 1);
    return result;
}
