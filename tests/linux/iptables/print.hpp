#pragma once
// Readable failure output for table models: one line per rule.
#include <cstdio>
#include <ostream>
#include <string>

#include "linux/iptables/table.hpp"

namespace fw::linux::iptables {

inline std::string describe(const xt_blob_t& ext)
{
    std::string out = ext.size() >= 32 ? reinterpret_cast<const char*>(ext.data() + 2) : "?";
    out += "[";
    for (std::size_t i = 32; i < ext.size(); ++i) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%02x", ext[i]);
        out += hex;
    }
    return out + "]";
}

inline std::string describe(const ipt_rule_t& rule)
{
    std::string out = "proto " + std::to_string(rule.proto()) + " src " + std::to_string(rule.src()) + "/"
        + std::to_string(rule.smsk()) + " flags " + std::to_string(rule.ip.flags) + " inv "
        + std::to_string(rule.ip.invflags) + " out " + reinterpret_cast<const char*>(rule.ip.outiface);
    for (const xt_blob_t& match : rule.matches)
        out += " -m " + describe(match);
    out += " -j ";
    if (const auto* verdict = std::get_if<ipt_verdict_t>(&rule.target))
        out += "verdict " + std::to_string(static_cast<int>(*verdict));
    else if (const auto* blob = std::get_if<xt_blob_t>(&rule.target))
        out += describe(*blob);
    else if (const auto* jump = std::get_if<ipt_jump_t>(&rule.target))
        out += "chain " + jump->chain;
    else if (const auto* other = std::get_if<ipt_other_verdict_t>(&rule.target))
        out += "verdict number " + std::to_string(other->verdict);
    else
        out += "(none)";
    return out + " [" + std::to_string(rule.counters.pcnt) + ":" + std::to_string(rule.counters.bcnt) + "]";
}

inline void PrintTo(const ipt_table_t& table, std::ostream* os)
{
    for (const auto& [hook, chain] : table.builtin_chains) {
        *os << "\nhook " << hook << " policy " << static_cast<int>(chain.policy) << " [" << chain.counters.pcnt
            << ":" << chain.counters.bcnt << "]";
        for (const ipt_rule_t& rule : chain.rules)
            *os << "\n  " << describe(rule);
    }
    for (const auto& [name, chain] : table.user_chains) {
        *os << "\nchain " << name;
        for (const ipt_rule_t& rule : chain.rules)
            *os << "\n  " << describe(rule);
    }
}

inline void PrintTo(const ipt_rule_t& rule, std::ostream* os) { *os << describe(rule); }

} // namespace fw::linux::iptables
