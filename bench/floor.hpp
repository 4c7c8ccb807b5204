#pragma once
// The floor of the PASS path: the daemon's own rules in the firewall host
// without the daemon, their queues bound by morva-bench-floor, which answers
// every packet at once with the daemon's PASS verdict. The rules are copied
// from a running daemon (iptables-legacy-save, its policy rules and routes),
// put back when the floor arms run and removed after them, so that nothing
// but the program answering the queue differs from the daemon's arm.
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/topology.hpp"

namespace bench {

struct daemon_rules_t {
    std::string iptables;                                   // iptables-legacy-save
    std::vector<std::string> tables;                        // the iptables tables in it
    std::vector<std::string> policy_rules;                  // "ip rule show" lines the daemon added
    std::vector<std::pair<std::string, std::string>> routes;  // (table, "ip route show table" line)
    std::uint32_t pass_mark = 0;                            // ClientPacketsMark | ServerPacketsMark
    std::vector<int> queues;

    // What the running daemon installed in `ns`, beside `baseline_rules`
    // (the "ip -4 rule show" lines before the daemon started).
    static daemon_rules_t capture(const std::string& ns, const std::string& baseline_rules);
};

// The rules in place and the floor program bound to their queues, on the
// service CPU; everything goes away with the object.
class floor_t {
public:
    // `work`: where the copy of the rules is written.
    floor_t(const std::string& ns, const daemon_rules_t& rules, const std::string& work);
    ~floor_t();
    floor_t(const floor_t&) = delete;
    floor_t& operator=(const floor_t&) = delete;

    pid_t pid() const { return program_->pid(); }

private:
    void remove_rules() noexcept;

    std::string ns_;
    const daemon_rules_t& rules_;
    std::unique_ptr<morva_test::ns_process_t> program_;
};

} // namespace bench
