// The program started without marend: its command line, as a subprocess.
#include <csignal>
#include <map>
#include <string>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/filesystem.hpp>
#include <google/protobuf/util/json_util.h>
#include <gtest/gtest.h>

#include "application.pb.h"
#include "tests/support/netns.hpp"
#include "tests/support/process.hpp"

namespace {

namespace fs = boost::filesystem;
using morva_test::built;
using morva_test::run;

const std::string program = built("morva-firewall");

const char* help_text =
    "Command line options:\n"
    "  -h [ --help ]         print help message and exit\n"
    "  -v [ --version ]      print version and exit\n"
    "\n";

TEST(Standalone, Answers)
{
    const struct {
        std::vector<std::string> args;
        int status;
        std::string out;
    } cases[] = {
        {{"--help"}, 0, help_text},
        {{"-h"}, 0, help_text},
        {{"--HELP"}, 0, help_text},
        {{"--hel"}, 0, help_text},
        {{"-hv"}, 0, help_text},
        {{"--version", "--help"}, 0, help_text},
        {{"--version"}, 0, "morva-firewall " MORVA_VERSION "\n"},
        {{"-v"}, 0, "morva-firewall " MORVA_VERSION "\n"},
        {{"--Vers"}, 0, "morva-firewall " MORVA_VERSION "\n"},
        {{}, 1, "Cannot run standalone. See morva-firewall(1) for details.\n"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv{program};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        auto r = run(argv);
        std::string name = c.args.empty() ? "(none)" : c.args[0];
        EXPECT_EQ(r.status, c.status) << name;
        EXPECT_EQ(r.out, c.out) << name;
        EXPECT_EQ(r.err, "") << name;
    }
}

TEST(Standalone, RejectedArguments)
{
    const struct {
        std::vector<std::string> args;
        std::string reason;
    } cases[] = {
        {{"--foo"}, "unrecognised option '--foo'"},
        {{"--help=1"}, "option '--help' does not take any arguments"},
        {{"extra"}, "too many positional options have been specified on the command line"},
        {{"-x"}, "unrecognised option '-x'"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv{program};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        auto r = run(argv);
        EXPECT_EQ(r.status, 125) << c.args[0];
        EXPECT_EQ(r.out, "") << c.args[0];
        EXPECT_EQ(r.err, "Error: Initialization failed: " + c.reason + "\n") << c.args[0];
    }
}

kv::AppExeInfo parsed(const std::string& json)
{
    kv::AppExeInfo info;
    EXPECT_TRUE(google::protobuf::util::JsonStringToMessage(json, &info).ok()) << json;
    return info;
}

std::string base64(const std::string& bytes)
{
    std::string encoded = morva_test::sh("printf %s '" + bytes + "' | base64");
    return encoded.substr(0, encoded.find('\n'));
}

// Witnesses other than the program's own code: stat(1) and openssl(1).
void expect_describes(const std::string& json, const std::string& file, const std::string& owner)
{
    auto info = parsed(json);
    EXPECT_EQ(info.version(), MORVA_VERSION);
    std::string st = morva_test::sh("stat -L -c '%Z %Y %s' " + file);
    EXPECT_EQ(std::to_string(info.install_time()) + " " + std::to_string(info.modification_time()) + " "
                  + std::to_string(info.exe_size()) + "\n",
              st);
    std::string md5 = morva_test::sh("openssl dgst -md5 -binary " + file + " | base64");
    EXPECT_NE(json.find("\"exeMd5\":\"" + md5.substr(0, md5.find('\n')) + "\""), std::string::npos) << json;
    EXPECT_EQ(info.exe_md5().size(), 16u);
    EXPECT_EQ(info.exe_owner(), owner);
    EXPECT_NE(json.find("\"exeOwner\":\"" + base64(owner) + "\""), std::string::npos) << json;
}

TEST(Standalone, DumpAppInfo)
{
    auto r = run({program, "--dump-app-info"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    ASSERT_FALSE(r.out.empty());
    EXPECT_EQ(r.out.back(), '\n');
    struct stat st {};
    ASSERT_EQ(::stat(program.c_str(), &st), 0);
    std::string owner = st.st_uid == 0 ? "root" : morva_test::sh("id -nu " + std::to_string(st.st_uid));
    if (owner.back() == '\n')
        owner.pop_back();
    expect_describes(r.out.substr(0, r.out.size() - 1), program, owner);
    EXPECT_EQ(r.out.find(' '), std::string::npos) << "no added whitespace";
}

TEST(Standalone, DumpAppInfoOwnerWithoutPasswordEntry)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to give the copy another owner";
    fs::path dir = fs::temp_directory_path() / ("morva-standalone-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    fs::path copy = dir / "morva-firewall";
    fs::copy_file(program, copy);
    ASSERT_EQ(::chown(copy.c_str(), 54321, 54321), 0);
    ::chmod(copy.c_str(), 0755);
    // Through a relative path and a symbolic link: the program file itself is described.
    fs::create_symlink(copy, dir / "link");
    auto r = run({"./link", "--dump-app-info"}, {}, dir.string());
    EXPECT_EQ(r.status, 0);
    expect_describes(r.out.substr(0, r.out.size() - 1), copy.string(), "54321");
    EXPECT_NE(r.out.find("\"exeOwner\":\"NTQzMjE=\""), std::string::npos) << r.out;
    fs::remove_all(dir);
}

TEST(Standalone, DumpAppInfoOfAnUnresolvableName)
{
    // Found through PATH, but not in the working directory: the empty record.
    std::string path = fs::path(program).parent_path().string() + ":" + std::getenv("PATH");
    auto r = run({"morva-firewall", "--dump-app-info"}, {{"PATH", path}}, "/");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "{}\n");
    EXPECT_EQ(r.err, "");
}

// A reader that went away must not kill the program by SIGPIPE: it ends with
// its own status.
TEST(Standalone, ClosedStandardErrorReader)
{
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::signal(SIGPIPE, SIG_DFL);
        ::close(ends[0]);
        ::dup2(ends[1], 2);
        ::execl(program.c_str(), program.c_str(), "--no-such-option", nullptr);
        ::_exit(127);
    }
    ::close(ends[0]);
    ::close(ends[1]);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 125);
}

// Started with every standard descriptor closed, it still answers (into /dev/null).
TEST(Standalone, ClosedStandardDescriptors)
{
    pid_t pid = ::fork();
    if (pid == 0) {
        ::close(0);
        ::close(1);
        ::close(2);
        ::execl(program.c_str(), program.c_str(), "--version", nullptr);
        ::_exit(127);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

} // namespace
