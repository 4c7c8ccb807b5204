#include "common/process_start.hpp"

#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <unistd.h>

void open_standard_descriptors()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
            continue;
        // The lowest free number is taken, which is fd itself.
        int null = ::open("/dev/null", O_RDWR);
        if (null < 0)
            ::_exit(125);
        if (null != fd) {
            ::dup2(null, fd);
            ::close(null);
        }
    }
}

void ignore_sigpipe()
{
    ::signal(SIGPIPE, SIG_IGN);
}
