// The marend stand-in drives the daemon: it serves the text configuration,
// re-read on SIGHUP with the next revision, answers socket paths, and passes
// a termination signal on.
#include "tests/app/marend_harness.hpp"

#include <fstream>

#include "tests/common/temp_dir.hpp"

namespace {

using namespace std::chrono_literals;

struct standin_t {
    pid_t pid = -1;
    std::optional<morva_test::collector_t> out;
    std::optional<morva_test::collector_t> err;

    explicit standin_t(const std::vector<std::string>& args)
    {
        int o[2], e[2];
        if (::pipe2(o, O_CLOEXEC) != 0 || ::pipe2(e, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe");
        const std::string program = morva_test::built("tools/marend-standin");
        pid = ::fork();
        if (pid == 0) {
            ::dup2(o[1], 1);
            ::dup2(e[1], 2);
            std::vector<char*> argv{const_cast<char*>(program.c_str())};
            for (auto& a : args)
                argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            ::execv(program.c_str(), argv.data());
            ::_exit(127);
        }
        ::close(o[1]);
        ::close(e[1]);
        out.emplace(o[0]);
        err.emplace(e[0]);
    }
    int wait()
    {
        int status = 0;
        for (int i = 0; i < 4000; ++i) {
            if (::waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                out->join();
                err->join();
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(5ms);
        }
        return -1;
    }
    ~standin_t()
    {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
};

using marend_standin = morva_test::temp_dir_test_t;

TEST_F(marend_standin, serves_edits_on_sighup_and_stops_the_daemon_cleanly)
{
    const auto config = dir / "config.txtpb";
    const std::string essentials = "tproxy_listen_address { address: \"127.0.0.1\" port: 0 }\n"
                               "intercept_hook { buffer: \"function intercept_hook(ctx) return 'check' end\" }\n"
                               "local_delivery_mark { manual: 1 } client_packets_mark { manual: 2 }\n"
                               "server_packets_mark { manual: 4 }\n";
    std::ofstream(config) << "log_level: LOG_LEVEL_INFO\nactual_log { type: STDERR }\n" << essentials;
    const auto pellad = dir / "pellad.sock";
    const int listener = morva_test::listen_unix(pellad.string());
    standin_t s({"--config", config.string(), "--pellad", pellad.string()});
    ASSERT_TRUE(s.out->wait_for("MY_INFO_NOTIFICATION: revision 1, pellad_state: EC_OK")) << s.out->text() << s.err->text();
    EXPECT_TRUE(s.err->wait_for("Notice: LinuxFirewall " MORVA_VERSION ": Ready for service")) << s.err->text();

    // Raising the level hides the ready line of the next revision.
    std::ofstream(config) << "log_level: LOG_LEVEL_WARNING\nactual_log { type: STDERR }\n" << essentials;
    ::kill(s.pid, SIGHUP);
    ASSERT_TRUE(s.out->wait_for("MY_INFO_NOTIFICATION: revision 2")) << s.out->text() << s.err->text();

    ::kill(s.pid, SIGINT);
    EXPECT_EQ(s.wait(), 0);
    const std::string err = s.err->text();
    EXPECT_EQ(err.find("Ready for service"), err.rfind("Ready for service")) << err;
    EXPECT_NE(s.out->text().find("daemon exited with status 107"), std::string::npos) << s.out->text();
    EXPECT_EQ(err.find("Sanitizer"), std::string::npos) << err;
    ::close(listener);
}

TEST_F(marend_standin, an_unreadable_configuration_is_not_served)
{
    standin_t s({"--config", "/nonexistent/config.txtpb"});
    ASSERT_TRUE(s.out->wait_for("cannot read the configuration /nonexistent/config.txtpb")) << s.out->text();
    ::kill(s.pid, SIGTERM);
    EXPECT_EQ(s.wait(), 0);
    EXPECT_EQ(s.out->text().find("MY_INFO_NOTIFICATION"), std::string::npos);
}

} // namespace
