#pragma once
// The daemon under marend: connects over the inherited socket, builds the
// services, applies each configuration and stops on SIGTERM or SIGINT.

namespace fw::app {

// Takes over once COM_MORVA_MONITOR is known to be set. A failure while
// starting leaves as an exception (the caller logs "Initialization failed");
// after that it never returns: every path ends in exit_with_status.
[[noreturn]] void run_supervised(const char* monitor);

} // namespace fw::app
