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

// A lock file kept open between changes, so that a stop at the open-file
// limit still takes the lock without a new descriptor.
struct kept_lock_file_t {
    std::string configured; // the configured path it was opened for
    std::string path;       // the file it is
    util::scoped_fd_t fd;
};

// Held from construction to destruction.
class xtables_lock_t {
public:
    using paths_t = std::pair<std::string, std::string>;
    static const paths_t default_paths; // "/run/xtables.lock", "/var/run/xtables.lock"

    // A non-empty configured path is the only one tried; otherwise the first
    // default, and should that fail, the second.
    explicit xtables_lock_t(const std::string& configured, const paths_t& defaults = default_paths);
    // The same, through a file kept open: it is opened only when it is not yet
    // open for the same configured path, and stays open after the unlock.
    xtables_lock_t(const std::string& configured, kept_lock_file_t& kept, const paths_t& defaults = default_paths);
    // Unlocks and closes; a failing unlock is logged, never thrown.
    ~xtables_lock_t();

    xtables_lock_t(const xtables_lock_t&) = delete;
    xtables_lock_t& operator=(const xtables_lock_t&) = delete;

    const std::string& path() const noexcept { return file_.path; }

private:
    kept_lock_file_t own_;
    kept_lock_file_t& file_;
};

} // namespace fw::service
