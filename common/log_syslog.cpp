#include "common/log_sinks.hpp"

#include <atomic>

#include <syslog.h>

namespace {

// openlog and closelog act on the process's one syslog connection: only the
// sink that opened it last may close it, or replacing a sink while a writer
// still holds the old one would close the new one's connection.
std::atomic<const cf_syslog_log_t*> last_opener{nullptr};

int priority_of(int level)
{
    return level >= log_debug && level <= log_error ? LOG_DEBUG - level : LOG_ERR;
}

} // namespace

cf_syslog_log_t::cf_syslog_log_t(const char* ident, int facility, callback_t cb1_, callback_t cb2_)
    : cf_log_t(std::move(cb1_), std::move(cb2_)), facility_(facility), ident_(ident ? ident : "")
{
}

cf_syslog_log_t::~cf_syslog_log_t()
{
    const cf_syslog_log_t* self = this;
    if (last_opener.compare_exchange_strong(self, nullptr))
        ::closelog();
}

void cf_syslog_log_t::open()
{
    last_opener = this;
    ::openlog(ident_.empty() ? nullptr : ident_.c_str(), LOG_PID, facility_);
}

void cf_syslog_log_t::write(int level, std::string const& text)
{
    ::syslog(priority_of(level), "%s", text.c_str());
}

void cf_syslog_log_t::write_tagged(std::string const& tag, int n, std::string const& text)
{
    ::syslog(LOG_ERR, "%s", cf_log_fallback_line(tag, n, text).c_str());
}

void cf_syslog_log_t::out_of_memory()
{
    ::syslog(LOG_ERR, "%s", "Error: Not enough memory");
}
