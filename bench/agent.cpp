#include "bench/agent.hpp"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "bench/cpus.hpp"
#include "bench/interrupt.hpp"
#include "bench/net.hpp"
#include "tests/support/spawn.hpp"

namespace bench {

agent_t::agent_t(std::string name, const std::string& ns, const std::vector<std::string>& argv) : name_(std::move(name))
{
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0)
        throw std::runtime_error(errno_text(name_ + ": pipes"));
    pid_ = morva_test::spawn_in_netns(ns, argv, {.in = in[0], .out = out[1], .err = -1});
    ::close(in[0]);
    ::close(out[1]);
    in_ = in[1];
    out_ = out[0];
    if (read_line() != "ready")
        throw std::runtime_error(name_ + " did not start");
    pin(pid_, cpu_sets().load);
}

agent_t::~agent_t()
{
    {
        const char quit[] = "quit\n";
        (void)!::write(in_, quit, sizeof quit - 1);
    }
    ::close(in_);
    ::close(out_);
    for (int i = 0; i < 200; ++i) {
        if (::waitpid(pid_, nullptr, WNOHANG) == pid_)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
}

void agent_t::send(const std::string& line)
{
    const std::string text = line + "\n";
    if (::write(in_, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        throw std::runtime_error(errno_text(name_ + ": send a command"));
}

std::string agent_t::read_line()
{
    for (;;) {
        if (const auto end = buffer_.find('\n'); end != std::string::npos) {
            std::string line = buffer_.substr(0, end);
            buffer_.erase(0, end + 1);
            return line;
        }
        char chunk[4096];
        const ssize_t n = ::read(out_, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) {
            check_interrupted();
            continue;
        }
        if (n <= 0)
            throw std::runtime_error(name_ + " ended");
        buffer_.append(chunk, static_cast<std::size_t>(n));
    }
}

std::vector<std::string> agent_t::reply()
{
    const std::string line = read_line();
    if (line.rfind("ok", 0) != 0)
        throw std::runtime_error(name_ + ": " + line);
    std::istringstream in(line.substr(2));
    std::vector<std::string> words;
    for (std::string w; in >> w;)
        words.push_back(w);
    return words;
}

} // namespace bench
