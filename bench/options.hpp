#pragma once
// What a run measures and for how long (morva-bench --help).
#include <set>
#include <string>

namespace bench {

// The rows of the measure, each selectable on its own.
inline const std::set<std::string> all_rows{"syn", "pass", "check", "exe", "lookup", "memory", "patterns"};

struct options_t {
    int rounds = 5;
    double seconds = 1.0;          // per arm and round
    double warmup = 0.25;          // per arm and phase, not counted
    double syn_seconds = 1.0;      // per SYN arm and round (after the warm-up)
    int workers = 4;               // threads of each load generator
    int server_threads = 4;
    long hold = 10000;             // checked connections held open for the memory row
    std::set<std::string> rows = all_rows;
    std::string work;

    bool wants(const std::string& row) const { return rows.count(row) > 0; }
    // A row that needs the hosts and the daemon.
    bool wants_network() const
    {
        for (const auto& row : rows)
            if (row != "patterns")
                return true;
        return false;
    }
};

// The options from the command line; exits on --help or a mistake.
options_t parse_options(int argc, char** argv);

} // namespace bench
