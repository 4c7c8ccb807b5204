#pragma once
// Forked children of the service tests: one that is to stop at the open-file
// limit lowers the soft limit and takes every descriptor left, so the next
// open fails with EMFILE.
#include <cerrno>
#include <exception>
#include <functional>
#include <string>

#include <sys/resource.h>
#include <unistd.h>

#include "tests/common/fork.hpp"

namespace morva_test {

// run_in_child, where an exception ends the child with status 3 and its text
// on standard error, instead of going on with the test program in the child.
inline child_result_t run_guarded_in_child(const std::function<void()>& body)
{
    return run_in_child([&body] {
        try {
            body();
        } catch (const std::exception& e) {
            const std::string text = std::string(e.what()) + "\n";
            ::write(2, text.data(), text.size());
            ::_exit(3);
        }
    });
}

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
