#include "tests/support/process.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <sys/stat.h>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace morva_test {

namespace {

void drain(int out_fd, int err_fd, std::string& out, std::string& err)
{
    pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
    std::string* sink[2] = {&out, &err};
    int open = 2;
    while (open > 0) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            throw std::runtime_error("poll failed");
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char buf[4096];
            ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                sink[i]->append(buf, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
}

} // namespace

run_result_t run(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                 const std::string& cwd)
{
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    std::vector<char*> args;
    for (auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = ::fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        for (auto& [k, v] : env)
            ::setenv(k.c_str(), v.c_str(), 1);
        if (!cwd.empty() && ::chdir(cwd.c_str()) != 0)
            ::_exit(126);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    run_result_t r;
    drain(out[0], err[0], r.out, r.err);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return r;
}

std::string built(const std::string& relative)
{
    const char* dir = std::getenv("MORVA_BUILD_DIR");
    return std::string(dir ? dir : ".") + "/" + relative;
}

reachable_copy_t::reachable_copy_t(const std::string& program)
{
    std::string dir = "/tmp/morva-test-exec-XXXXXX";
    if (::mkdtemp(dir.data()) == nullptr)
        throw std::runtime_error("reachable_copy_t: cannot create " + dir + ": " + std::strerror(errno));
    dir_ = dir;
    path_ = dir_ + "/" + std::filesystem::path(program).filename().string();
    std::error_code ec;
    std::filesystem::copy_file(program, path_, ec);
    if (ec || ::chmod(dir_.c_str(), 0755) != 0 || ::chmod(path_.c_str(), 0755) != 0) {
        std::filesystem::remove_all(dir_, ec);
        throw std::runtime_error("reachable_copy_t: cannot copy " + program + " to " + path_);
    }
}

reachable_copy_t::~reachable_copy_t()
{
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

} // namespace morva_test
