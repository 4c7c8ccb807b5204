#pragma once
// A process's resident memory as /proc tells it.
#include <sys/types.h>

#include <fstream>
#include <string>

namespace morva_test {

// The field of /proc/<pid>/status in kB ("VmRSS" now, "VmHWM" at its peak);
// -1 when /proc does not tell.
inline long resident_kb(pid_t pid, const std::string& field = "VmRSS")
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind(field + ":", 0) == 0)
            return std::stol(line.substr(field.size() + 1));
    return -1;
}

} // namespace morva_test
