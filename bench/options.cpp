#include "bench/options.hpp"

#include <cstdlib>
#include <iostream>
#include <sstream>

#include <boost/program_options.hpp>

namespace bench {

options_t parse_options(int argc, char** argv)
{
    namespace po = boost::program_options;
    options_t o;
    std::string rows = "syn,pass,check,exe,lookup,memory,patterns";
    po::options_description options("morva-bench options");
    options.add_options()("help,h", "this text")
        ("rounds", po::value(&o.rounds)->default_value(o.rounds), "rounds, each with and without the daemon")
        ("seconds", po::value(&o.seconds)->default_value(o.seconds), "seconds per connection arm and round")
        ("warmup", po::value(&o.warmup)->default_value(o.warmup), "uncounted seconds before each arm")
        ("syn-seconds", po::value(&o.syn_seconds)->default_value(o.syn_seconds), "seconds per SYN arm and round")
        ("workers", po::value(&o.workers)->default_value(o.workers), "threads of each load generator")
        ("server-threads", po::value(&o.server_threads)->default_value(o.server_threads), "threads of the server")
        ("hold", po::value(&o.hold)->default_value(o.hold), "checked connections held open for the memory row")
        ("rows", po::value(&rows)->default_value(rows),
         "rows to measure (comma-separated): syn (SYN decisions per second), pass (PASS one at a time, also on the floor, 32 and 512 in "
         "flight), check (CHECK one at a time), exe (PASS with a hook reading the executable path), lookup (process "
         "lookups on a busy machine), memory (RSS idle and with connections held open), patterns (the hooks' pattern "
         "functions against Lua's own, no hosts needed)")
        ("quick", "short rounds for a quick look: 2 rounds of 0.3 s arms, 1000 held connections")
        ("work", po::value(&o.work), "work directory (default: a new one in /tmp, removed at the end)");
    try {
        po::variables_map vm;
        po::store(po::parse_command_line(argc, argv, options), vm);
        po::notify(vm);
        if (vm.count("help")) {
            std::cout << options;
            std::exit(0);
        }
        if (vm.count("quick")) {
            if (vm["rounds"].defaulted())
                o.rounds = 2;
            if (vm["seconds"].defaulted())
                o.seconds = 0.3;
            if (vm["syn-seconds"].defaulted())
                o.syn_seconds = 0.3;
            if (vm["warmup"].defaulted())
                o.warmup = 0.1;
            if (vm["hold"].defaulted())
                o.hold = 1000;
        }
        o.rows.clear();
        std::istringstream in(rows);
        for (std::string row; std::getline(in, row, ',');) {
            if (!all_rows.count(row))
                throw std::runtime_error("unknown row " + row);
            o.rows.insert(row);
        }
        if (o.rounds < 1 || o.seconds <= 0 || o.warmup < 0 || o.syn_seconds <= 0 || o.workers < 1
            || o.server_threads < 1 || o.hold < 1)
            throw std::runtime_error("rounds, seconds, workers, threads and hold must be positive");
    } catch (const std::exception& e) {
        std::cerr << e.what() << '\n' << options;
        std::exit(2);
    }
    return o;
}

} // namespace bench
