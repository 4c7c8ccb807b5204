#pragma once
// The host's legacy iptables tools as witnesses of the tables in the test's
// network namespace.
#include <sstream>
#include <string>

#include "tests/support/netns.hpp"

namespace morva_test {

// Loads the rules (iptables-legacy-save form, with counters) with iptables-legacy-restore.
inline void ipt_restore(const std::string& rules) { sh("iptables-legacy-restore -w -c <<'EOF'\n" + rules + "EOF\n"); }

// The table as iptables-legacy-save prints it with counters, without its comment lines.
inline std::string ipt_save_table(const std::string& table)
{
    std::istringstream in(sh("iptables-legacy-save -c -t " + table));
    std::string out, line;
    while (std::getline(in, line))
        if (!line.starts_with("#"))
            out += line + "\n";
    return out;
}

} // namespace morva_test
