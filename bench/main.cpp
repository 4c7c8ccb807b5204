// What diverting connections through the daemon costs, measured as a user
// would on the end-to-end hosts (client --- firewall --- server, see
// hosts.hpp): every row of the measure in one run, in rounds of a phase
// without the daemon, one with a freshly started daemon and one with the
// floor program on the daemon's rules (the daemon in the middle, the others
// swapping ends from round to round), so that the machine's noise falls on
// every arm alike and each daemon arm is compared with its own round's.
// tools/bench builds and runs it.
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <thread>

#include <boost/filesystem.hpp>

#include "bench/arms.hpp"
#include "bench/cpus.hpp"
#include "bench/interrupt.hpp"
#include "bench/net.hpp"
#include "bench/ports.hpp"

namespace {

using namespace bench;

std::string load_average()
{
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

std::string pinning()
{
    const auto& sets = cpu_sets();
    if (!sets.pinned)
        return "nothing pinned (one CPU)";
    const auto list = [](const cpu_set_t& set) {
        std::string text;
        for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
            if (CPU_ISSET(cpu, &set))
                text += (text.empty() ? "" : ",") + std::to_string(cpu);
        return text;
    };
    return "the daemon and the floor program on CPU " + list(sets.service) + ", the load on " + list(sets.load);
}

bool wants_daemon_phase(const options_t& o)
{
    for (const char* row : {"syn", "pass", "check", "exe", "lookup"})
        if (o.wants(row))
            return true;
    return false;
}

void direct_phase(run_context_t& run)
{
    direct_syn_arms(run);
    direct_echo_arms(run);
}

void daemon_phase(run_context_t& run)
{
    daemon_t daemon(run.hosts.topology, run.options.work);
    if (!run.rules && run.options.wants("pass"))
        run.rules = daemon_rules_t::capture(run.hosts.topology.firewall, run.baseline_rules);
    pause_for(0.3);
    run.report.add("rss.idle", arm_sample_t::of(daemon.rss_mb()));
    daemon_syn_arms(run, daemon);
    daemon_echo_arms(run, daemon);
    lookup_arms(run, daemon);
    run.report.add("rss.end", arm_sample_t::of(daemon.rss_mb()));
    daemon.stop();
}

void floor_phase(run_context_t& run)
{
    if (!run.rules)
        return;
    floor_t floor(run.hosts.topology.firewall, *run.rules, run.options.work);
    floor_echo_arms(run, floor.pid());
}

// An arm that measured the wrong path would make its figures lies: a checked
// connection reaches the server from the firewall host (the daemon connects
// itself), never from the client.
void verify_paths(hosts_t& hosts)
{
    for (const auto& entry : hosts.server->ask("counts")) {
        long port = 0, client = 0, firewall = 0, other = 0, failed = 0;
        if (std::sscanf(entry.c_str(), "%ld:%ld:%ld:%ld:%ld", &port, &client, &firewall, &other, &failed) != 5)
            throw std::runtime_error("the server's counts: " + entry);
        if (other != 0 || ((port == check_port || port == hold_port) && client != 0))
            throw std::runtime_error("port " + std::to_string(port) + ": the server saw " + std::to_string(client)
                                     + " connections from the client, " + std::to_string(firewall)
                                     + " from the firewall host, " + std::to_string(other) + " from elsewhere");
        if (failed != 0)
            std::cerr << "port " << port << ": " << failed << " connections ended before their answer" << std::endl;
    }
}

void print_report(const report_t& report, const options_t& o, const std::string& command,
                  const std::string& load_before, const std::string& setup)
{
    std::cout << "\n" << command << "\nnproc " << std::thread::hardware_concurrency() << ", load average " << load_before
              << " before the run, " << load_average() << " after it; " << setup << "\n";
    report.print(std::cout, o);
}

// Only rows that need no hosts: measured in this process.
void run_local(const options_t& o, const std::string& command)
{
    const std::string load_before = load_average();
    report_t report;
    declare_arms(report, o);
    for (int round = 0; round < o.rounds && !interrupted; ++round) {
        pattern_arms(report, o, round);
        std::cerr << "round " << round + 1 << "/" << o.rounds << " done, load average " << load_average()
                  << std::endl;
    }
    if (interrupted)
        throw std::runtime_error("interrupted");
    print_report(report, o, command, load_before, "no hosts, one thread");
}

void run(const options_t& o, const std::string& command)
{
    if (!o.wants_network())
        return run_local(o, command);
    const std::string load_before = load_average();
    report_t report;
    declare_arms(report, o);
    hosts_t hosts(o);
    run_context_t context{o, hosts, report,
                          morva_test::topology_t::sh_in(hosts.topology.firewall, "ip -4 rule show"), {}};
    for (int round = 0; round < o.rounds; ++round) {
        // The first round's daemon leaves its rules to the floor phase.
        const bool direct_first = round % 2 == 0;
        (direct_first ? direct_phase : floor_phase)(context);
        if (wants_daemon_phase(o))
            daemon_phase(context);
        (direct_first ? floor_phase : direct_phase)(context);
        pattern_arms(report, o, round);
        std::cerr << "round " << round + 1 << "/" << o.rounds << " done, load average " << load_average()
                  << std::endl;
    }
    memory_arm(context);
    verify_paths(hosts);
    print_report(report, o, command, load_before,
                 std::to_string(o.workers) + " threads per load generator; " + pinning());
}

void on_signal(int) { interrupted = true; }

} // namespace

int main(int argc, char** argv)
{
    options_t o = parse_options(argc, argv);
    struct sigaction sa{};
    sa.sa_handler = on_signal;  // no SA_RESTART: blocking reads return for the check
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    std::optional<boost::filesystem::path> own_work;
    if (o.work.empty()) {
        own_work = boost::filesystem::temp_directory_path() / boost::filesystem::unique_path("morva-bench-%%%%%%%%");
        boost::filesystem::create_directories(*own_work);
        o.work = own_work->string();
    }
    int status = 0;
    try {
        // The daemon, the stand-ins and the load processes inherit the limit.
        // The daemon accepts connections up to 2/5 of it, and the pellad
        // stand-in holds two descriptors for each checked one.
        const long limit = static_cast<long>(raise_nofile());
        const long most = std::min(limit * 2 / 5, limit / 2) - 100;
        if (o.hold > most) {
            std::cerr << "morva-bench: holding " << most << " connections, not " << o.hold
                      << ": the descriptor limit is " << limit << std::endl;
            o.hold = most;
        }
        std::string command = "morva-bench";
        for (int i = 1; i < argc; ++i) {
            if (std::string(argv[i]) == "--work")
                ++i;  // tools/bench's own
            else
                command += std::string(" ") + argv[i];
        }
        run(o, command);
    } catch (const std::exception& e) {
        std::cerr << "morva-bench: " << e.what() << std::endl;
        status = interrupted ? 130 : 1;
    }
    if (own_work)
        boost::filesystem::remove_all(*own_work);
    return status;
}
