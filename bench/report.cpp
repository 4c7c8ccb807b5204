#include "bench/report.hpp"

#include <algorithm>
#include <cstdio>
#include <functional>

#include "bench/stats.hpp"

namespace bench {
namespace {

std::string format(const char* pattern, double value)
{
    if (std::isnan(value))
        return "-";
    char text[64];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

// Figures of thousands and more without decimals, small ones with some.
std::string figure(double value)
{
    const double magnitude = std::fabs(value);
    return format(magnitude >= 100 ? "%.0f" : magnitude >= 1 ? "%.2f" : "%.3f", value);
}

double median_of(const std::vector<arm_sample_t>& samples, double arm_sample_t::*field)
{
    std::vector<double> values;
    for (const auto& s : samples)
        if (!std::isnan(s.*field))
            values.push_back(s.*field);
    return values.empty() ? NAN : median(values);
}

} // namespace

std::vector<double> arm_figures_t::values() const
{
    std::vector<double> v;
    for (const auto& s : samples)
        v.push_back(s.value);
    return v;
}

double arm_figures_t::median_value() const { return samples.empty() ? NAN : median(values()); }

void report_t::arm(const std::string& key, const std::string& label, const std::string& unit,
                   const std::string& reference, const std::string& floor)
{
    if (arms_.count(key))
        return;
    order_.push_back(key);
    arms_[key] = {label, unit, reference, floor, {}};
}

void report_t::add(const std::string& key, const arm_sample_t& sample) { arms_.at(key).samples.push_back(sample); }

const arm_figures_t* report_t::find(const std::string& key) const
{
    const auto it = arms_.find(key);
    return it == arms_.end() || it->second.samples.empty() ? nullptr : &it->second;
}

double report_t::median_p50_us(const std::string& key) const
{
    const auto* a = find(key);
    return a ? median_of(a->samples, &arm_sample_t::p50_us) : NAN;
}

namespace {

// The median over the rounds of f(a's sample, b's sample of the same round).
template <class F> double median_paired(const arm_figures_t* a, const arm_figures_t* b, F f)
{
    if (!a || !b || a->samples.size() != b->samples.size())
        return NAN;
    std::vector<double> ratios;
    for (std::size_t i = 0; i < a->samples.size(); ++i)
        if (const double r = f(a->samples[i], b->samples[i]); std::isfinite(r))
            ratios.push_back(r);
    return ratios.empty() ? NAN : median(ratios);
}

} // namespace

double report_t::paired_ratio(const std::string& key, const std::string& other) const
{
    return median_paired(find(key), find(other),
                         [](const arm_sample_t& a, const arm_sample_t& b) { return a.value / b.value; });
}

double report_t::paired_p50_ratio(const std::string& key, const std::string& other) const
{
    return median_paired(find(key), find(other),
                         [](const arm_sample_t& a, const arm_sample_t& b) { return b.p50_us / a.p50_us; });
}

void report_t::print(std::ostream& out, const options_t& o) const
{
    char line[512];
    out << "\nper arm, over " << o.rounds << " rounds (" << o.seconds << " s per connection arm, " << o.syn_seconds
        << " s per SYN arm, after " << o.warmup << " s of warm-up each); ratio: the median over the rounds of\n"
        << "this arm / the direct arm of the same round; vs floor: the same to the floor arm (a minimal queue\n"
        << "program answering PASS on the daemon's rules, on the daemon's CPU); p50: connection latency, socket()\n"
        << "to close(); p50 ratio: the median of the direct arm's p50 / this arm's (steadier than the rates on a\n"
        << "busy machine); CPU us/c: the CPU time per connection of the daemon (of the floor program in its arms;\n"
        << "per SYN decided in the SYN arms)\n\n";
    std::snprintf(line, sizeof line, "%-56s %-7s %9s %9s %9s %7s %8s %9s %9s %9s  %s\n", "arm", "unit", "min",
                  "median", "max", "ratio", "vs floor", "p50 ms", "p50 ratio", "CPU us/c", "notes");
    out << line;
    for (const auto& key : order_) {
        const auto& a = arms_.at(key);
        if (a.samples.empty())
            continue;
        const auto values = a.values();
        const auto [low, high] = std::minmax_element(values.begin(), values.end());
        const double p50_us = median_of(a.samples, &arm_sample_t::p50_us);
        const double ratio = paired_ratio(key, a.reference), p50_ratio = paired_p50_ratio(key, a.reference);
        const double floor_ratio = paired_ratio(key, a.floor);
        long failed = 0, lost = 0, queue_full = 0;
        std::string error;
        for (const auto& s : a.samples) {
            failed += s.failed;
            lost += s.lost;
            queue_full += s.queue_full;
            if (error.empty())
                error = s.error;
        }
        std::string notes;
        // On a busy machine the daemon's thread waits for a core: its CPU time
        // per SYN tells what one core of its own would decide.
        if (const double busy = median_of(a.samples, &arm_sample_t::busy); !std::isnan(busy))
            notes += "daemon busy " + format("%.0f", busy * 100) + "% of a core (a whole core: "
                     + format("%.0f", 1e6 / median_of(a.samples, &arm_sample_t::cpu_us)) + " SYN/s); ";
        if (failed)
            notes += "failed " + std::to_string(failed) + (error.empty() ? "" : " (" + error + ")") + "; ";
        if (!a.reference.empty() && (key.find("syn") != std::string::npos || key.find("512") != std::string::npos))
            notes += "SYNs lost to the socket buffer " + std::to_string(lost) + ", to a full queue "
                     + std::to_string(queue_full) + "; ";
        std::snprintf(line, sizeof line, "%-56s %-7s %9s %9s %9s %7s %8s %9s %9s %9s  %s\n", a.label.c_str(),
                      a.unit.c_str(), figure(*low).c_str(), figure(a.median_value()).c_str(), figure(*high).c_str(),
                      format("%.3f", ratio).c_str(), format("%.3f", floor_ratio).c_str(),
                      format("%.3f", p50_us / 1000).c_str(),
                      format("%.3f", p50_ratio).c_str(), format("%.1f", median_of(a.samples, &arm_sample_t::cpu_us)).c_str(),
                      notes.c_str());
        out << line;
    }
    print_targets(out);
}

void report_t::print_targets(std::ostream& out) const
{
    out << "\nrows of the measure (medians; ratio = median over the rounds of the daemon's arm / the direct one,\n"
           "or / the floor arm):\n\n";
    const auto median_of_arm = [&](const std::string& key) {
        const auto* a = find(key);
        return a ? a->median_value() : NAN;
    };
    const auto ratio = [&](const std::string& key) {
        const auto* a = find(key);
        return a ? paired_ratio(key, a->reference) : NAN;
    };
    const auto floor_ratio = [&](const std::string& key) {
        const auto* a = find(key);
        return a ? paired_ratio(key, a->floor) : NAN;
    };
    const auto lost = [&](const std::string& key) {
        const auto* a = find(key);
        double n = 0;
        if (!a)
            return static_cast<double>(NAN);
        for (const auto& s : a->samples)
            n += static_cast<double>(s.lost);
        return n;
    };
    struct target_t {
        const char* row;
        const char* pattern;
        std::function<double()> value;
        bool at_least;
        double bound;
    };
    const std::vector<target_t> targets{
        {"SYN decisions per second, DROP", "%.0f /s", [&] { return median_of_arm("syn.drop"); }, true, 100000},
        {"SYN decisions per second, PASS", "%.0f /s", [&] { return median_of_arm("syn.pass"); }, true, 70000},
        {"PASS one at a time, output", "%.3fx", [&] { return ratio("out1.pass"); }, true, 0.85},
        {"PASS one at a time, forward", "%.3fx", [&] { return ratio("fwd1.pass"); }, true, 0.85},
        {"PASS one at a time against the floor, output", "%.3fx", [&] { return floor_ratio("out1.pass"); }, true, 0.95},
        {"PASS one at a time against the floor, forward", "%.3fx", [&] { return floor_ratio("fwd1.pass"); }, true, 0.95},
        {"PASS 32 in flight, forward", "%.3fx", [&] { return ratio("fwd32.pass"); }, true, 0.4},
        {"PASS 512 in flight, SYNs lost to the socket buffer", "%.0f", [&] { return lost("fwd512.pass"); }, false, 0},
        {"CHECK one at a time, output", "%.3fx", [&] { return ratio("out1.check"); }, true, 0.25},
        {"CHECK one at a time, forward", "%.3fx", [&] { return ratio("fwd1.check"); }, true, 0.25},
        {"PASS reading the executable path, one at a time", "%.3fx", [&] { return ratio("out1.exe"); }, true, 0.3},
        {"PASS reading the executable path, 32 in flight", "%.3fx", [&] { return ratio("out32.exe"); }, true, 0.2},
        {"process lookup added p50, 1k descriptors", "%.3f ms", [&] { return median_of_arm("lookup.1k"); }, false, 1},
        {"process lookup added p50, 10k descriptors", "%.3f ms", [&] { return median_of_arm("lookup.10k"); }, false, 2},
        {"process lookup added p50, 100k descriptors", "%.3f ms", [&] { return median_of_arm("lookup.100k"); }, false, 5},
        {"one process lookup, 100k sockets elsewhere", "%+.3f ms", [&] { return median_of_arm("lookup.sockets"); }, false, 0.1},
        {"hook patterns, ours against Lua's own", "%.3fx", [&] { return ratio("patterns.ours"); }, true, 1.0},
        {"RSS idle", "%.1f MB", [&] { return median_of_arm("rss.idle"); }, false, 16},
        {"RSS with the held checked connections open", "%.1f MB", [&] { return median_of_arm("rss.held"); }, false, 16},
    };
    char line[256];
    for (const auto& t : targets) {
        const double v = t.value();
        if (std::isnan(v))
            continue;
        const bool met = t.at_least ? v >= t.bound : v <= t.bound;
        char bound[64];
        std::snprintf(bound, sizeof bound, t.pattern, t.bound);
        std::snprintf(line, sizeof line, "  %-52s %14s   target %s %-10s %s\n", t.row, format(t.pattern, v).c_str(),
                      t.at_least ? ">=" : "<=", bound, met ? "met" : "MISSED");
        out << line;
    }
}

} // namespace bench
