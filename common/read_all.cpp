#include "common/read_all.hpp"

#include <cerrno>

#include <unistd.h>

#include <boost/system/system_error.hpp>

std::string read_all(int fd)
{
    std::string result;
    char block[4096];
    for (;;) {
        ssize_t count = ::read(fd, block, sizeof block);
        if (count < 0) {
            if (errno == EINTR)
                continue;
            throw boost::system::system_error(errno, boost::system::system_category(), "read");
        }
        if (count == 0)
            break;
        result.append(block, static_cast<std::size_t>(count));
    }
    auto last = result.find_last_not_of("\r\n");
    result.erase(last == std::string::npos ? 0 : last + 1);
    return result;
}
