#include <chrono>
#include <thread>

#include "bench/arms.hpp"
#include "bench/interrupt.hpp"
#include "bench/net.hpp"
#include "bench/ports.hpp"

namespace bench {
namespace {

struct echo_arm_t {
    const char* key;
    const char* row;
    bool local;      // from the firewall host (output divert), else from the client host (forward)
    int port;
    int in_flight;
};

// The daemon's arms; each has its direct counterpart "<path>.direct", the
// PASS arms one at a time also their floor "<path>.floor".
const echo_arm_t daemon_arms[] = {
    {"fwd1.pass", "pass", false, pass_port, 1},      {"out1.pass", "pass", true, pass_port, 1},
    {"fwd32.pass", "pass", false, pass_port, 32},    {"fwd512.pass", "pass", false, pass_port, 512},
    {"fwd1.check", "check", false, check_port, 1},   {"out1.check", "check", true, check_port, 1},
    {"out1.exe", "exe", true, exe_port, 1},          {"out32.exe", "exe", true, exe_port, 32},
};

bool has_floor(const echo_arm_t& arm) { return arm.port == pass_port && arm.in_flight == 1; }

std::string path_of(const std::string& key) { return key.substr(0, key.find('.')); }

void run_arm(run_context_t& run, const echo_arm_t& arm, const std::string& key, int port, pid_t queue_reader)
{
    auto& agent = arm.local ? *run.hosts.local : *run.hosts.client;
    run.report.add(key, measure_echo(run, agent, port, arm.in_flight, queue_reader));
}

} // namespace

void pause_for(double seconds)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end) {
        check_interrupted();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

arm_sample_t measure_echo(run_context_t& run, agent_t& agent, int port, int in_flight, pid_t queue_reader)
{
    const auto command = [&](double seconds) {
        return "echo " + std::string(server_address) + " " + std::to_string(port) + " " + std::to_string(in_flight)
               + " " + std::to_string(seconds);
    };
    check_interrupted();
    if (run.options.warmup > 0)
        agent.ask(command(run.options.warmup));
    const auto queue_before = run.hosts.queue_counters();
    const auto cpu_before = queue_reader ? cpu_ns(queue_reader) : 0;
    const auto words = agent.ask(command(run.options.seconds));
    const auto cpu_after = queue_reader ? cpu_ns(queue_reader) : 0;
    const auto queue_after = run.hosts.queue_counters();
    if (words.size() < 6)
        throw std::runtime_error("short answer from a load generator");
    arm_sample_t s;
    const double done = std::stod(words[0]), done_total = std::stod(words[1]), seconds = std::stod(words[3]);
    s.value = seconds > 0 ? done / seconds : 0;
    s.failed = std::stol(words[2]);
    s.p50_us = done_total > 0 ? std::stod(words[4]) : NAN;
    for (std::size_t i = 6; i < words.size(); ++i)
        s.error += (i > 6 ? " " : "") + words[i];
    if (queue_reader) {
        s.cpu_us = done_total > 0 ? static_cast<double>(cpu_after - cpu_before) / 1000 / done_total : NAN;
        s.lost = queue_after.lost - queue_before.lost;
        s.queue_full = queue_after.queue_full - queue_before.queue_full;
    }
    return s;
}

void direct_echo_arms(run_context_t& run)
{
    std::set<std::string> done;
    for (const auto& arm : daemon_arms) {
        const std::string key = path_of(arm.key) + ".direct";
        if (run.options.wants(arm.row) && done.insert(key).second)
            run_arm(run, arm, key, direct_port, 0);
    }
}

void daemon_echo_arms(run_context_t& run, daemon_t& daemon)
{
    for (const auto& arm : daemon_arms)
        if (run.options.wants(arm.row))
            run_arm(run, arm, arm.key, arm.port, daemon.pid());
}

void floor_echo_arms(run_context_t& run, pid_t floor)
{
    for (const auto& arm : daemon_arms)
        if (run.options.wants(arm.row) && has_floor(arm))
            run_arm(run, arm, path_of(arm.key) + ".floor", arm.port, floor);
}

void declare_arms(report_t& report, const options_t& o)
{
    if (o.wants("syn")) {
        report.arm("syn.direct", "SYNs, no daemon (reaching the server)", "SYN/s");
        report.arm("syn.drop", "SYN decisions, hook drops by port", "SYN/s", "syn.direct");
        report.arm("syn.pass", "SYN decisions, hook passes by port", "SYN/s", "syn.direct");
    }
    const std::map<std::string, std::string> paths{
        {"fwd1", "forward, one at a time"},  {"out1", "output, one at a time"},
        {"fwd32", "forward, 32 in flight"},  {"fwd512", "forward, 512 in flight"},
        {"out32", "output, 32 in flight"}};
    const std::map<std::string, std::string> verdicts{
        {"pass", "PASS"}, {"check", "CHECK (pellad stand-in relays)"}, {"exe", "PASS, hook reads exe path"}};
    for (const auto& arm : daemon_arms) {
        if (!o.wants(arm.row))
            continue;
        const std::string path = path_of(arm.key), verdict = std::string(arm.key).substr(path.size() + 1);
        report.arm(path + ".direct", paths.at(path) + ", no daemon", "conn/s");
        if (has_floor(arm))
            report.arm(path + ".floor", paths.at(path) + ", floor (minimal queue program)", "conn/s", path + ".direct");
        report.arm(arm.key, paths.at(path) + ", " + verdicts.at(verdict), "conn/s", path + ".direct",
                   has_floor(arm) ? path + ".floor" : "");
    }
    if (o.wants("lookup")) {
        report.arm("lookup.0", "process lookup added p50, nothing held", "ms");
        report.arm("lookup.1k", "process lookup added p50, 1k descriptors held", "ms");
        report.arm("lookup.10k", "process lookup added p50, 10k descriptors held", "ms");
        report.arm("lookup.100k", "process lookup added p50, 100k descriptors held", "ms");
        report.arm("lookup.sockets", "one process lookup, 100k sockets elsewhere (+)", "ms");
    }
    if (o.wants("patterns")) {
        report.arm("patterns.stock", "hook patterns, Lua's own string functions", "loops/s");
        report.arm("patterns.ours", "hook patterns, the daemon's string functions", "loops/s", "patterns.stock");
    }
    report.arm("rss.idle", "daemon RSS after its start", "MB");
    report.arm("rss.end", "daemon RSS at the end of its phase", "MB");
    if (o.wants("memory"))
        report.arm("rss.held", "daemon RSS, " + std::to_string(o.hold) + " checked connections open", "MB");
}

} // namespace bench
