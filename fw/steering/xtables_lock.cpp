#include "fw/steering/xtables_lock.hpp"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>

#include <boost/system/system_error.hpp>

#include "common/errno_error.hpp"
#include "common/log.hpp"

namespace fw::service {

using fw::util::throw_errno;

namespace {

util::scoped_fd_t open_lock_file(const std::string& path)
{
    int fd;
    do
        // Close-on-exec: the lock is held while modprobe runs.
        fd = ::open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0600);
    while (fd < 0 && errno == EINTR);
    if (fd < 0)
        throw_errno(errno, "Cannot open file " + path);
    return util::scoped_fd_t(fd);
}

void lock_open_file(int fd, const std::string& path)
{
    int result;
    do
        result = ::flock(fd, LOCK_EX);
    while (result < 0 && errno == EINTR);
    if (result < 0)
        throw_errno(errno, "Cannot lock file " + path);
}

} // namespace

util::scoped_fd_t lock_file(const std::string& path)
{
    util::scoped_fd_t file = open_lock_file(path);
    lock_open_file(file.get(), path);
    return file;
}

const xtables_lock_t::paths_t xtables_lock_t::default_paths{"/run/xtables.lock", "/var/run/xtables.lock"};

xtables_lock_t::xtables_lock_t(const std::string& configured, const paths_t& defaults)
    : xtables_lock_t(configured, own_, defaults)
{
}

xtables_lock_t::xtables_lock_t(const std::string& configured, kept_lock_file_t& kept, const paths_t& defaults)
    : file_(kept)
{
    if (file_.fd && file_.configured == configured) {
        lock_open_file(file_.fd.get(), file_.path);
        return;
    }
    file_.fd.reset();
    file_.configured = configured;
    if (!configured.empty()) {
        file_.path = configured;
        file_.fd = lock_file(file_.path);
        return;
    }
    try {
        file_.path = defaults.first;
        file_.fd = lock_file(file_.path);
    } catch (const boost::system::system_error& e) {
        cf_log_lazy(log_debug, [&] { return "Cannot lock " + defaults.first + ": " + e.what(); });
        file_.path = defaults.second;
        file_.fd = lock_file(file_.path);
    }
}

xtables_lock_t::~xtables_lock_t()
{
    if (::flock(file_.fd.get(), LOCK_UN) == 0)
        return;
    const int error = errno;
    cf_log_lazy(log_warning, [&] { return std::string("Cannot unlock iptables lock file: ") + std::strerror(error); });
}

} // namespace fw::service
