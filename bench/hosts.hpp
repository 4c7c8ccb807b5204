#pragma once
// The topology of a run: the client, firewall and server hosts of the
// end-to-end tests plus a fourth namespace ("elsewhere on the machine") for
// sockets that are nobody's business, and the long-lived processes on them:
//   server host     the echo server
//   client host     a load generator (forward divert) and the SYN generator
//   firewall host   a load generator (output divert: local clients), holders
//                   of descriptors started before it, the pellad and quisad stand-ins
//   elsewhere       holders of TCP sockets
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bench/agent.hpp"
#include "bench/options.hpp"
#include "tests/support/topology.hpp"

namespace bench {

// The queues' counters in the firewall host (summed over its queues).
struct queue_counters_t {
    long waiting = 0;       // queue_total
    long queue_full = 0;    // dropped: the queue was at its length
    long lost = 0;          // dropped: the socket buffer of the reader was full
    long sequence = 0;      // packets handed to the reader (ids given)
};

class hosts_t {
public:
    explicit hosts_t(const options_t& o);
    ~hosts_t();
    hosts_t(const hosts_t&) = delete;
    hosts_t& operator=(const hosts_t&) = delete;

    queue_counters_t queue_counters() const;
    // Spread over the holders (a process may hold only so many); 0 lets go.
    void hold_descriptors(long total);
    void hold_sockets(long total);
    // Packets the server host received.
    long server_packets() const;

    morva_test::topology_t topology;
    std::string elsewhere;
    std::optional<agent_t> server;
    std::vector<std::unique_ptr<agent_t>> descriptor_holders;  // firewall host, started before the local load generator
    std::optional<agent_t> local;             // firewall host: local clients (output divert)
    std::optional<agent_t> client;            // client host (forward divert)
    std::vector<std::unique_ptr<agent_t>> socket_holders;      // elsewhere

private:
    std::optional<morva_test::ns_process_t> pellad_, quisad_;
};

} // namespace bench
