#pragma once
// How the process ends: the exit line, the terminate handler and the route of
// the protocol-buffer library's own messages into the process log.
#include <string>

#include <google/protobuf/stubs/logging.h>

// Logs "Exit with status N (text)" at Notice and exits, flushing the log.
[[noreturn]] void exit_with_status(int status);
// Logs `what` + `detail` at Error and the exit line, then _exits at once with
// `status`: no destructor runs, for faults after which the process's state is
// not to be trusted.
[[noreturn]] void abort_with_status(int status, const char* what, const char* detail) noexcept;
// For std::set_terminate: logs the escaping exception and _exits with its status.
[[noreturn]] void terminate_handler();
// For google::protobuf::SetLogHandler.
void protobuf_log_handler(google::protobuf::LogLevel level, const char* filename, int line,
                          const std::string& message);
