#pragma once
// The exception of a failed system call.
#include <cerrno>
#include <string>

#include <boost/system/system_error.hpp>

namespace fw::util {

[[noreturn]] inline void throw_errno(int error, const std::string& what)
{
    throw boost::system::system_error(error, boost::system::system_category(), what);
}

// errno is taken before `what` becomes a string.
[[noreturn]] inline void throw_errno(const char* what)
{
    const int error = errno;
    throw_errno(error, what);
}

} // namespace fw::util
