// write_all against scripted results of write(2): this program supplies its
// own write(), which answers from a script for one fake descriptor and passes
// every other call to the kernel.
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/log.hpp"

namespace {

constexpr int fake_fd = 1000;

struct call_t {
    std::size_t offset;
    std::size_t length;
};

struct result_t {
    ssize_t value; // bytes written, or -1
    int error = 0;
};

std::vector<result_t> script;
std::vector<call_t> calls;
const char* base = nullptr;
std::atomic<int> interrupted_writes{0};

} // namespace

extern "C" ssize_t write(int fd, const void* data, size_t n)
{
    if (fd != fake_fd) {
        ssize_t r = ::syscall(SYS_write, fd, data, n);
        if ((r < 0 && errno == EINTR) || (r > 0 && static_cast<size_t>(r) < n))
            ++interrupted_writes;
        return r;
    }
    calls.push_back({static_cast<std::size_t>(static_cast<const char*>(data) - base), n});
    // An exhausted script keeps answering 0; a loop on it shows as many calls.
    if (calls.size() > script.size() || calls.size() > 100)
        return 0;
    const auto& r = script[calls.size() - 1];
    if (r.value < 0)
        errno = r.error;
    return r.value;
}

namespace {

using testing::ElementsAreArray;

bool operator==(const call_t& a, const call_t& b)
{
    return a.offset == b.offset && a.length == b.length;
}

void PrintTo(const call_t& c, std::ostream* out)
{
    *out << "{" << c.offset << ", " << c.length << "}";
}

TEST(WriteAll, ScriptedResults)
{
    const struct {
        const char* name;
        std::vector<result_t> script;
        std::vector<call_t> calls;
    } cases[] = {
        {"all at once", {{10}}, {{0, 10}}},
        {"in parts", {{3}, {3}, {4}}, {{0, 10}, {3, 7}, {6, 4}}},
        {"interrupted, then the rest", {{-1, EINTR}, {4}, {-1, EINTR}, {6}}, {{0, 10}, {0, 10}, {4, 6}, {4, 6}}},
        {"nothing written at first", {{0}}, {{0, 10}}},
        // A zero-byte write after progress must end the attempt too.
        {"nothing written later", {{3}, {0}}, {{0, 10}, {3, 7}}},
        {"failure", {{-1, EIO}}, {{0, 10}}},
        {"failure after progress", {{5}, {-1, EPIPE}}, {{0, 10}, {5, 5}}},
    };
    const char data[] = "0123456789";
    for (const auto& c : cases) {
        script = c.script;
        calls.clear();
        base = data;
        write_all(fake_fd, data, 10);
        EXPECT_THAT(calls, ElementsAreArray(c.calls)) << c.name;
    }
}

TEST(WriteAll, OutOfMemoryLine)
{
    script = {{100}};
    calls.clear();
    base = nullptr;
    write_out_of_memory_line(fake_fd);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].length, std::strlen("Error: Not enough memory\n"));
}

void on_signal(int) {}

// A real pipe, a writer interrupted by signals: every byte arrives once, in order.
TEST(WriteAll, InterruptedBySignals)
{
    struct sigaction action {};
    action.sa_handler = on_signal; // no SA_RESTART: blocked writes are interrupted
    struct sigaction previous {};
    ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    ::fcntl(ends[1], F_SETPIPE_SZ, 4096);

    std::string sent(1 << 20, '\0');
    for (std::size_t i = 0; i < sent.size(); ++i)
        sent[i] = static_cast<char>(i * 7 + i / 251);
    interrupted_writes = 0;
    std::atomic<bool> done{false};
    std::thread writer([&] {
        write_all(ends[1], sent.data(), sent.size());
        ::close(ends[1]);
        done = true;
    });
    std::string received;
    char buffer[1024];
    for (;;) {
        if (!done)
            ::pthread_kill(writer.native_handle(), SIGUSR1);
        ssize_t n = ::read(ends[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        received.append(buffer, static_cast<std::size_t>(n));
    }
    writer.join();
    ::close(ends[0]);
    ::sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_GT(interrupted_writes, 0);
    EXPECT_TRUE(received == sent) << received.size() << " of " << sent.size() << " bytes";
}

} // namespace
