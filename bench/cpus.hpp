#pragma once
// Where the processes of a run may run: the daemon and the floor program
// share the service CPU, every load process the others, so that the two
// programs under comparison meet the same scheduler and caches and the load
// never takes their core. Without a second CPU nothing is pinned.
#include <dirent.h>
#include <sched.h>
#include <sys/types.h>

#include <cstdlib>
#include <string>

namespace bench {

struct cpu_sets_t {
    cpu_set_t service;
    cpu_set_t load;
    bool pinned = false;
};

// From the CPUs this process may use: the last serves, the others load.
inline const cpu_sets_t& cpu_sets()
{
    static const cpu_sets_t sets = [] {
        cpu_sets_t s{};
        cpu_set_t allowed;
        CPU_ZERO(&allowed);
        CPU_ZERO(&s.service);
        CPU_ZERO(&s.load);
        if (::sched_getaffinity(0, sizeof allowed, &allowed) != 0 || CPU_COUNT(&allowed) < 2)
            return s;
        int last = -1;
        for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
            if (CPU_ISSET(cpu, &allowed))
                last = cpu;
        s.load = allowed;
        CPU_CLR(last, &s.load);
        CPU_SET(last, &s.service);
        s.pinned = true;
        return s;
    }();
    return sets;
}

// Every thread of `pid` (threads it starts later inherit the set).
inline void pin(pid_t pid, const cpu_set_t& cpus)
{
    if (!cpu_sets().pinned)
        return;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    if (DIR* dir = ::opendir(tasks.c_str())) {
        while (const dirent* e = ::readdir(dir))
            if (e->d_name[0] != '.')
                ::sched_setaffinity(static_cast<pid_t>(std::atoi(e->d_name)), sizeof cpus, &cpus);
        ::closedir(dir);
    }
}

} // namespace bench
