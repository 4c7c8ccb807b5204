#include <chrono>

#include "bench/arms.hpp"
#include "bench/net.hpp"
#include "bench/ports.hpp"

namespace bench {
namespace {

// Raw SYNs from the client host for the warm-up and the measured time. With
// the daemon, its decisions are the packets the queue handed over less those
// lost to the socket buffer and those still waiting; without it, the SYNs
// that reached the server host (the generator's own ceiling).
arm_sample_t measure_syns(run_context_t& run, int port, daemon_t* daemon)
{
    const auto& o = run.options;
    auto& generator = *run.hosts.client;
    generator.send("syn " + std::string(client_address) + " " + server_address + " " + std::to_string(port) + " "
                   + std::to_string(o.warmup + o.syn_seconds + 0.2));
    pause_for(o.warmup);
    using steady = std::chrono::steady_clock;
    const auto queue_before = run.hosts.queue_counters();
    const long packets_before = run.hosts.server_packets();
    const auto cpu_before = daemon ? daemon->cpu_ns() : 0;
    const auto start = steady::now();
    pause_for(o.syn_seconds);
    const auto queue_after = run.hosts.queue_counters();
    const long packets_after = run.hosts.server_packets();
    const auto cpu_after = daemon ? daemon->cpu_ns() : 0;
    const double seconds = std::chrono::duration<double>(steady::now() - start).count();
    generator.reply();
    arm_sample_t s;
    double decisions = static_cast<double>(packets_after - packets_before);
    if (daemon) {
        s.lost = queue_after.lost - queue_before.lost;
        s.queue_full = queue_after.queue_full - queue_before.queue_full;
        decisions = static_cast<double>(queue_after.sequence - queue_before.sequence - s.lost
                                        - (queue_after.waiting - queue_before.waiting));
        s.cpu_us = decisions > 0 ? static_cast<double>(cpu_after - cpu_before) / 1000 / decisions : NAN;
        s.busy = static_cast<double>(cpu_after - cpu_before) / 1e9 / seconds;
    }
    s.value = decisions / seconds;
    // Let the daemon empty its queue before the next arm.
    pause_for(0.2);
    return s;
}

} // namespace

void direct_syn_arms(run_context_t& run)
{
    if (run.options.wants("syn"))
        run.report.add("syn.direct", measure_syns(run, pass_syn_port, nullptr));
}

void daemon_syn_arms(run_context_t& run, daemon_t& daemon)
{
    if (!run.options.wants("syn"))
        return;
    run.report.add("syn.drop", measure_syns(run, drop_syn_port, &daemon));
    run.report.add("syn.pass", measure_syns(run, pass_syn_port, &daemon));
}

} // namespace bench
