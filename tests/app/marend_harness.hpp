#pragma once
// Plays marend for black-box tests: starts the daemon with one end of a
// socketpair as COM_MORVA_MONITOR, exchanges frames with it, sends signals and
// collects its standard error, the extra log descriptor and its exit status.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <linux/securebits.h>
#include <map>
#include <optional>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "marend_linux_firewall_ipc.pb.h"
#include "tests/support/collector.hpp"
#include "tests/support/process.hpp"

namespace morva_test {

using namespace std::chrono_literals;

// A UNIX stream socket listening at `path` (replaced if it exists); it never
// accepts, which is all a daemon connecting to pellad at start-up needs.
inline int listen_unix(const std::string& path)
{
    ::unlink(path.c_str());
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 16) != 0)
        throw std::runtime_error("cannot listen at " + path);
    return fd;
}

struct daemon_options_t {
    // Value of COM_MORVA_MONITOR; the daemon's end of the socket is descriptor 3.
    std::string monitor = "3";
    // Gives the daemon descriptor 4 as COM_MORVA_ADD_LOG_PIPE.
    bool log_pipe = false;
};

// Kept apart from daemon_options_t, whose users list its fields in order.
struct daemon_launch_t {
    // Runs the daemon as this user and group with only `capabilities`, which
    // stay ambient across the exec; root included (it gains nothing from exec).
    std::optional<uid_t> uid;
    std::vector<int> capabilities;
};

// In the forked child before exec: becomes `uid` holding just `capabilities`,
// inherited by the program it runs. Returns false when a step fails.
inline bool become_with_capabilities(uid_t uid, const std::vector<int>& capabilities)
{
    if (::prctl(PR_SET_SECUREBITS, SECBIT_NOROOT | SECBIT_NOROOT_LOCKED, 0, 0, 0) != 0
        || ::prctl(PR_SET_KEEPCAPS, 1, 0, 0, 0) != 0 || ::setgroups(0, nullptr) != 0
        || ::setresgid(uid, uid, uid) != 0 || ::setresuid(uid, uid, uid) != 0)
        return false;
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    for (int cap : capabilities) {
        const auto bit = 1u << (cap % 32);
        data[cap / 32].effective |= bit;
        data[cap / 32].permitted |= bit;
        data[cap / 32].inheritable |= bit;
    }
    if (::syscall(SYS_capset, &header, data) != 0)
        return false;
    for (int cap : capabilities)
        if (::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_RAISE, cap, 0, 0) != 0)
            return false;
    return true;
}

