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

// A copy of a program in a fresh directory that every user may enter, for
// running it as a user other than root: the build tree may lie where others
// cannot reach it (a checkout under /root, mode 0700). The program needs no
// file of the build tree besides itself. Removed with the object.
class reachable_copy_t {
public:
    explicit reachable_copy_t(const std::string& program);
    ~reachable_copy_t();
    reachable_copy_t(const reachable_copy_t&) = delete;
    reachable_copy_t& operator=(const reachable_copy_t&) = delete;

    const std::string& path() const { return path_; }

private:
    std::string dir_;
    std::string path_;
};

} // namespace morva_test
