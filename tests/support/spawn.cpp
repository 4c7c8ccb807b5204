#include "tests/support/spawn.hpp"

#include <fcntl.h>
#include <sched.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>

namespace morva_test {

pid_t spawn_in_netns(const std::string& ns, const std::vector<std::string>& argv, const std_streams_t& streams)
{
    const int ns_fd = ::open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
    if (ns_fd < 0)
        throw std::runtime_error("cannot open namespace " + ns + ": " + std::strerror(errno));
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) {
        const int error = errno;
        ::close(ns_fd);
        throw std::runtime_error(std::string("fork: ") + std::strerror(error));
    }
    if (pid == 0) {
        // Only async-signal-safe calls between fork and exec: the caller may run threads.
        ::setpgid(0, 0);
        // Gone with the caller, even when it crashes.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        const int targets[] = {0, 1, 2};
        const int sources[] = {streams.in, streams.out, streams.err};
        for (int i = 0; i < 3; ++i)
            if (sources[i] >= 0)
                ::dup2(sources[i], targets[i]);
        if (::setns(ns_fd, CLONE_NEWNET) != 0)
            ::_exit(126);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    ::close(ns_fd);
    return pid;
}

} // namespace morva_test
