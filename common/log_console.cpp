#include "common/log_sinks.hpp"

#include <boost/thread/lock_guard.hpp>
#include <boost/thread/mutex.hpp>

namespace {

void write_locked(std::string const& line)
{
    boost::lock_guard<boost::mutex> lock(cf_log_mutex());
    write_all(2, line.data(), line.size());
}

} // namespace

cf_console_log_t::cf_console_log_t(callback_t cb1_, callback_t cb2_)
    : cf_log_t(std::move(cb1_), std::move(cb2_))
{
}

void cf_console_log_t::write(int level, std::string const& text)
{
    write_locked(cf_log_plain_line(level, text) + "\n");
}

void cf_console_log_t::write_tagged(std::string const& tag, int n, std::string const& text)
{
    write_locked(cf_log_fallback_line(tag, n, text) + "\n");
}

void cf_console_log_t::out_of_memory()
{
    write_out_of_memory_line(2);
}
