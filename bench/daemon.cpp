#include "bench/daemon.hpp"

#include <dirent.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>

#include "bench/cpus.hpp"
#include "bench/ports.hpp"

namespace bench {
namespace {

std::string tail(const std::string& text, std::size_t size = 3000)
{
    return text.size() > size ? "..." + text.substr(text.size() - size) : text;
}

// The exe port passes only when the lookup found the load generator, so a
// wrong or missing answer shows as failed connections.
std::string hook_text()
{
    const auto p = [](int port) { return std::to_string(port); };
    return "function intercept_hook(ctx)\n"
           "    local port = ctx.dst.port\n"
           "    if port == " + p(drop_syn_port) + " then return \"drop\" end\n"
           "    if port == " + p(check_port) + " or port == " + p(hold_port) + " then return \"check\" end\n"
           "    if port == " + p(exe_port) + " then\n"
           "        local exe = ctx.exe_path\n"
           "        if exe and string.find(exe, \"morva-bench-load\", 1, true) then return \"pass\" end\n"
           "        return \"reject\"\n"
           "    end\n"
           "    return \"pass\"\n"
           "end\n";
}

// The demo's configuration (every divert on; marks, queues and route chosen
// by the daemon) with the bench hook, logging only warnings and errors.
std::string config_text(const std::string& dir)
{
    std::ifstream in(std::string(MORVA_BENCH_SOURCE_DIR) + "/tools/demo/config.txtpb");
    std::stringstream demo;
    demo << in.rdbuf();
    std::string text = demo.str();
    for (const auto& [pattern, replacement] :
         {std::pair<std::string, std::string>{"log_level: \\w+", "log_level: LOG_LEVEL_WARNING"},
          {"intercept_hook \\{[^}]*\\}", "intercept_hook { file: \"" + dir + "/hook.lua\" }"}}) {
        const std::regex re(pattern);
        if (!std::regex_search(text, re))
            throw std::runtime_error("tools/demo/config.txtpb has no " + pattern);
        text = std::regex_replace(text, re, replacement);
    }
    return text + "var_lib_dir: \"" + dir + "\"\n";
}

pid_t only_child(pid_t parent)
{
    std::ifstream in("/proc/" + std::to_string(parent) + "/task/" + std::to_string(parent) + "/children");
    pid_t child = -1;
    if (!(in >> child))
        throw std::runtime_error("the marend stand-in has no daemon child");
    return child;
}

} // namespace

std::string program(const std::string& relative) { return std::string(MORVA_BENCH_BUILD_DIR) + "/" + relative; }

void write_daemon_files(const std::string& dir)
{
    std::ofstream(dir + "/hook.lua") << hook_text();
    std::ofstream(dir + "/config.txtpb") << config_text(dir);
    std::ofstream(dir + "/quisad.table") << "";
}

daemon_t::daemon_t(const morva_test::topology_t& hosts, const std::string& dir)
    : marend_(hosts.firewall, {program("tools/marend-standin"), "--config", dir + "/config.txtpb", "--pellad",
                               dir + "/pellad.sock", "--quisad", dir + "/quisad.sock", "--daemon",
                               program("morva-firewall")})
{
    if (!marend_.wait_for("MY_INFO_NOTIFICATION: revision 1", std::chrono::seconds(20)))
        throw std::runtime_error("the daemon did not apply its configuration:\n" + tail(marend_.output()));
    pid_ = only_child(marend_.pid());
    pin(marend_.pid(), cpu_sets().load);
    pin(pid_, cpu_sets().service);
}

daemon_t::~daemon_t()
{
    if (!stopped_)
        marend_.signal(SIGTERM), marend_.wait();
}

void daemon_t::stop()
{
    stopped_ = true;
    marend_.signal(SIGTERM);
    const auto status = marend_.wait();
    if (status != 0)
        throw std::runtime_error("the daemon's stop failed (status " + std::to_string(status.value_or(-1)) + "):\n"
                                 + tail(marend_.output()));
}

std::uint64_t cpu_ns(pid_t pid)
{
    // Per thread, in nanoseconds (the tick counts of /proc/PID/stat are too coarse for short arms).
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    std::uint64_t total = 0;
    if (DIR* dir = ::opendir(tasks.c_str())) {
        while (const dirent* e = ::readdir(dir)) {
            if (e->d_name[0] == '.')
                continue;
            std::ifstream in(tasks + "/" + e->d_name + "/schedstat");
            std::uint64_t ns = 0;
            if (in >> ns)
                total += ns;
        }
        ::closedir(dir);
    }
    return total;
}

double daemon_t::rss_mb() const
{
    std::ifstream in("/proc/" + std::to_string(pid_) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stod(line.substr(6)) / 1024;
    return 0;
}

} // namespace bench
