#pragma once
// The process log: one log for every part of the daemon. Until the first log
// object is installed entries are buffered and replayed at installation; once
// the process has begun to exit, lines go straight to standard error.
#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "common/log_level.hpp"
#include "common/rate_limit.hpp"

namespace boost {
class mutex;
}

// The lowest level written (a cf_log_level). cf_log itself does not test it:
// callers go through cf_log_enabled, cf_log_lazy or cf_log_rate_limited.
extern std::atomic<int> cf_log_threshold;

// Abstract log object; the sinks derive from it.
class cf_log_t {
public:
    using callback_t = std::function<void(std::string const&)>;

    // Empty callbacks become do-nothing functions, so both are always callable.
    cf_log_t(callback_t cb1, callback_t cb2);
    virtual ~cf_log_t();

    cf_log_t(const cf_log_t&) = delete;
    cf_log_t& operator=(const cf_log_t&) = delete;

    virtual void open() = 0;
    virtual void write(int level, std::string const& text) = 0;
    virtual void write_tagged(std::string const& tag, int n, std::string const& text) = 0;
    // Reports that memory ran out; must not allocate.
    virtual void out_of_memory() = 0;

    // Receives every plain line (cb1) and every tagged line (cb2).
    callback_t cb1;
    callback_t cb2;
};

void cf_log(int level, std::string const& text);
void cf_log_tagged(std::string const& tag, int n, std::string const& text);

inline bool cf_log_enabled(cf_log_level level)
{
    return cf_log_threshold <= level;
}

// Logs the text build() returns, building it only when the level is written.
template <typename Build>
void cf_log_lazy(cf_log_level level, Build&& build)
{
    if (cf_log_enabled(level))
        cf_log(level, std::forward<Build>(build)());
}

// The same within the window of repeated warnings: the window restarts only
// when the line is written.
template <typename Build>
void cf_log_rate_limited(cf_log_level level, Build&& build)
{
    if (cf_log_enabled(level) && rate_limit_elapsed())
        log_rate_limited(level, std::forward<Build>(build)());
}

// Installs a log object and leaves the buffering state. An empty pointer keeps
// the installed object, or installs the default console log when none is.
void cf_log_install(std::shared_ptr<cf_log_t> const& log);
bool cf_log_installed();
// Allocates nothing.
void cf_log_out_of_memory();
const char* cf_log_level_name(int level);

// The mutex that guards the log's state, the callbacks and the sinks' writes.
boost::mutex& cf_log_mutex();

// Line formats shared by the log and its sinks (no newline added).
std::string cf_log_plain_line(int level, std::string const& text);   // "Level: text"
std::string cf_log_tagged_line(std::string const& tag, int n, std::string const& text); // "[tag-n] text"
std::string cf_log_fallback_line(std::string const& tag, int n, std::string const& text); // "tag-n: text"

// Writes all n bytes to fd, ignoring failures; stops on any write that
// transfers nothing.
void write_all(int fd, const void* data, std::size_t n);
// "Error: Not enough memory\n", without allocating.
void write_out_of_memory_line(int fd);
