#pragma once
// Helpers for tests that touch the kernel. A netns test program runs in a
// network namespace of its own (see netns_main.cpp); these run witnesses there.
#include <string>

namespace morva_test {

// Runs a shell command in the current (test) namespace; returns its standard
// output. Throws std::runtime_error when it exits non-zero and `check` is set.
std::string sh(const std::string& command, bool check = true);

// Exit status of a shell command, its output discarded.
int sh_status(const std::string& command);

// True when the program runs in a network namespace other than its parent's.
bool in_private_netns();

} // namespace morva_test
