#include "bench/floor.hpp"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "bench/cpus.hpp"
#include "bench/daemon.hpp"

namespace bench {
namespace {

using morva_test::topology_t;

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (!line.empty())
            lines.push_back(line);
    return lines;
}

// The word after `option` in `line`, or "".
std::string after(const std::string& line, const std::string& option)
{
    const auto at = line.find(" " + option + " ");
    if (at == std::string::npos)
        return {};
    std::istringstream in(line.substr(at + option.size() + 2));
    std::string word;
    in >> word;
    return word;
}

} // namespace

daemon_rules_t daemon_rules_t::capture(const std::string& ns, const std::string& baseline_rules)
{
    daemon_rules_t r;
    r.iptables = topology_t::sh_in(ns, "iptables-legacy-save");
    for (const auto& line : lines_of(r.iptables)) {
        if (line[0] == '*')
            r.tables.push_back(line.substr(1));
        // A passed SYN carries both marks, which the TPROXY rule of the
        // connections the daemon carries leaves alone: "! --mark CP|SP/CP|SP"
        // (the other one takes only the client's SYN: "--mark 0x0/CP|SP").
        if (line.find("-j TPROXY") != std::string::npos) {
            const std::string mark = after(line, "! --mark");
            if (const auto slash = mark.find('/'); slash != std::string::npos)
                r.pass_mark = static_cast<std::uint32_t>(std::stoul(mark.substr(0, slash), nullptr, 0));
        }
        if (line.find("-j NFQUEUE") == std::string::npos)
            continue;
        const std::string queue = after(line, "--queue-num");
        r.queues.push_back(queue.empty() ? 0 : std::stoi(queue));
    }
    const auto before = lines_of(baseline_rules);
    for (const auto& line : lines_of(topology_t::sh_in(ns, "ip -4 rule show"))) {
        if (std::find(before.begin(), before.end(), line) != before.end())
            continue;
        r.policy_rules.push_back(line);
        const std::string table = after(line, "lookup");
        for (const auto& route : lines_of(topology_t::sh_in(ns, "ip -4 route show table " + table)))
            r.routes.emplace_back(table, route);
    }
    std::sort(r.queues.begin(), r.queues.end());
    r.queues.erase(std::unique(r.queues.begin(), r.queues.end()), r.queues.end());
    if (r.queues.empty() || r.pass_mark == 0)
        throw std::runtime_error("no queue rule with its mark among the daemon's rules:\n" + r.iptables);
    return r;
}

floor_t::floor_t(const std::string& ns, const daemon_rules_t& rules, const std::string& work)
    : ns_(ns), rules_(rules)
{
    try {
        const std::string saved = work + "/daemon-rules.iptables";
        std::ofstream(saved) << rules_.iptables;
        topology_t::sh_in(ns_, "iptables-legacy-restore < " + saved);
        for (const auto& line : rules_.policy_rules) {
            // "PRIORITY:\tSELECTOR ACTION"
            const auto colon = line.find(':');
            topology_t::sh_in(ns_, "ip rule add priority " + line.substr(0, colon) + " " + line.substr(colon + 1));
        }
        for (const auto& [table, route] : rules_.routes)
            topology_t::sh_in(ns_, "ip route add table " + table + " " + route);
        std::vector<std::string> argv{program("bench/morva-bench-floor"), std::to_string(rules_.pass_mark)};
        for (const int queue : rules_.queues)
            argv.push_back(std::to_string(queue));
        program_ = std::make_unique<morva_test::ns_process_t>(ns_, argv);
        pin(program_->pid(), cpu_sets().service);
        if (!program_->wait_for("ready"))
            throw std::runtime_error("the floor program did not bind its queues: " + program_->output());
    } catch (...) {
        program_.reset();
        remove_rules();
        throw;
    }
}

floor_t::~floor_t()
{
    program_.reset();
    remove_rules();
}

void floor_t::remove_rules() noexcept
try {
    for (const auto& table : rules_.tables)
        topology_t::sh_in(ns_, "iptables-legacy -t " + table + " -F; iptables-legacy -t " + table + " -X", false);
    for (const auto& line : rules_.policy_rules)
        topology_t::sh_in(ns_, "ip rule del priority " + line.substr(0, line.find(':')), false);
    for (const auto& [table, route] : rules_.routes)
        topology_t::sh_in(ns_, "ip route flush table " + table, false);
} catch (const std::exception&) {
    // the namespace goes at the end of the run
}

} // namespace bench
