#include "bench/arms.hpp"
#include "bench/net.hpp"
#include "bench/ports.hpp"

namespace bench {

// A fresh daemon, idle, then holding checked connections from the client
// host open (each answered once through the pellad stand-in's relay).
void memory_arm(run_context_t& run)
{
    if (!run.options.wants("memory"))
        return;
    daemon_t daemon(run.hosts.topology, run.options.work);
    pause_for(0.5);
    run.report.add("rss.idle", arm_sample_t::of(daemon.rss_mb()));
    const auto cpu_before = daemon.cpu_ns();
    const auto words = run.hosts.client->ask("hold " + std::string(server_address) + " " + std::to_string(hold_port)
                                             + " " + std::to_string(run.options.hold) + " 64");
    const auto cpu_after = daemon.cpu_ns();
    pause_for(0.5);
    auto s = arm_sample_t::of(daemon.rss_mb());
    const long open = std::stol(words.at(0));
    s.failed = std::stol(words.at(1));
    for (std::size_t i = 2; i < words.size(); ++i)
        s.error += (i > 2 ? " " : "") + words[i];
    s.cpu_us = open > 0 ? static_cast<double>(cpu_after - cpu_before) / 1000 / static_cast<double>(open) : NAN;
    run.report.add("rss.held", s);
    run.hosts.client->ask("release");
    pause_for(0.5);
    daemon.stop();
}

} // namespace bench
