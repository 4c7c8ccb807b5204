// The output collector: what was written before a read is in what it returns,
// however far its own thread has got, and the stream's end ends the thread.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <string>

#include "common/scoped_fd.hpp"
#include "tests/support/collector.hpp"

namespace {

TEST(collector, holds_every_line_written_before_it_is_read)
{
    int pipe[2];
    ASSERT_EQ(::pipe2(pipe, O_CLOEXEC), 0);
    morva_test::collector_t collector(pipe[0]);
    // Closed also when an assertion ends the test, so the collector sees the end.
    fw::util::scoped_fd_t writer(pipe[1]);
    std::string expected;
    for (int i = 0; i < 1000; ++i) {
        const std::string line = "line " + std::to_string(i) + "\n";
        ASSERT_EQ(::write(writer.get(), line.data(), line.size()), static_cast<ssize_t>(line.size()));
        expected += line;
        ASSERT_EQ(collector.text(), expected);
    }
    writer.reset();
    collector.join();
    EXPECT_EQ(collector.text(), expected);
}

} // namespace
