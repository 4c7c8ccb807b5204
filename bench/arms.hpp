#pragma once
// The arms of a round. A direct phase runs without the daemon; a daemon
// phase starts a fresh daemon and runs its arms, whose ratios are taken to
// the direct arm on the same path in the same round; a floor phase runs the
// PASS arms on the daemon's rules with the floor program answering the
// queues. Every arm warms up before it counts.
#include <optional>
#include <string>

#include "bench/agent.hpp"
#include "bench/daemon.hpp"
#include "bench/floor.hpp"
#include "bench/hosts.hpp"
#include "bench/options.hpp"
#include "bench/report.hpp"

namespace bench {

struct run_context_t {
    const options_t& options;
    hosts_t& hosts;
    report_t& report;
    std::string baseline_rules;            // "ip -4 rule show" of the firewall host before any daemon
    std::optional<daemon_rules_t> rules;   // the first daemon's, for the floor arms
};

// Every arm the options select, declared in the order of the report.
void declare_arms(report_t& report, const options_t& o);

// syn_arms.cpp: raw SYNs from the client host, decided on the forward queue.
void direct_syn_arms(run_context_t& run);
void daemon_syn_arms(run_context_t& run, daemon_t& daemon);

// echo_arms.cpp: short connections, one at a time and many in flight.
void direct_echo_arms(run_context_t& run);
void daemon_echo_arms(run_context_t& run, daemon_t& daemon);

// floor_echo_arms: the PASS arms one at a time with the floor program (its pid) on the queues.
void floor_echo_arms(run_context_t& run, pid_t floor);

// One time-boxed run of short connections from `agent` to the server's `port`,
// after its warm-up; with `queue_reader` (the daemon or the floor program, 0
// for none) its CPU time and the queue losses.
arm_sample_t measure_echo(run_context_t& run, agent_t& agent, int port, int in_flight, pid_t queue_reader);

// lookup_arms.cpp: the added latency of process lookups with descriptors
// held by another process and with TCP sockets elsewhere on the machine.
void lookup_arms(run_context_t& run, daemon_t& daemon);

// memory_arm.cpp: a fresh daemon's RSS idle and with checked connections held open.
void memory_arm(run_context_t& run);

// pattern_arms.cpp: the pattern functions of hooks, ours against Lua's own,
// in this process (no hosts, no daemon).
void pattern_arms(report_t& report, const options_t& o, int round);

// Waits, waking for Ctrl-C.
void pause_for(double seconds);

} // namespace bench
