#pragma once
// Starts a program inside a named network namespace, for the end-to-end tests
// and the benchmark: only the child joins the namespace, the caller's own
// stays as it is.
#include <sys/types.h>

#include <string>
#include <vector>

namespace morva_test {

// Descriptors the child gets as its standard input, output and error; -1
// leaves the caller's in place.
struct std_streams_t {
    int in = -1;
    int out = -1;
    int err = -1;
};

// Runs `argv` (argv[0] a path) in the namespace /run/netns/<ns>, in a process
// group of its own, killed when the caller ends. Returns its pid; the child
// exits 126 when it cannot join the namespace and 127 when it cannot run the
// program.
pid_t spawn_in_netns(const std::string& ns, const std::vector<std::string>& argv, const std_streams_t& streams);

} // namespace morva_test
