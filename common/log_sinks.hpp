#pragma once
// The log objects (syslog, file, console on standard error) and the factory
// that builds one from the configured kv.Log.
#include <memory>
#include <string>

#include "common/log.hpp"

namespace kv {
class Log;
}

class cf_syslog_log_t : public cf_log_t {
public:
    // A null or empty identity gives none.
    cf_syslog_log_t(const char* ident, int facility, callback_t cb1, callback_t cb2);
    ~cf_syslog_log_t() override;

    void open() override;
    void write(int level, std::string const& text) override;
    void write_tagged(std::string const& tag, int n, std::string const& text) override;
    void out_of_memory() override;

private:
    int facility_;
    std::string ident_;
};

class cf_console_log_t : public cf_log_t {
public:
    cf_console_log_t(callback_t cb1, callback_t cb2);

    void open() override {}
    void write(int level, std::string const& text) override;
    void write_tagged(std::string const& tag, int n, std::string const& text) override;
    void out_of_memory() override;
};

class cf_file_log_t : public cf_log_t {
public:
    // Closes fd at destruction when owned.
    cf_file_log_t(int fd, bool owned, callback_t cb1, callback_t cb2);
    ~cf_file_log_t() override;

    void open() override {}
    void write(int level, std::string const& text) override;
    void write_tagged(std::string const& tag, int n, std::string const& text) override;
    void out_of_memory() override;

private:
    int fd_;
    bool owned_;
    int pid_;
};

// Empty for the type AUTO and for numbers that are no log type; throws
// boost::filesystem::filesystem_error "Cannot create log" for a log file that
// cannot be opened. Not opened here: cf_log_install opens it.
std::shared_ptr<cf_log_t> make_log(const kv::Log& cfg, cf_log_t::callback_t cb1, cf_log_t::callback_t cb2);
// The copy of every line for the descriptor in COM_MORVA_ADD_LOG_PIPE, or a
// callback that does nothing.
cf_log_t::callback_t make_default_callback();
std::shared_ptr<cf_log_t> make_default_log();
// kv.LogLevel number to process log level.
int to_cf_log_level(int level);
// kv.Log.LogFacility number to syslog facility.
int to_syslog_facility(int facility);
