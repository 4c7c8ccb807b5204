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

namespace {

void on_sigpipe(int) {}

} // namespace

void catch_sigpipe()
{
    // Caught, not ignored: an ignored signal stays ignored across exec, and the
    // programs a hook starts expect SIGPIPE to end them, as in a shell. A caught
    // one returns to its default in the exec'd program; here the failed write
    // simply reports EPIPE.
    struct sigaction action {};
    action.sa_handler = on_sigpipe;
    ::sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGPIPE, &action, nullptr);
}
