#pragma once
#include <string>
#include <vector>

// Runs argv[0] (looked up in PATH when it has no slash) with the arguments
// argv, waits for it and returns its standard output and error, trailing line
// ends removed. A status other than 0 throws std::runtime_error with argv[0],
// " exited with status ", the raw wait status and ": " with the output, if any.
std::string run_program(const std::vector<std::string>& argv);
