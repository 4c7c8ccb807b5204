#include "common/log_sinks.hpp"

#include <cerrno>
#include <cstdlib>

#include <fcntl.h>
#include <syslog.h>

#include <boost/filesystem/exception.hpp>
#include <boost/lexical_cast.hpp>

#include "log.pb.h"

int to_cf_log_level(int level)
{
    return level >= 1 && level <= 5 ? level - 1 : log_error;
}

int to_syslog_facility(int facility)
{
    switch (facility) {
    case kv::Log::USER: return LOG_USER;
    case kv::Log::MAIL: return LOG_MAIL;
    case kv::Log::LOCAL0: return LOG_LOCAL0;
    case kv::Log::LOCAL1: return LOG_LOCAL1;
    case kv::Log::LOCAL2: return LOG_LOCAL2;
    case kv::Log::LOCAL3: return LOG_LOCAL3;
    case kv::Log::LOCAL4: return LOG_LOCAL4;
    case kv::Log::LOCAL5: return LOG_LOCAL5;
    case kv::Log::LOCAL6: return LOG_LOCAL6;
    case kv::Log::LOCAL7: return LOG_LOCAL7;
    default: return LOG_DAEMON;
    }
}

cf_log_t::callback_t make_default_callback()
{
    const char* value = std::getenv("COM_MORVA_ADD_LOG_PIPE");
    if (!value)
        return [](std::string const&) {};
    int fd;
    try {
        fd = boost::lexical_cast<int>(std::string(value));
    } catch (const boost::bad_lexical_cast&) {
        cf_log_lazy(log_error, [] { return "Log Factory: Wrong environment variable COM_MORVA_ADD_LOG_PIPE"; });
        return [](std::string const&) {};
    }
    cf_log_lazy(log_debug, [&] { return "Log Factory: Additional log - " + std::to_string(fd); });
    // Inherited from marend: a hook's long-lived child must not hold marend's log pipe open.
    if (const int flags = ::fcntl(fd, F_GETFD); flags >= 0)
        ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
    // Called under the log mutex, so a line and its newline stay together.
    return [fd](std::string const& line) {
        write_all(fd, line.data(), line.size());
        write_all(fd, "\n", 1);
    };
}

std::shared_ptr<cf_log_t> make_default_log()
{
    return std::make_shared<cf_console_log_t>(nullptr, nullptr);
}

std::shared_ptr<cf_log_t> make_log(const kv::Log& cfg, cf_log_t::callback_t cb1, cf_log_t::callback_t cb2)
{
    bool replaced = false;
    if (!cb1) {
        cb1 = make_default_callback();
        replaced = true;
    }
    if (!cb2)
        cb2 = cb1;
    switch (cfg.type()) {
    case kv::Log::SYSLOG:
        return std::make_shared<cf_syslog_log_t>(cfg.has_ident() ? cfg.ident().c_str() : nullptr,
                                                 to_syslog_facility(cfg.facility()), std::move(cb1),
                                                 std::move(cb2));
    case kv::Log::FILE: {
        int fd = ::open(cfg.path().c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (fd < 0) {
            int first = errno;
            fd = ::open(cfg.path().c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
            if (fd < 0)
                throw boost::filesystem::filesystem_error(
                    "Cannot create log", cfg.path(),
                    boost::system::error_code(first, boost::system::system_category()));
        }
        return std::make_shared<cf_file_log_t>(fd, true, std::move(cb1), std::move(cb2));
    }
    case kv::Log::STDERR:
        // Standard error already is the console: no copy to the extra descriptor.
        if (replaced)
            cb1 = nullptr;
        if (cfg.show_timestamp())
            return std::make_shared<cf_file_log_t>(2, false, std::move(cb1), nullptr);
        return std::make_shared<cf_console_log_t>(std::move(cb1), nullptr);
    default:
        return nullptr;
    }
}
