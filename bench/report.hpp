#pragma once
// The figures of a run: per arm one value a round (and what goes with it),
// printed as min / median / max, the median over the rounds of its ratio to
// the arm it is compared with in the same round (the direct counterpart, and
// for the PASS path also the floor), the daemon's CPU time per connection;
// then the rows of the measure beside their targets.
#include <cmath>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "bench/options.hpp"

namespace bench {

struct arm_sample_t {
    double value = 0;                   // in the arm's unit
    double p50_us = NAN;                // connection latency, when it has one
    double cpu_us = NAN;                // daemon CPU time per connection or SYN
    double busy = NAN;                  // daemon CPU time per second of the arm (1: one core)
    long failed = 0;                    // connections that failed
    long lost = 0;                      // SYNs lost to the queue socket's buffer
    long queue_full = 0;                // SYNs dropped by a full queue
    std::string error;                  // the first failure

    static arm_sample_t of(double value)
    {
        arm_sample_t s;
        s.value = value;
        return s;
    }
};

struct arm_figures_t {
    std::string label;
    std::string unit;
    std::string reference;              // the key of the arm the ratio is taken to, if any
    std::string floor;                  // the key of the floor arm of the same path, if any
    std::vector<arm_sample_t> samples;  // one a round, in the order of the rounds

    std::vector<double> values() const;
    double median_value() const;
};

class report_t {
public:
    // Declares an arm, in printing order.
    void arm(const std::string& key, const std::string& label, const std::string& unit,
             const std::string& reference = {}, const std::string& floor = {});
    void add(const std::string& key, const arm_sample_t& sample);
    const arm_figures_t* find(const std::string& key) const;
    // The median of an arm's p50 latencies, NAN when it was not measured.
    double median_p50_us(const std::string& key) const;
    // The median over the rounds of `key`'s value (or `field`) against
    // `other`'s of the same round; NAN unless both ran in every round.
    double paired_ratio(const std::string& key, const std::string& other) const;
    double paired_p50_ratio(const std::string& key, const std::string& other) const;

    void print(std::ostream& out, const options_t& o) const;

private:
    void print_targets(std::ostream& out) const;

    std::vector<std::string> order_;
    std::map<std::string, arm_figures_t> arms_;
};

} // namespace bench
