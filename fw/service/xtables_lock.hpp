#pragma once
// The lock file the host's iptables tools take around every change of a table;
// the daemon holds it across read, edit and write of its tables.
#include <string>
#include <utility>

#include "common/scoped_fd.hpp"

namespace fw::service {

// Opens (creating it, mode 0600) and locks the file exclusively, waiting while
// another process holds it. Throws system_error "Cannot open file " + path or
// "Cannot lock file " + path.
util::scoped_fd_t lock_file(const std::string& path);

// Held from construction to destruction.
class xtables_lock_t {
public:
    using paths_t = std::pair<std::string, std::string>;
    static const paths_t default_paths; // "/run/xtables.lock", "/var/run/xtables.lock"

    // A non-empty configured path is the only one tried; otherwise the first
    // default, and should that fail, the second.
    explicit xtables_lock_t(const std::string& configured, const paths_t& defaults = default_paths);
    // Unlocks and closes; a failing unlock is logged, never thrown.
    ~xtables_lock_t();

    xtables_lock_t(const xtables_lock_t&) = delete;
    xtables_lock_t& operator=(const xtables_lock_t&) = delete;

    const std::string& path() const noexcept { return path_; }

private:
    std::string path_;
    util::scoped_fd_t fd_;
};

} // namespace fw::service
