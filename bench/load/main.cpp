// morva-bench-load: the benchmark's process on a host, started once per host
// and run: it reads one command a line on its standard input and answers one
// line, "ok ..." or "error <text>".
//
//   morva-bench-load agent WORKERS      load generator and holder:
//     echo ADDRESS PORT IN_FLIGHT SECONDS  -> ok DONE DONE_TOTAL FAILED SECONDS P50_US P99_US [FIRST_ERROR]
//     hold ADDRESS PORT COUNT IN_FLIGHT    -> ok OPEN FAILED [FIRST_ERROR]   (kept until release)
//     release                              -> ok
//     syn SOURCE ADDRESS PORT SECONDS      -> ok SENT
//     descriptors COUNT                    -> ok   (held until the next such command)
//     sockets COUNT PORT                   -> ok   (COUNT / 2 connections to 127.0.0.1:PORT, the same)
//   morva-bench-load server THREADS ECHO_PORTS HOLD_PORTS   (comma-separated)
//     counts                               -> ok PORT:CLIENT:FIREWALL:OTHER:FAILED ...
// Both end at "quit" or at the end of their input.
#include <csignal>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "bench/load/echo.hpp"
#include "bench/load/hold.hpp"
#include "bench/load/server.hpp"
#include "bench/load/syn.hpp"
#include "bench/load/workers.hpp"
#include "bench/net.hpp"
#include "bench/stats.hpp"

namespace {

using namespace bench;

std::vector<int> ports(const std::string& list)
{
    std::vector<int> result;
    std::istringstream in(list);
    for (std::string p; std::getline(in, p, ',');)
        if (!p.empty())
            result.push_back(std::stoi(p));
    return result;
}

template <class Answer> int command_loop(Answer answer)
{
    std::cout << "ready" << std::endl;
    for (std::string line; std::getline(std::cin, line);) {
        std::istringstream in(line);
        std::string command;
        in >> command;
        if (command == "quit")
            break;
        try {
            std::cout << "ok" << answer(command, in) << std::endl;
        } catch (const std::exception& e) {
            std::cout << "error " << e.what() << std::endl;
        }
    }
    return 0;
}

std::string echo_answer(const echo_result_t& r)
{
    std::vector<double> latency(r.latency_us.begin(), r.latency_us.end());
    std::ostringstream out;
    out << ' ' << r.done << ' ' << r.done_total << ' ' << r.failed << ' ' << r.seconds << ' '
        << percentile(latency, 0.5) << ' ' << percentile(latency, 0.99) << ' ' << r.first_error;
    return out.str();
}

int agent(int workers_count)
{
    workers_t workers(workers_count);
    held_t held;  // descriptors or sockets
    held_t kept;  // held connections
    return command_loop([&](const std::string& command, std::istream& in) -> std::string {
        if (command == "echo" || command == "hold") {
            echo_job_t job;
            in >> job.address >> job.port;
            if (command == "echo") {
                in >> job.in_flight >> job.seconds;
            } else {
                in >> job.max_count >> job.in_flight;
                job.keep = true;
                job.seconds = 1e9;
                if (kept.size() + job.max_count > holdable_descriptors())
                    throw std::runtime_error("cannot hold " + std::to_string(kept.size() + job.max_count)
                                             + " connections");
            }
            if (!in)
                throw std::runtime_error("usage: " + command + " ADDRESS PORT ...");
            auto result = workers.run(job);
            if (command == "echo")
                return echo_answer(result);
            kept.adopt(result.kept);
            return " " + std::to_string(kept.size()) + " " + std::to_string(result.failed) + " " + result.first_error;
        }
        if (command == "release") {
            kept.close_all();
            return "";
        }
        if (command == "syn") {
            std::string source, address;
            int port = 0;
            double seconds = 0;
            in >> source >> address >> port >> seconds;
            return " " + std::to_string(send_syns(source, address, port, seconds));
        }
        if (command == "descriptors") {
            long count = 0;
            in >> count;
            held.descriptors(count);
            return "";
        }
        if (command == "sockets") {
            long count = 0;
            int port = 0;
            in >> count >> port;
            held.sockets(count, port);
            return "";
        }
        throw std::runtime_error("unknown command " + command);
    });
}

int server(int threads, const std::string& echo_ports, const std::string& hold_ports)
{
    server_t s(threads, ports(echo_ports), ports(hold_ports));
    return command_loop([&](const std::string& command, std::istream&) -> std::string {
        if (command == "counts")
            return " " + s.counts();
        throw std::runtime_error("unknown command " + command);
    });
}

} // namespace

int main(int argc, char** argv)
{
    raise_nofile();
    ::signal(SIGPIPE, SIG_IGN);
    // The benchmark stops it through its input; a Ctrl-C goes to the benchmark.
    ::signal(SIGINT, SIG_IGN);
    try {
        const std::vector<std::string> args(argv + 1, argv + argc);
        if (args.size() == 2 && args[0] == "agent")
            return agent(std::stoi(args[1]));
        if (args.size() == 4 && args[0] == "server")
            return server(std::stoi(args[1]), args[2], args[3]);
    } catch (const std::exception& e) {
        std::cerr << "morva-bench-load: " << e.what() << std::endl;
        return 1;
    }
    std::cerr << "usage: morva-bench-load agent WORKERS | server THREADS ECHO_PORTS HOLD_PORTS\n";
    return 2;
}
