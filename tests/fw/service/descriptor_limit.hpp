#pragma once
// For a forked child that is to stop at the open-file limit: lowers the soft
// limit and takes every descriptor left, so the next open fails with EMFILE.
#include <cerrno>

#include <sys/resource.h>
#include <unistd.h>

namespace morva_test {

// True when the process now has no descriptor left.
inline bool exhaust_descriptors(rlim_t limit = 256)
{
    rlimit current{};
    if (::getrlimit(RLIMIT_NOFILE, &current) != 0)
        return false;
    current.rlim_cur = limit;
    if (::setrlimit(RLIMIT_NOFILE, &current) != 0)
        return false;
    while (::dup(2) >= 0) {
    }
    return errno == EMFILE;
}

} // namespace morva_test
