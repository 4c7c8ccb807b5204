#include "bench/arms.hpp"
#include "bench/ports.hpp"

namespace bench {

// Latencies of local connections, one at a time, whose hook reads the
// executable path: the lookup's cost is their p50 less that of plain PASS
// connections on the same path; the cost of 100k sockets elsewhere is the
// p50 with them less the p50 without.
void lookup_arms(run_context_t& run, daemon_t& daemon)
{
    if (!run.options.wants("lookup"))
        return;
    auto& local = *run.hosts.local;
    const auto exe = [&] { return measure_echo(run, local, exe_port, 1, daemon.pid()); };
    const auto added = [](arm_sample_t s, double base_us) {
        s.value = (s.p50_us - base_us) / 1000;
        return s;
    };
    const double pass_us = measure_echo(run, local, pass_port, 1, daemon.pid()).p50_us;
    const auto nothing_held = exe();
    run.report.add("lookup.0", added(nothing_held, pass_us));
    for (const auto& [key, count] : {std::pair<const char*, long>{"lookup.1k", 1000}, {"lookup.10k", 10000},
                                     {"lookup.100k", 100000}}) {
        run.hosts.hold_descriptors(count);
        run.report.add(key, added(exe(), pass_us));
    }
    run.hosts.hold_descriptors(0);
    run.hosts.hold_sockets(100000);
    run.report.add("lookup.sockets", added(exe(), nothing_held.p50_us));
    run.hosts.hold_sockets(0);
}

} // namespace bench
