#include <csignal>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <boost/filesystem.hpp>
#include <boost/system/system_error.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/file_reader.hpp"
#include "common/log.hpp"
#include "common/nofile_limit.hpp"
#include "common/read_all.hpp"
#include "common/run_program.hpp"
#include "tests/common/recording_log.hpp"
#include "tests/common/temp_dir.hpp"

namespace {

namespace fs = boost::filesystem;
using testing::ElementsAre;

std::size_t open_descriptors()
{
    std::size_t count = 0;
    for (auto it = fs::directory_iterator("/proc/self/fd"); it != fs::directory_iterator(); ++it)
        ++count;
    return count;
}

class TempDir : public morva_test::temp_dir_test_t {
protected:
    fs::path file_of(const std::string& name, const std::string& content)
    {
        auto path = dir / name;
        std::ofstream(path.string(), std::ios::binary) << content;
        return path;
    }
};

using FileReader = TempDir;

TEST_F(FileReader, ChunksOfAFile)
{
    std::string content;
    for (int i = 0; i < 10000; ++i)
        content += static_cast<char>('a' + i % 26);
    auto path = file_of("data", content);
    std::size_t before = open_descriptors();
    {
        file_reader_t reader(path.string(), 4096);
        std::vector<int> sizes;
        std::string read;
        auto [it, end] = reader.chunks();
        for (; it != end; ++it) {
            sizes.push_back(it->size);
            EXPECT_EQ(it->data[it->size], '\0');
            read.append(it->data.get(), static_cast<std::size_t>(it->size));
        }
        EXPECT_THAT(sizes, ElementsAre(4096, 4096, 1808));
        EXPECT_EQ(read, content);
    }
    EXPECT_EQ(open_descriptors(), before);
}

TEST_F(FileReader, EmptyFileHasNoChunks)
{
    file_reader_t reader(file_of("empty", "").string(), 4096);
    auto [it, end] = reader.chunks();
    EXPECT_TRUE(it == end);
}

TEST_F(FileReader, Failures)
{
    auto missing = (dir / "missing").string();
    try {
        file_reader_t reader(missing, 16);
        FAIL();
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(std::string(e.what()), "Cannot open file " + missing + ": No such file or directory");
    }
    // A directory opens but cannot be read.
    try {
        file_reader_t reader(dir.string(), 16);
        FAIL();
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(e.code().value(), EISDIR);
        EXPECT_STREQ(e.what(), "Is a directory");
    }
}

std::string read_all_of(const std::string& written)
{
    int ends[2];
    EXPECT_EQ(::pipe(ends), 0);
    std::thread writer([&] {
        EXPECT_EQ(::write(ends[1], written.data(), written.size()), static_cast<ssize_t>(written.size()));
        ::close(ends[1]);
    });
    std::string result = read_all(ends[0]);
    writer.join();
    ::close(ends[0]);
    return result;
}

TEST(ReadAll, TrailingLineEndsRemoved)
{
    const std::pair<std::string, std::string> cases[] = {
        {"ok\r\n", "ok"},
        {"a\nb\r\n\n\r", "a\nb"},
        {"\r\n\n", ""},
        {"", ""},
        {"no end", "no end"},
        {std::string(10000, 'x') + "\n", std::string(10000, 'x')},
    };
    for (const auto& [written, expected] : cases)
        EXPECT_EQ(read_all_of(written), expected);
}

TEST(ReadAll, ReadFailure)
{
    try {
        read_all(-1);
        FAIL();
    } catch (const boost::system::system_error& e) {
        EXPECT_STREQ(e.what(), "read: Bad file descriptor");
    }
}

std::string failure_of(const std::vector<std::string>& argv)
{
    try {
        run_program(argv);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "no failure";
}

TEST(RunProgram, OutputAndStatus)
{
    std::size_t before = open_descriptors();
    EXPECT_EQ(run_program({"sh", "-c", "echo done"}), "done");
    EXPECT_EQ(run_program({"sh", "-c", "echo out; echo err >&2"}), "out\nerr");
    EXPECT_EQ(run_program({"sh", "-c", "head -c 200000 /dev/zero | tr '\\0' a"}), std::string(200000, 'a'));
    const std::pair<std::vector<std::string>, std::string> failures[] = {
        {{"sh", "-c", "exit 2"}, "sh exited with status 512"},
        {{"sh", "-c", "echo why; exit 1"}, "sh exited with status 256: why"},
        {{"sh", "-c", "kill -9 $$"}, "sh exited with status 9"},
        {{"/nonexistent/program"}, "/nonexistent/program exited with status 256: execve failed: No such file or directory"},
        {{"morva-no-such-program"}, "morva-no-such-program exited with status 256: execve failed: No such file or directory"},
    };
    for (const auto& [argv, text] : failures)
        EXPECT_EQ(failure_of(argv), text);
    EXPECT_EQ(open_descriptors(), before);
}

std::uint64_t ignored_signals(const std::string& status)
{
    auto at = status.find("SigIgn:");
    return std::stoull(status.substr(at + 7), nullptr, 16);
}

TEST(RunProgram, ChildGetsTheDefaultSigpipe)
{
    auto previous = ::signal(SIGPIPE, SIG_IGN);
    std::string own = run_program({"cat", "/proc/self/status"});
    ::signal(SIGPIPE, previous);
    EXPECT_EQ(ignored_signals(own) & (1u << (SIGPIPE - 1)), 0u) << own;
    // A pipeline in the child ends quietly, as it does in a shell.
    ::signal(SIGPIPE, SIG_IGN);
    std::string pipeline = run_program({"sh", "-c", "yes | head -n 1"});
    ::signal(SIGPIPE, previous);
    EXPECT_EQ(pipeline, "y");
}

TEST(NofileLimit, SoftLimit)
{
    struct rlimit saved {};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    EXPECT_EQ(nofile_limit(), saved.rlim_cur);
    struct rlimit lower = saved;
    lower.rlim_cur = 300;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lower), 0);
    EXPECT_EQ(nofile_limit(), 300u);
    ::setrlimit(RLIMIT_NOFILE, &saved);
}

TEST(RateLimit, OneLineRestartsTheWindow)
{
    auto log = std::make_shared<morva_test::recording_log_t>();
    cf_log_install(log);
    // The stamp starts at 0 and the monotonic clock has long passed 5 s.
    EXPECT_TRUE(rate_limit_elapsed());
    EXPECT_TRUE(rate_limit_elapsed());
    log_rate_limited(3, "invalid packet intercepted");
    EXPECT_FALSE(rate_limit_elapsed());
    EXPECT_THAT(log->taken(), ElementsAre("3 invalid packet intercepted"));
}

} // namespace
