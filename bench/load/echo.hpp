#pragma once
// Short connections to an echo server from one host: each sends a request,
// reads the same bytes back and the end of the stream, and closes. A fixed
// number of them are in flight at any time; with `keep` a connection stays
// open after its answer (for holding connections open).
#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace bench {

struct echo_job_t {
    std::string address;
    int port = 0;
    int in_flight = 1;
    double seconds = 1;           // new connections start until then
    long max_count = -1;          // or until this many started (-1: no limit)
    bool keep = false;
};

struct echo_result_t {
    long done = 0;                // completed before the deadline
    long done_total = 0;          // also those completed after it
    long failed = 0;
    double seconds = 0;           // the deadline, or when max_count were done
    std::vector<float> latency_us;  // socket() to close(), per completed connection
    std::vector<int> kept;        // open descriptors, with `keep`
    std::string first_error;
};

// Runs the job on the calling thread.
echo_result_t run_echo(const echo_job_t& job);

} // namespace bench
