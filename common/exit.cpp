#include "common/exit.hpp"

#include <cstdlib>
#include <exception>
#include <new>

#include <unistd.h>

#include "common/error.hpp"
#include "common/log_sinks.hpp"
#include "error.pb.h"

namespace {

void install_console_log_if_none()
{
    if (!cf_log_installed()) {
        cf_log_threshold = 2;
        cf_log_install(make_default_log());
    }
}

} // namespace

void exit_with_status(int status)
{
    install_console_log_if_none();
    if (cf_log_threshold <= 2)
        cf_log(2, "Exit with status " + std::to_string(status) + " (" + errorcode_text(status) + ")");
    std::exit(status);
}

void terminate_handler()
{
    try {
        install_console_log_if_none();
        std::exception_ptr current = std::current_exception();
        if (!current)
            current = std::make_exception_ptr(kv::EC_UNEXPECTED_ERROR);
        try {
            std::rethrow_exception(current);
        } catch (const std::exception& e) {
            if (cf_log_threshold <= 4)
                cf_log(4, describe_exception(e));
            ::_exit(errorcode_from_exception(e));
        } catch (...) {
            // Not a std::exception: a kv.ErrorCode thrown by value or anything else.
            if (cf_log_threshold <= 4)
                cf_log(4, "Unexpected exception");
            ::_exit(kv::EC_UNEXPECTED_ERROR);
        }
    } catch (const std::bad_alloc&) {
        cf_log_out_of_memory();
        ::_exit(kv::EC_NO_MEMORY);
    }
}

void protobuf_log_handler(google::protobuf::LogLevel level, const char*, int, const std::string& message)
{
    int cf_level;
    switch (level) {
    case google::protobuf::LOGLEVEL_INFO:
        cf_level = 1;
        break;
    case google::protobuf::LOGLEVEL_WARNING:
        if (message.starts_with("Reading dangerously large protocol message."))
            return;
        cf_level = 3;
        break;
    default:
        cf_level = 4;
        break;
    }
    if (cf_log_threshold <= cf_level)
        cf_log(cf_level, message);
}
