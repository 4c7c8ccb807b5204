#pragma once
// Ends a TCP connection with a reset rather than an orderly close: what the
// daemon gives up (a pair it cannot hand over, a client it cannot take) must
// not look like a normal end of stream to either side.
#include "common/scoped_fd.hpp"

namespace fw::util {

// Sets SO_LINGER to zero and closes the descriptor, which sends a RST.
void reset_connection(scoped_fd_t descriptor) noexcept;

} // namespace fw::util
