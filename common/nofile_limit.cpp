#include "common/nofile_limit.hpp"

#include <cerrno>

#include <sys/resource.h>

#include <boost/system/system_error.hpp>

std::uint32_t nofile_limit()
{
    struct rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        throw boost::system::system_error(errno, boost::system::system_category(), "Cannot get rlimit");
    return static_cast<std::uint32_t>(limit.rlim_cur);
}
