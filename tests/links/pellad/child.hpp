#pragma once
// A stand-in peer run in the background for the length of a test: its standard
// output and error go to a file the test can watch; SIGTERM ends it.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <boost/filesystem/path.hpp>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>

namespace morva_test {

class child_t {
public:
    child_t(const std::vector<std::string>& argv, boost::filesystem::path output) : output_(std::move(output))
    {
        pid_ = ::fork();
        if (pid_ < 0)
            throw std::runtime_error("fork");
        if (pid_ == 0) {
            const int fd = ::open(output_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(fd, 1);
            ::dup2(fd, 2);
            std::vector<char*> args;
            for (const auto& a : argv)
                args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            ::execv(args[0], args.data());
            ::_exit(127);
        }
    }

    ~child_t()
    {
        ::kill(pid_, SIGTERM);
        int status;
        ::waitpid(pid_, &status, 0);
    }

    child_t(const child_t&) = delete;
    child_t& operator=(const child_t&) = delete;

    std::string output() const
    {
        std::ifstream in(output_.string());
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    // Waits up to five seconds for `text` to appear in the output.
    bool wait_for(const std::string& text) const
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (std::chrono::steady_clock::now() < deadline) {
            if (output().find(text) != std::string::npos)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }

private:
    boost::filesystem::path output_;
    pid_t pid_ = -1;
};

} // namespace morva_test
