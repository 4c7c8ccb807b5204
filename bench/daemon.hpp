#pragma once
// The daemon under the marend stand-in on the firewall host, from its start
// (first revision applied) to its stop, with its CPU time and memory; it runs
// on the service CPU, the stand-in with the load.
#include <sys/types.h>

#include <cstdint>
#include <string>

#include "tests/support/topology.hpp"

namespace bench {

// A program of this build (the daemon, the stand-ins, the load process).
std::string program(const std::string& relative);

// The hook (deciding by the server's port) and the configuration in `dir`.
void write_daemon_files(const std::string& dir);

// CPU time of all the threads of a process so far.
std::uint64_t cpu_ns(pid_t pid);

class daemon_t {
public:
    daemon_t(const morva_test::topology_t& hosts, const std::string& dir);
    ~daemon_t();
    daemon_t(const daemon_t&) = delete;
    daemon_t& operator=(const daemon_t&) = delete;

    void stop();
    // CPU time of all its threads so far.
    std::uint64_t cpu_ns() const { return bench::cpu_ns(pid_); }
    // Resident set size now.
    double rss_mb() const;
    pid_t pid() const { return pid_; }

private:
    morva_test::ns_process_t marend_;
    pid_t pid_ = -1;
    bool stopped_ = false;
};

} // namespace bench
