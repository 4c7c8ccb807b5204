#include "common/log_sinks.hpp"

#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/filesystem.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "log.pb.h"
#include "tests/common/recording_log.hpp"
#include "tests/common/temp_dir.hpp"

namespace {

using morva_test::recording_log_t;
using testing::ElementsAre;
namespace fs = boost::filesystem;

std::string read_file(const fs::path& path)
{
    std::ifstream in(path.string(), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Sends whatever reaches a descriptor into a file for the test's lifetime.
class redirect_t {
public:
    redirect_t(int fd, const fs::path& file) : fd_(fd), saved_(::dup(fd))
    {
        int target = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ::dup2(target, fd);
        ::close(target);
    }
    ~redirect_t()
    {
        ::dup2(saved_, fd_);
        ::close(saved_);
    }

private:
    int fd_;
    int saved_;
};

class LogSinks : public morva_test::temp_dir_test_t {
protected:
    void SetUp() override
    {
        temp_dir_test_t::SetUp();
        // The factory's own lines go to a log the test can read.
        recorder = std::make_shared<recording_log_t>();
        cf_log_install(recorder);
        cf_log_threshold = 0;
        ::unsetenv("COM_MORVA_ADD_LOG_PIPE");
    }
    void TearDown() override
    {
        ::unsetenv("COM_MORVA_ADD_LOG_PIPE");
        temp_dir_test_t::TearDown();
    }

    kv::Log config(kv::Log::LogType type)
    {
        kv::Log log;
        log.set_type(type);
        return log;
    }

    std::shared_ptr<recording_log_t> recorder;
};

const char* time_stamp = R"(\d{4}-(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec)-\d{2} \d{2}:\d{2}:\d{2})";

TEST_F(LogSinks, FileLinesAppendedWithTimeStampPidAndLevel)
{
    auto path = dir / "morva.log";
    {
        std::ofstream(path.string()) << "kept\n";
    }
    auto cfg = config(kv::Log::FILE);
    cfg.set_path(path.string());
    {
        auto log = make_log(cfg, nullptr, nullptr);
        log->open();
        log->write(1, "T");
        log->write_tagged("Session", 3, "tagged");
        log->out_of_memory();
    }
    std::string pid = std::to_string(::getpid());
    std::regex expected(std::string("kept\n") + time_stamp + " \\[" + pid + "\\] Info: T\n" + time_stamp
                        + " \\[Session-3\\] tagged\nError: Not enough memory\n");
    std::string text = read_file(path);
    EXPECT_TRUE(std::regex_match(text, expected)) << text;
}

TEST_F(LogSinks, NewFileIsPrivate)
{
    auto path = dir / "new.log";
    auto cfg = config(kv::Log::FILE);
    cfg.set_path(path.string());
    mode_t old = ::umask(0);
    make_log(cfg, nullptr, nullptr);
    ::umask(old);
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST_F(LogSinks, FileThatCannotBeCreated)
{
    auto cfg = config(kv::Log::FILE);
    cfg.set_path((dir / "missing" / "x.log").string());
    try {
        make_log(cfg, nullptr, nullptr);
        FAIL() << "no exception";
    } catch (const fs::filesystem_error& e) {
        EXPECT_EQ(e.code(), boost::system::error_code(ENOENT, boost::system::system_category()));
        EXPECT_THAT(e.what(), testing::HasSubstr("Cannot create log"));
        EXPECT_EQ(e.path1(), dir / "missing" / "x.log");
    }
}

TEST_F(LogSinks, ConsoleLines)
{
    auto file = dir / "stderr";
    {
        redirect_t redirect(2, file);
        auto log = make_default_log();
        log->write(3, "careful");
        log->write(9, "odd level");
        log->write_tagged("Session", 12, "tagged");
        log->out_of_memory();
    }
    EXPECT_EQ(read_file(file), "Warning: careful\nUnknown: odd level\nSession-12: tagged\nError: Not enough memory\n");
}

TEST_F(LogSinks, StderrWithTimeStampLeavesDescriptorTwoOpen)
{
    auto file = dir / "stderr";
    auto cfg = config(kv::Log::STDERR);
    cfg.set_show_timestamp(true);
    {
        redirect_t redirect(2, file);
        make_log(cfg, nullptr, nullptr)->write(2, "first");
        make_log(cfg, nullptr, nullptr)->write(2, "second");
        cfg.set_show_timestamp(false);
        make_log(cfg, nullptr, nullptr)->write(2, "plain");
    }
    std::string pid = std::to_string(::getpid());
    std::regex expected(std::string(time_stamp) + " \\[" + pid + "\\] Notice: first\n" + time_stamp + " \\[" + pid
                        + "\\] Notice: second\nNotice: plain\n");
    std::string text = read_file(file);
    EXPECT_TRUE(std::regex_match(text, expected)) << text;
}

TEST_F(LogSinks, AdditionalLogPipe)
{
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC | O_NONBLOCK), 0);
    ::setenv("COM_MORVA_ADD_LOG_PIPE", std::to_string(ends[1]).c_str(), 1);
    auto log = make_log(config(kv::Log::SYSLOG), nullptr, nullptr);
    log->cb1("Info: one");
    log->cb2("[t-1] two");
    char buffer[256];
    ssize_t n = ::read(ends[0], buffer, sizeof buffer);
    EXPECT_EQ(std::string(buffer, n > 0 ? n : 0), "Info: one\n[t-1] two\n");
    EXPECT_THAT(recorder->taken(), ElementsAre("0 Log Factory: Additional log - " + std::to_string(ends[1])));

    // Standard error is the console already: no copies, unless the caller asks.
    auto console = make_log(config(kv::Log::STDERR), nullptr, nullptr);
    console->cb1("Info: three");
    console->cb2("[t-2] four");
    EXPECT_EQ(::read(ends[0], buffer, sizeof buffer), -1);
    std::vector<std::string> mine;
    auto own = make_log(config(kv::Log::STDERR), [&](std::string const& line) { mine.push_back(line); }, nullptr);
    own->cb1("Info: five");
    own->cb2("[t-3] six");
    EXPECT_THAT(mine, ElementsAre("Info: five"));
    ::close(ends[0]);
    ::close(ends[1]);
}

TEST_F(LogSinks, AdditionalLogPipeMisnamed)
{
    for (const char* value : {"", " 7", "7x", "99999999999", "0x7"}) {
        ::setenv("COM_MORVA_ADD_LOG_PIPE", value, 1);
        make_default_callback()("goes nowhere");
        EXPECT_THAT(recorder->taken(), ElementsAre("4 Log Factory: Wrong environment variable COM_MORVA_ADD_LOG_PIPE"))
            << '"' << value << '"';
    }
    ::setenv("COM_MORVA_ADD_LOG_PIPE", "+7", 1);
    make_default_callback();
    EXPECT_THAT(recorder->taken(), ElementsAre("0 Log Factory: Additional log - 7"));
    ::unsetenv("COM_MORVA_ADD_LOG_PIPE");
    make_default_callback();
    EXPECT_TRUE(recorder->taken().empty());
}

TEST(LogFactory, LevelsAndFacilities)
{
    const int levels[][2] = {{0, 4}, {1, 0}, {2, 1}, {3, 2}, {4, 3}, {5, 4}, {6, 4}, {-1, 4}};
    for (auto [in, out] : levels)
        EXPECT_EQ(to_cf_log_level(in), out) << in;
    const int facilities[][2] = {{1, 24}, {2, 8}, {3, 16}, {4, 24}, {9, 24}, {10, 128}, {13, 152}, {17, 184}, {18, 24}, {0, 24}};
    for (auto [in, out] : facilities)
        EXPECT_EQ(to_syslog_facility(in), out) << in;
}

} // namespace
