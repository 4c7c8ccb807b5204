#include "fw/service/xtables_lock.hpp"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>

#include <boost/system/system_error.hpp>

#include "common/errno_error.hpp"
#include "common/log.hpp"

namespace fw::service {

using fw::util::throw_errno;

util::scoped_fd_t lock_file(const std::string& path)
{
    int fd;
    do
        // Close-on-exec: the lock is held while modprobe runs.
        fd = ::open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0600);
    while (fd < 0 && errno == EINTR);
    if (fd < 0)
        throw_errno(errno, "Cannot open file " + path);
    util::scoped_fd_t file(fd);
    int result;
    do
        result = ::flock(file.get(), LOCK_EX);
    while (result < 0 && errno == EINTR);
    if (result < 0)
        throw_errno(errno, "Cannot lock file " + path);
    return file;
}

const xtables_lock_t::paths_t xtables_lock_t::default_paths{"/run/xtables.lock", "/var/run/xtables.lock"};

xtables_lock_t::xtables_lock_t(const std::string& configured, const paths_t& defaults)
{
    if (!configured.empty()) {
        path_ = configured;
        fd_ = lock_file(path_);
        return;
    }
    try {
        path_ = defaults.first;
        fd_ = lock_file(path_);
    } catch (const boost::system::system_error& e) {
        if (cf_log_threshold <= 0)
            cf_log(0, "Cannot lock " + defaults.first + ": " + e.what());
        path_ = defaults.second;
        fd_ = lock_file(path_);
    }
}

xtables_lock_t::~xtables_lock_t()
{
    if (::flock(fd_.get(), LOCK_UN) == 0)
        return;
    const int error = errno;
    if (cf_log_threshold <= 3)
        cf_log(3, std::string("Cannot unlock iptables lock file: ") + std::strerror(error));
}

} // namespace fw::service
