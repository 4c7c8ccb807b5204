#pragma once
// A morva-bench-load process running in a network namespace for the whole
// run, driven one command line at a time through its standard input.
#include <sys/types.h>

#include <string>
#include <vector>

namespace bench {

class agent_t {
public:
    agent_t(std::string name, const std::string& ns, const std::vector<std::string>& argv);
    ~agent_t();
    agent_t(const agent_t&) = delete;
    agent_t& operator=(const agent_t&) = delete;

    void send(const std::string& line);
    // The words of the next answer after its "ok"; throws on "error ..." or when the process ended.
    std::vector<std::string> reply();
    std::vector<std::string> ask(const std::string& line)
    {
        send(line);
        return reply();
    }
    pid_t pid() const { return pid_; }

private:
    std::string read_line();

    std::string name_;
    pid_t pid_ = -1;
    int in_ = -1;   // its standard input
    int out_ = -1;  // its standard output
    std::string buffer_;
};

} // namespace bench
