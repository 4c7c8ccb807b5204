#pragma once
// Descriptors the daemon owns are close-on-exec, so programs it starts (a
// hook's children, modprobe) inherit none of its sockets.

namespace fw::util {

// Sets FD_CLOEXEC on fd. Throws boost::system::system_error "fcntl(FD_CLOEXEC)".
void set_close_on_exec(int fd);

} // namespace fw::util