class daemon_t {
public:
    explicit daemon_t(const daemon_options_t& options = {}, const daemon_launch_t& launch = {})
    {
        listen_for_pellad();
        int sv[2], err[2], log[2] = {-1, -1};
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0 || ::pipe2(err, O_CLOEXEC) != 0
            || (options.log_pipe && ::pipe2(log, O_CLOEXEC) != 0))
            throw std::runtime_error("daemon_t: descriptors");
        std::string program = built("morva-firewall");
        const bool unprivileged = launch.uid && *launch.uid != 0;
        if (unprivileged) {
            reachable_.emplace(program);
            program = reachable_->path();
        }
        // Written by the child when it cannot start the daemon, followed by the system's reason.
        const std::string become_failure = "daemon_t: cannot become uid "
                                           + (launch.uid ? std::to_string(*launch.uid) : std::string()) + ": ";
        const std::string exec_failure = "daemon_t: cannot run " + program + ": ";
        pid_ = ::fork();
        if (pid_ < 0)
            throw std::runtime_error("daemon_t: fork");
        if (pid_ == 0) {
            // Move the sources out of the way first, so no dup2 lands on one of them.
            int marend = ::fcntl(sv[1], F_DUPFD, 100);
            int log_end = options.log_pipe ? ::fcntl(log[1], F_DUPFD, 100) : -1;
            ::dup2(err[1], 2);
            ::dup2(marend, 3);
            ::setenv("COM_MORVA_MONITOR", options.monitor.c_str(), 1);
            if (options.log_pipe) {
                ::dup2(log_end, 4);
                ::setenv("COM_MORVA_ADD_LOG_PIPE", "4", 1);
            } else {
                ::unsetenv("COM_MORVA_ADD_LOG_PIPE");
            }
            if (launch.uid && !become_with_capabilities(*launch.uid, launch.capabilities))
                child_failure(become_failure, 126);
            // The test's working directory may be closed to the daemon's user too.
            if (unprivileged && ::chdir("/") != 0)
                child_failure(become_failure, 126);
            ::execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
            child_failure(exec_failure, 127);
        }
        ::close(sv[1]);
        ::close(err[1]);
        marend_ = sv[0];
        stderr_.emplace(err[0]);
        if (options.log_pipe) {
            ::close(log[1]);
            log_.emplace(log[0]);
        }
    }
    ~daemon_t()
    {
        if (pid_ > 0 && !status_) {
            ::kill(pid_, SIGKILL);
            wait();
        }
        if (marend_ >= 0)
            ::close(marend_);
        if (pellad_ >= 0) {
            ::close(pellad_);
            ::unlink(pellad_path_.c_str());
        }
    }

    // Next frame from the daemon, or nothing within the timeout. Requests for
    // pellad's path are answered on the way with a socket that listens but never
    // accepts: the daemon connects to pellad at every start.
    std::optional<kv::Firewall2MarendMessage> receive(std::chrono::milliseconds timeout = 10s)
    {
        for (;;) {
            auto m = receive_any(timeout);
            if (!m || m->tag() != kv::Firewall2MarendMessage::GET_PELLAD_REQUEST)
                return m;
            kv::Marend2FirewallMessage answer;
            answer.set_tag(kv::Marend2FirewallMessage::GET_PELLAD_RESPONSE);
            answer.set_socket_path(pellad_path_);
            send(answer);
        }
    }
    std::optional<kv::Firewall2MarendMessage> receive_any(std::chrono::milliseconds timeout)
    {
        std::string length_bytes;
        if (!read_exactly(4, length_bytes, timeout))
            return std::nullopt;
        std::uint32_t length;
        std::memcpy(&length, length_bytes.data(), 4);
        std::string body;
        if (!read_exactly(length, body, timeout))
            return std::nullopt;
        kv::Firewall2MarendMessage m;
        if (!m.ParseFromString(body))
            throw std::runtime_error("daemon_t: daemon sent an unparsable frame");
        return m;
    }
    // Asserts that the next frame is a configuration request.
    void expect_config_request()
    {
        auto m = receive();
        ASSERT_TRUE(m) << "no GET_CONFIG_REQUEST; standard error:\n" << err();
        EXPECT_EQ(m->ShortDebugString(), "tag: GET_CONFIG_REQUEST");
    }
    // Asserts that the next frame reports `revision` as applied.
    void expect_notification(unsigned revision)
    {
        auto m = receive();
        ASSERT_TRUE(m) << "no MY_INFO_NOTIFICATION; standard error:\n" << err();
        EXPECT_EQ(m->ShortDebugString(), "tag: MY_INFO_NOTIFICATION config_revision: " + std::to_string(revision)
                                             + " info { pellad_state: EC_OK }");
    }

    void send_raw(const std::string& frame) { (void)::send(marend_, frame.data(), frame.size(), MSG_NOSIGNAL); }
    void send_frame(const std::string& body)
    {
        auto length = static_cast<std::uint32_t>(body.size());
        send_raw(std::string(reinterpret_cast<const char*>(&length), 4) + body);
    }
    void send(const kv::Marend2FirewallMessage& m) { send_frame(m.SerializePartialAsString()); }
    void send_config(unsigned revision, const kv::LinuxFirewallConfig& config)
    {
        kv::Marend2FirewallMessage m;
        m.set_tag(kv::Marend2FirewallMessage::GET_CONFIG_RESPONSE);
        m.set_config_revision(revision);
        *m.mutable_config() = config;
        send(m);
    }
    void close_marend()
    {
        ::close(marend_);
        marend_ = -1;
    }

    void signal(int sig) { ::kill(pid_, sig); }

    // Exit status, or -1 when the daemon does not end in time (it is then killed).
    int wait(std::chrono::milliseconds timeout = 20s)
    {
        if (status_)
            return *status_;
        auto end = std::chrono::steady_clock::now() + timeout;
        int status = 0;
        for (;;) {
            pid_t r = ::waitpid(pid_, &status, WNOHANG);
            if (r == pid_)
                break;
            if (std::chrono::steady_clock::now() > end) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, &status, 0);
                status_ = -1;
                return -1;
            }
            std::this_thread::sleep_for(5ms);
        }
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        stderr_->join();
        if (log_)
            log_->join();
        EXPECT_EQ(err().find("Sanitizer"), std::string::npos) << err();
        return *status_;
    }

    // Standard error so far (all of it once the daemon has ended).
    std::string err() { return stderr_->text(); }
    bool wait_for_err(const std::string& needle) { return stderr_->wait_for(needle); }
    collector_t& log_pipe() { return *log_; }
    pid_t pid() const { return pid_; }

private:
    // In the forked child: says on standard error why the daemon does not
    // run, with async-signal-safe calls only, and ends.
    [[noreturn]] static void child_failure(const std::string& text, int status)
    {
        const char* reason = ::strerrordesc_np(errno);
        (void)!::write(2, text.data(), text.size());
        if (reason != nullptr)
            (void)!::write(2, reason, std::strlen(reason));
        (void)!::write(2, "\n", 1);
        ::_exit(status);
    }

    void listen_for_pellad()
    {
        static int count = 0;
        pellad_path_ = "/tmp/morva-test-pellad-" + std::to_string(::getpid()) + "-" + std::to_string(++count);
        pellad_ = listen_unix(pellad_path_);
    }

    bool read_exactly(std::size_t size, std::string& out, std::chrono::milliseconds timeout)
    {
        auto end = std::chrono::steady_clock::now() + timeout;
        out.clear();
        while (out.size() < size) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            pollfd p{marend_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0)
                return false;
            char buf[4096];
            ssize_t n = ::read(marend_, buf, std::min(sizeof buf, size - out.size()));
            if (n <= 0)
                return false;
            out.append(buf, static_cast<std::size_t>(n));
        }
        return true;
    }

    pid_t pid_ = -1;
    int marend_ = -1;
    int pellad_ = -1;
    std::string pellad_path_;
    std::optional<int> status_;
    std::optional<collector_t> stderr_;
    std::optional<collector_t> log_;
    std::optional<reachable_copy_t> reachable_;
};

} // namespace morva_test
