#include "bench/hosts.hpp"

#include <fstream>
#include <functional>
#include <sstream>

#include "bench/cpus.hpp"
#include "bench/daemon.hpp"
#include "bench/net.hpp"
#include "bench/ports.hpp"

namespace bench {
namespace {

std::string elsewhere_name() { return "morva-elsewhere-" + std::to_string(::getpid()); }

// What the lookup rows hold at most, and per process (a share of the
// descriptor limit the processes inherit).
constexpr long most_held = 100000;
const long per_holder = std::min<long>(holdable_descriptors() * 3 / 4, 16000);

void spread(std::vector<std::unique_ptr<agent_t>>& holders, long total,
            const std::function<std::string(long count, std::size_t index)>& command)
{
    const auto n = static_cast<long>(holders.size());
    for (long i = 0; i < n; ++i)
        holders[static_cast<std::size_t>(i)]->send(command(total / n + (i < total % n ? 1 : 0), static_cast<std::size_t>(i)));
    for (auto& h : holders)
        h->reply();
}

} // namespace

hosts_t::hosts_t(const options_t& o) : elsewhere(elsewhere_name())
{
    using morva_test::topology_t;
    morva_test::sh("ip netns add " + elsewhere + " && ip -n " + elsewhere + " link set lo up");
    try {
        // No TIME_WAIT sockets anywhere: connections come and go by the
        // hundred thousand, and the kernel chooses the client ports, so runs
        // of any length never meet a port still waiting, and the machine's
        // socket count (which process lookups pay for) stays the same from
        // round to round.
        for (const auto& ns : {topology.client, topology.firewall, topology.server, elsewhere})
            topology_t::sh_in(ns, "sysctl -q -w net.ipv4.tcp_max_tw_buckets=0 net.core.somaxconn=4096");
        for (const auto& ns : {topology.client, topology.firewall, elsewhere})
            topology_t::sh_in(ns, "sysctl -q -w net.ipv4.ip_local_port_range=\"10000 64999\"");

        const std::string load = program("bench/morva-bench-load");
        const int holders = static_cast<int>((most_held + per_holder - 1) / per_holder);
        auto join = [](const std::vector<int>& ports) {
            std::string text;
            for (const int p : ports)
                text += (text.empty() ? "" : ",") + std::to_string(p);
            return text;
        };
        server.emplace("the server", topology.server,
                       std::vector<std::string>{load, "server", std::to_string(o.server_threads),
                                                join({direct_port, pass_port, check_port, exe_port}), join({hold_port})});
        // The holder first: a lookup that walks processes in the order of
        // their pids meets its descriptors before it finds the client.
        for (int i = 0; i < holders; ++i)
            descriptor_holders.push_back(std::make_unique<agent_t>("a descriptor holder", topology.firewall,
                                                                   std::vector<std::string>{load, "agent", "1"}));
        local.emplace("the firewall host's load generator", topology.firewall,
                      std::vector<std::string>{load, "agent", std::to_string(o.workers)});
        client.emplace("the client host's load generator", topology.client,
                       std::vector<std::string>{load, "agent", std::to_string(o.workers)});
        for (int i = 0; i < holders; ++i)
            socket_holders.push_back(std::make_unique<agent_t>("a socket holder", elsewhere,
                                                               std::vector<std::string>{load, "agent", "1"}));

        write_daemon_files(o.work);
        pellad_.emplace(topology.firewall, std::vector<std::string>{program("tools/pellad-standin"), o.work + "/pellad.sock"});
        quisad_.emplace(topology.firewall, std::vector<std::string>{program("tools/quisad-standin"), o.work + "/quisad.sock",
                                                                   o.work + "/quisad.table"});
        for (auto* p : {&*pellad_, &*quisad_}) {
            if (!p->wait_for("listening"))
                throw std::runtime_error("a stand-in did not start: " + p->output());
            pin(p->pid(), cpu_sets().load);
        }
    } catch (...) {
        morva_test::sh_status("ip netns del " + elsewhere);
        throw;
    }
}

hosts_t::~hosts_t()
{
    pellad_.reset();
    quisad_.reset();
    socket_holders.clear();
    client.reset();
    local.reset();
    descriptor_holders.clear();
    server.reset();
    morva_test::sh_status("ip netns del " + elsewhere);
}

void hosts_t::hold_descriptors(long total)
{
    spread(descriptor_holders, total, [](long count, std::size_t) { return "descriptors " + std::to_string(count); });
}

void hosts_t::hold_sockets(long total)
{
    // Whole connections, each holder on a port of its own.
    spread(socket_holders, total / 2, [](long connections, std::size_t index) {
        return "sockets " + std::to_string(2 * connections) + " " + std::to_string(7000 + index);
    });
}

queue_counters_t hosts_t::queue_counters() const
{
    // Through a process of the firewall host: /proc/PID/net is its namespace's.
    std::ifstream in("/proc/" + std::to_string(local->pid()) + "/net/netfilter/nfnetlink_queue");
    queue_counters_t c;
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        long queue = 0, peer = 0, total = 0, mode = 0, range = 0, dropped = 0, user_dropped = 0, sequence = 0;
        if (fields >> queue >> peer >> total >> mode >> range >> dropped >> user_dropped >> sequence) {
            c.waiting += total;
            c.queue_full += dropped;
            c.lost += user_dropped;
            c.sequence += sequence;
        }
    }
    return c;
}

long hosts_t::server_packets() const
{
    std::ifstream in("/proc/" + std::to_string(server->pid()) + "/net/dev");
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string name;
        long bytes = 0, packets = 0;
        if (fields >> name >> bytes >> packets && name == "eth0:")
            return packets;
    }
    throw std::runtime_error("the server host has no eth0");
}

} // namespace bench
