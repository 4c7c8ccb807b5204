#include "common/scoped_fd.hpp"

#include <cerrno>
#include <csignal>
#include <string>

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "common/process_start.hpp"
#include "tests/common/fork.hpp"

namespace {

using fw::util::scoped_fd_t;

bool is_open(int fd)
{
    return ::fcntl(fd, F_GETFD) >= 0;
}

int open_null()
{
    return ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

TEST(ScopedFd, ClosesWhatItOwns)
{
    int fd = open_null();
    ASSERT_GT(fd, 2);
    { scoped_fd_t owner(fd); }
    EXPECT_FALSE(is_open(fd));

    fd = open_null();
    int other = open_null();
    {
        scoped_fd_t owner(fd);
        owner = scoped_fd_t(other);
        EXPECT_FALSE(is_open(fd));
        EXPECT_EQ(owner.get(), other);
    }
    EXPECT_FALSE(is_open(other));
}

TEST(ScopedFd, MovedAndReleasedHoldersCloseNothing)
{
    int fd = open_null();
    scoped_fd_t first(fd);
    {
        scoped_fd_t second(std::move(first));
        EXPECT_EQ(first.get(), -1);
        EXPECT_EQ(second.release(), fd);
        EXPECT_EQ(second.get(), -1);
    }
    EXPECT_TRUE(is_open(fd));
    ::close(fd);
}

TEST(ScopedFd, NeverClosesZero)
{
    open_standard_descriptors();
    ASSERT_TRUE(is_open(0));
    { scoped_fd_t owner(0); }
    EXPECT_TRUE(is_open(0));
    { scoped_fd_t owner(-5); }
    { scoped_fd_t empty; }
}

// With 0 to 2 closed, open() would hand out 0; main fills them first.
TEST(ProcessStart, ClosedStandardDescriptorsAreFilled)
{
    auto r = morva_test::run_in_child([] {
        ::close(0);
        ::close(1);
        ::dup2(2, 7);
        ::close(2);
        open_standard_descriptors();
        char path[64] = {};
        for (int fd = 0; fd <= 2; ++fd) {
            std::string link = "/proc/self/fd/" + std::to_string(fd);
            ssize_t n = ::readlink(link.c_str(), path, sizeof path - 1);
            if (n <= 0 || std::string(path, static_cast<std::size_t>(n)) != "/dev/null")
                ::_exit(10 + fd);
        }
        scoped_fd_t owned(open_null());
        ::_exit(owned.get() > 2 ? 0 : 20);
    });
    EXPECT_EQ(r.status, 0);
}

TEST(ProcessStart, OpenDescriptorsAreLeftAlone)
{
    auto r = morva_test::run_in_child([] {
        int pipe_ends[2];
        if (::pipe(pipe_ends) != 0)
            ::_exit(1);
        ::dup2(pipe_ends[1], 1);
        open_standard_descriptors();
        // Still the pipe: a write arrives at the read end.
        if (::write(1, "x", 1) != 1)
            ::_exit(2);
        char c;
        ::_exit(::read(pipe_ends[0], &c, 1) == 1 && c == 'x' ? 0 : 3);
    });
    EXPECT_EQ(r.status, 0);
}

TEST(ProcessStart, CaughtSigpipeTurnsIntoEpipeAndStartedProgramsKeepTheDefault)
{
    // The daemon survives a vanished reader; a program it starts (a hook's
    // pipeline) is still ended by SIGPIPE, as it would be in a shell.
    auto r = morva_test::run_in_child([] {
        catch_sigpipe();
        int ends[2];
        if (::pipe(ends) != 0)
            ::_exit(1);
        ::close(ends[0]);
        if (::write(ends[1], "x", 1) >= 0 || errno != EPIPE)
            ::_exit(2);
        ::execl("/bin/sh", "sh", "-c", "grep SigIgn /proc/self/status >&2", nullptr);
        ::_exit(3);
    });
    EXPECT_EQ(r.status, 0);
    const auto at = r.err.find("SigIgn:");
    ASSERT_NE(at, std::string::npos) << r.err;
    EXPECT_EQ(std::stoull(r.err.substr(at + 7), nullptr, 16) & (1ull << (SIGPIPE - 1)), 0u) << r.err;
}

} // namespace
