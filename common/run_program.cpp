#include "common/run_program.hpp"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <exception>
#include <stdexcept>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/system/system_error.hpp>

#include "common/errno_error.hpp"

#include "common/read_all.hpp"
#include "common/scoped_fd.hpp"

namespace {

using fw::util::throw_errno;

// After fork only async-signal-safe calls: everything is prepared beforehand.
[[noreturn]] void exec_child(int read_end, int write_end, char* const* args)
{
    ::close(read_end);
    if (::dup2(write_end, 1) < 0 || ::dup2(write_end, 2) < 0)
        ::_exit(1);
    // Whatever the caller did with SIGPIPE, the program starts with the default.
    ::signal(SIGPIPE, SIG_DFL);
    ::execvp(args[0], args);
    // strerror may translate and allocate; the untranslated text is static.
    const char* reason = ::strerrordesc_np(errno);
    if (!reason)
        reason = "Unknown error";
    static constexpr char prefix[] = "execve failed: ";
    [[maybe_unused]] auto ignored = ::write(1, prefix, sizeof prefix - 1);
    ignored = ::write(1, reason, ::strlen(reason));
    ::_exit(1);
}

} // namespace

std::string run_program(const std::vector<std::string>& argv)
{
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const auto& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);

    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        throw_errno("pipe");
    fw::util::scoped_fd_t read_end(ends[0]);
    fw::util::scoped_fd_t write_end(ends[1]);

    pid_t pid = ::fork();
    if (pid < 0)
        throw_errno("fork");
    if (pid == 0)
        exec_child(read_end.get(), write_end.get(), args.data());

    write_end.reset();
    std::string output;
    std::exception_ptr read_failure;
    try {
        output = read_all(read_end.get());
    } catch (const boost::system::system_error&) {
        read_failure = std::current_exception();
    }
    int status;
    while (::waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            throw_errno("waitpid");
    if (read_failure)
        std::rethrow_exception(read_failure);
    if (status != 0) {
        std::string text = argv[0] + " exited with status " + std::to_string(status);
        if (!output.empty())
            text += ": " + output;
        throw std::runtime_error(text);
    }
    return output;
}
