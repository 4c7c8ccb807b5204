#include "common/close_on_exec.hpp"

#include <fcntl.h>

#include "common/errno_error.hpp"

namespace fw::util {

void set_close_on_exec(int fd)
{
    const int flags = ::fcntl(fd, F_GETFD);
    if (flags < 0 || ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC) != 0)
        throw_errno("fcntl(FD_CLOEXEC)");
}

} // namespace fw::util
