// Programs the daemon starts (here: from the intercept hook) get nothing of
// the daemon: none of its descriptors, and SIGPIPE at its default. A child a
// hook leaves running therefore keeps neither the listener's port nor any
// link, and the daemon restarts on the same fixed port.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/types.h>

#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <sstream>
#include <string>

#include <boost/filesystem/operations.hpp>

#include "tests/e2e/stack.hpp"

namespace {

using morva_test::topology_t;

std::string read_file(const std::string& path)
{
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// What this test program passes on to the programs it starts (ctest's own
// descriptors, say), by number: the daemon gets them too, but they are not its own.
std::map<int, std::string> passed_on()
{
    std::map<int, std::string> descriptors;
    for (const auto& entry : boost::filesystem::directory_iterator("/proc/self/fd")) {
        const int fd = std::stoi(entry.path().filename().string());
        const int flags = ::fcntl(fd, F_GETFD);
        boost::system::error_code ec;
        const auto target = boost::filesystem::read_symlink(entry.path(), ec);
        if (flags >= 0 && !(flags & FD_CLOEXEC) && !ec)
            descriptors[fd] = target.string();
    }
    return descriptors;
}

// The descriptors `ls -l /proc/self/fd` shows beyond the standard three, the
// one ls opened to read the directory and those the daemon was given itself:
// what the program inherited of the daemon's own.
std::string inherited_descriptors(const std::string& listing, const std::map<int, std::string>& foreign)
{
    std::string inherited;
    std::istringstream lines(listing);
    std::smatch m;
    for (std::string line; std::getline(lines, line);) {
        if (!std::regex_search(line, m, std::regex(" (\\d+) -> (.*)$")))
            continue;
        const int fd = std::stoi(m[1]);
        const auto given = foreign.find(fd);
        if (fd > 2 && !std::regex_match(m[2].str(), std::regex("/proc/\\d+/fd"))
            && (given == foreign.end() || given->second != m[2].str()))
            inherited += line + "\n";
    }
    return inherited;
}

// Kills the hook's long-lived children (one per session), however the test ends.
struct child_guard_t {
    std::string pid_file;
    ~child_guard_t()
    {
        std::istringstream pids(read_file(pid_file));
        for (pid_t pid; pids >> pid;)
            ::kill(pid, SIGKILL);
    }
};

TEST(hook_programs_e2e, a_hooks_programs_inherit_no_descriptor_nor_an_ignored_sigpipe_and_its_child_keeps_no_port)
{
    morva_test::stack_t stack;
    // Every session lists what its program inherited, records its ignored
    // signals and leaves a child running that outlives the daemon.
    std::ofstream(stack.path("hook.lua"))
        << "function intercept_hook(ctx)\n"
           "    os.execute('ls -l /proc/self/fd > "
        << stack.path("fds.txt") << "; grep SigIgn /proc/self/status > " << stack.path("sigign.txt")
        << "; sleep 300 </dev/null >/dev/null 2>&1 & echo $! >> " << stack.path("child.pid") << "')\n"
           "    return 'check'\n"
           "end\n";
    child_guard_t child{stack.path("child.pid")};
    std::string config = std::regex_replace(stack.config(), std::regex("intercept_hook \\{[^}]*\\}"),
                                            "intercept_hook { file: \"" + stack.path("hook.lua") + "\" }");
    // A fixed port: the restart binds the same one.
    config = std::regex_replace(config, std::regex("port: 0 \\}"), "port: 3129 }");
    stack.start(config);

    auto c = stack.connect(stack.hosts.client, topology_t::server_address, "8080", "first");
    ASSERT_EQ(c.status, 0) << c.output << stack.daemon_output();
    ASSERT_TRUE(boost::filesystem::exists(stack.path("child.pid"))) << stack.daemon_output();
    const std::string listing = read_file(stack.path("fds.txt"));
    ASSERT_NE(listing.find("/proc/"), std::string::npos) << listing;
    EXPECT_EQ(inherited_descriptors(listing, passed_on()), "") << listing;
    const std::string status = read_file(stack.path("sigign.txt"));
    ASSERT_EQ(status.rfind("SigIgn:", 0), 0u) << status;
    EXPECT_EQ(std::stoull(status.substr(7), nullptr, 16) & (1ull << (SIGPIPE - 1)), 0u) << status;

    EXPECT_EQ(stack.stop(), 0) << stack.daemon_output();
    ASSERT_EQ(::kill(std::stoi(read_file(child.pid_file)), 0), 0) << "the hook's child outlives the daemon";
    stack.expect_nothing_left();

    // Started again while the child still runs: the listener's port is free.
    stack.start(config);
    c = stack.connect(stack.hosts.client, topology_t::server_address, "8080", "second");
    ASSERT_EQ(c.status, 0) << c.output << stack.daemon_output();
    EXPECT_NE(c.reply.find("sent \"second\""), std::string::npos) << c.reply;
    EXPECT_EQ(stack.stop(), 0) << stack.daemon_output();
    stack.expect_nothing_left();
}

} // namespace
