#include "common/log_sinks.hpp"

#include <unistd.h>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/thread/lock_guard.hpp>
#include <boost/thread/mutex.hpp>

namespace {

// Local time in whole seconds, "2026-Dec-08 19:38:37".
std::string time_stamp()
{
    return boost::posix_time::to_simple_string(boost::posix_time::second_clock::local_time());
}

} // namespace

cf_file_log_t::cf_file_log_t(int fd, bool owned, callback_t cb1_, callback_t cb2_)
    : cf_log_t(std::move(cb1_), std::move(cb2_)), fd_(fd), owned_(owned), pid_(::getpid())
{
}

cf_file_log_t::~cf_file_log_t()
{
    if (owned_ && fd_ >= 0)
        ::close(fd_);
}

void cf_file_log_t::write(int level, std::string const& text)
{
    std::string line = time_stamp() + " [" + std::to_string(pid_) + "] "
        + cf_log_plain_line(level, text) + "\n";
    boost::lock_guard<boost::mutex> lock(cf_log_mutex());
    write_all(fd_, line.data(), line.size());
}

void cf_file_log_t::write_tagged(std::string const& tag, int n, std::string const& text)
{
    std::string line = time_stamp() + " " + cf_log_tagged_line(tag, n, text) + "\n";
    boost::lock_guard<boost::mutex> lock(cf_log_mutex());
    write_all(fd_, line.data(), line.size());
}

void cf_file_log_t::out_of_memory()
{
    write_out_of_memory_line(fd_);
}
