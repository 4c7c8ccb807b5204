#pragma once
// Runs a program as a child for black-box tests: arguments, extra environment,
// standard input text, and its captured output and wait status.
#include <map>
#include <string>
#include <vector>

namespace morva_test {

struct run_result_t {
    int status = -1;         // exit status, or 128 + signal
    std::string out;         // standard output
    std::string err;         // standard error
};

run_result_t run(const std::vector<std::string>& argv,
                 const std::map<std::string, std::string>& env = {},
                 const std::string& cwd = {});

// Path of a program built in this build tree (MORVA_BUILD_DIR).
std::string built(const std::string& relative);

} // namespace morva_test
