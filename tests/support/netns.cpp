#include "tests/support/netns.hpp"

#include <cstdio>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace morva_test {

std::string sh(const std::string& command, bool check)
{
    std::string out;
    FILE* p = ::popen(command.c_str(), "r");
    if (!p)
        throw std::runtime_error("popen failed: " + command);
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    int status = ::pclose(p);
    if (check && (!WIFEXITED(status) || WEXITSTATUS(status) != 0))
        throw std::runtime_error("command failed (" + std::to_string(status) + "): " + command + "\n" + out);
    return out;
}

int sh_status(const std::string& command)
{
    int status = std::system((command + " >/dev/null 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool in_private_netns()
{
    // pid 1's namespace may be unreadable in a sandbox; the parent's tells as much,
    // since a netns test program unshares its own before its tests run.
    struct stat self{}, parent{};
    std::string parent_ns = "/proc/" + std::to_string(::getppid()) + "/ns/net";
    if (::stat("/proc/self/ns/net", &self) != 0 || ::stat(parent_ns.c_str(), &parent) != 0)
        return false;
    return self.st_ino != parent.st_ino;
}

} // namespace morva_test
