#include "common/reset_connection.hpp"

#include <sys/socket.h>

namespace fw::util {

void reset_connection(scoped_fd_t descriptor) noexcept
{
    const linger abort{1, 0};
    // Should the option fail, the close below still ends the connection.
    ::setsockopt(descriptor.get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    descriptor.reset();
}

} // namespace fw::util
