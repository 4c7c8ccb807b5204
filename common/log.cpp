#include "common/log.hpp"

#include <cstdlib>
#include <utility>
#include <vector>

#include <boost/thread/lock_guard.hpp>
#include <boost/thread/mutex.hpp>

#include "common/log_sinks.hpp"

std::atomic<int> cf_log_threshold{0};

namespace {

enum : int { buffering = 0, installed = 1, after_exit = 2 };

struct entry_t {
    int level;
    std::string text;
};

struct log_state_t {
    boost::mutex mutex;
    std::vector<entry_t> buffer;
    std::shared_ptr<cf_log_t> log;
};

constinit std::atomic<int> state{buffering};

// Never destroyed: another thread may still log while the process exits, and
// after the exit flush the log touches nothing but standard error.
log_state_t& log_state()
{
    static log_state_t* s = new log_state_t;
    return *s;
}

void exit_flush()
{
    auto& s = log_state();
    std::vector<entry_t> buffer;
    std::shared_ptr<cf_log_t> log;
    {
        boost::lock_guard<boost::mutex> lock(s.mutex);
        state = after_exit;
        buffer.swap(s.buffer);
        log.swap(s.log);
    }
    if (!buffer.empty()) {
        cf_log(log_debug, "Flushing log...");
        for (const auto& entry : buffer)
            cf_log(entry.level, entry.text);
    }
    // Releasing the installed object closes its sink.
}

struct exit_flush_registrar_t {
    exit_flush_registrar_t()
    {
        log_state();
        std::atexit(exit_flush);
    }
} exit_flush_registrar;

// The installed object, if the log is in that state; the caller's own reference.
std::shared_ptr<cf_log_t> installed_log()
{
    auto& s = log_state();
    if (state != installed)
        return nullptr;
    boost::lock_guard<boost::mutex> lock(s.mutex);
    return state == installed ? s.log : nullptr;
}

void write_line_to_stderr(int level, std::string const& text)
{
    std::string line = cf_log_plain_line(level, text);
    line += '\n';
    write_all(2, line.data(), line.size());
}

} // namespace

cf_log_t::cf_log_t(callback_t cb1_, callback_t cb2_) : cb1(std::move(cb1_)), cb2(std::move(cb2_))
{
    if (!cb1)
        cb1 = [](std::string const&) {};
    if (!cb2)
        cb2 = [](std::string const&) {};
}

cf_log_t::~cf_log_t() = default;

boost::mutex& cf_log_mutex()
{
    return log_state().mutex;
}

const char* cf_log_level_name(int level)
{
    switch (level) {
    case log_debug: return "Debug";
    case log_info: return "Info";
    case log_notice: return "Notice";
    case log_warning: return "Warning";
    case log_error: return "Error";
    default: return "Unknown";
    }
}

std::string cf_log_plain_line(int level, std::string const& text)
{
    return std::string(cf_log_level_name(level)) + ": " + text;
}

std::string cf_log_tagged_line(std::string const& tag, int n, std::string const& text)
{
    return "[" + tag + "-" + std::to_string(n) + "] " + text;
}

std::string cf_log_fallback_line(std::string const& tag, int n, std::string const& text)
{
    return tag + "-" + std::to_string(n) + ": " + text;
}

void cf_log(int level, std::string const& text)
{
    auto& s = log_state();
    std::shared_ptr<cf_log_t> log;
    if (state != after_exit) {
        boost::lock_guard<boost::mutex> lock(s.mutex);
        if (state == buffering) {
            s.buffer.push_back({level, text});
            return;
        }
        if (state == installed)
            log = s.log;
    }
    if (!log) {
        if (level >= cf_log_threshold)
            write_line_to_stderr(level, text);
        return;
    }
    // The writer keeps its own reference: a new object may be installed meanwhile.
    log->write(level, text);
    std::string line = cf_log_plain_line(level, text);
    boost::lock_guard<boost::mutex> lock(s.mutex);
    log->cb1(line);
}

void cf_log_tagged(std::string const& tag, int n, std::string const& text)
{
    std::shared_ptr<cf_log_t> log = installed_log();
    if (!log) {
        cf_log(log_error, cf_log_fallback_line(tag, n, text));
        return;
    }
    log->write_tagged(tag, n, text);
    std::string line = cf_log_tagged_line(tag, n, text);
    boost::lock_guard<boost::mutex> lock(log_state().mutex);
    log->cb2(line);
}

void cf_log_install(std::shared_ptr<cf_log_t> const& log)
{
    if (!log) {
        // A log type without a sink: never install nothing.
        if (!cf_log_installed())
            cf_log_install(make_default_log());
        return;
    }
    auto& s = log_state();
    std::shared_ptr<cf_log_t> previous;
    std::vector<entry_t> replay;
    {
        boost::lock_guard<boost::mutex> lock(s.mutex);
        previous = std::exchange(s.log, log);
        log->open();
        if (state == buffering)
            state = installed;
        replay.swap(s.buffer);
    }
    previous.reset();
    for (const auto& entry : replay)
        if (entry.level >= cf_log_threshold)
            cf_log(entry.level, entry.text);
    replay.clear();
    // Keep the buffer's storage for the exit flush.
    boost::lock_guard<boost::mutex> lock(s.mutex);
    if (s.buffer.empty())
        s.buffer.swap(replay);
}

bool cf_log_installed()
{
    auto& s = log_state();
    boost::lock_guard<boost::mutex> lock(s.mutex);
    return static_cast<bool>(s.log);
}

void cf_log_out_of_memory()
{
    if (std::shared_ptr<cf_log_t> log = installed_log())
        log->out_of_memory();
    else
        write_out_of_memory_line(2);
}
