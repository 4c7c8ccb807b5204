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
        cf_log_threshold = log_notice;
        cf_log_install(make_default_log());
    }
}

} // namespace

void exit_with_status(int status)
{
    install_console_log_if_none();
    cf_log_lazy(log_notice, [&] {
        return "Exit with status " + std::to_string(status) + " (" + errorcode_text(status) + ")";
    });
    std::exit(status);
}

void abort_with_status(int status, const char* what, const char* detail) noexcept
{
    try {
        install_console_log_if_none();
        cf_log_lazy(log_error, [&] { return std::string(what) + detail; });
        cf_log_lazy(log_notice, [&] {
            return "Exit with status " + std::to_string(status) + " (" + errorcode_text(status) + ")";
        });
    } catch (const std::bad_alloc&) {
        cf_log_out_of_memory();
    } catch (const std::exception&) {
        // Logging failed: the status alone has to tell.
    }
    ::_exit(status);
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
            cf_log_lazy(log_error, [&] { return describe_exception(e); });
            ::_exit(errorcode_from_exception(e));
        } catch (...) {
            // Not a std::exception: a kv.ErrorCode thrown by value or anything else.
            cf_log_lazy(log_error, [] { return "Unexpected exception"; });
            ::_exit(kv::EC_UNEXPECTED_ERROR);
        }
    } catch (const std::bad_alloc&) {
        cf_log_out_of_memory();
        ::_exit(kv::EC_NO_MEMORY);
    }
}

void protobuf_log_handler(google::protobuf::LogLevel level, const char*, int, const std::string& message)
{
    cf_log_level cf_level;
    switch (level) {
    case google::protobuf::LOGLEVEL_INFO:
        cf_level = log_info;
        break;
    case google::protobuf::LOGLEVEL_WARNING:
        if (message.starts_with("Reading dangerously large protocol message."))
            return;
        cf_level = log_warning;
        break;
    default:
        cf_level = log_error;
        break;
    }
    if (cf_log_enabled(cf_level))
        cf_log(cf_level, message);
}
