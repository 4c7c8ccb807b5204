#pragma once
// Runs a function in a forked child with its standard error captured, for
// tests of what happens when the process ends.
#include <functional>
#include <string>

#include <sys/wait.h>
#include <unistd.h>

namespace morva_test {

struct child_result_t {
    int status = -1; // exit status, or 128 + signal
    std::string err;
};

inline child_result_t run_in_child(const std::function<void()>& body)
{
    int ends[2];
    if (::pipe(ends) != 0)
        return {};
    pid_t pid = ::fork();
    if (pid == 0) {
        ::close(ends[0]);
        ::dup2(ends[1], 2);
        ::close(ends[1]);
        body();
        ::_exit(99);
    }
    ::close(ends[1]);
    child_result_t result;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(ends[0], buffer, sizeof buffer)) > 0)
        result.err.append(buffer, static_cast<std::size_t>(n));
    ::close(ends[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

} // namespace morva_test
