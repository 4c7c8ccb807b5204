#include "app/app.hpp"

#include <csignal>
#include <exception>
#include <memory>
#include <string>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/lexical_cast.hpp>
#include <boost/system/system_error.hpp>
#include <google/protobuf/stubs/logging.h>

#include "app/services.hpp"
#include "common/close_on_exec.hpp"
#include "common/error.hpp"
#include "common/exit.hpp"
#include "common/log.hpp"
#include "linux_firewall_config.pb.h"
#include "common/callback_wrapper.hpp"
#include "links/marend_tie.hpp"
#include "links/stream_socket.hpp"

namespace fw::app {

namespace {

// A signal set and the guard of its wait handlers; destruction disarms first.
struct signal_set_holder {
    explicit signal_set_holder(boost::asio::io_context& io) : set(io) {}

    void add(int signal)
    {
        boost::system::error_code ec;
        set.add(signal, ec);
        if (ec)
            throw boost::system::system_error(ec, "signal");
    }
    void cancel()
    {
        boost::system::error_code ignored;
        set.cancel(ignored);
        guard.disarm();
    }

    boost::asio::signal_set set;
    kv::util::callback_wrapper_t guard;
};

class app_t {
public:
    app_t() = default;

    // Steps that may fail with "Initialization failed".
    void start(const char* monitor);
    [[noreturn]] void run();

private:
    static std::unique_ptr<marend::tie_t> make_marend_tie(boost::asio::io_context& io, const char* monitor);
    void get_config();
    void apply_config();
    void wait_hangup();
    void on_hangup_signal(const boost::system::error_code& ec);
    void on_termination_signal(const boost::system::error_code& ec);
    void stop();

    int exit_status_ = 0;
    boost::asio::io_context io_;
    kv::LinuxFirewallConfig config_;
    unsigned revision_ = 0;
    std::unique_ptr<marend::tie_t> marend_;
    service::service_list_t services_;
    std::unique_ptr<signal_set_holder> hangup_;
    std::unique_ptr<signal_set_holder> termination_;
};

// Ends the daemon when the link to marend fails: the exception leaves the
// event loop and reaches run().
struct marend_delegate_t : marend::tie_t::delegate_t {
    void on_error(std::exception_ptr e) override
    {
        throw cf_exception_t(error_code_from_exception_ptr(e), "Marend: " + describe_exception_ptr(e));
    }
};

marend_delegate_t marend_delegate;

std::unique_ptr<marend::tie_t> app_t::make_marend_tie(boost::asio::io_context& io, const char* monitor)
{
    using boost::asio::local::stream_protocol;
    const int fd = boost::lexical_cast<int>(std::string(monitor));
    stream_protocol::socket socket(io);
    socket.assign(stream_protocol(), fd);
    // Inherited without close-on-exec: neither modprobe nor a hook's programs may
    // keep marend's link open.
    util::set_close_on_exec(fd);
    return std::make_unique<marend::tie_t>(
        marend_delegate, std::make_unique<util::asio_stream_socket_wrapper_t<stream_protocol::socket>>(std::move(socket)));
}

void app_t::start(const char* monitor)
{
    marend_ = make_marend_tie(io_, monitor);
    services_ = service::make_services(io_, config_, *marend_, &revision_);
    hangup_ = std::make_unique<signal_set_holder>(io_);
    termination_ = std::make_unique<signal_set_holder>(io_);
    std::set_terminate(terminate_handler);
    google::protobuf::SetLogHandler(protobuf_log_handler);
    hangup_->add(SIGHUP);
    termination_->add(SIGTERM);
    termination_->add(SIGINT);
}

void app_t::run()
{
    try {
        wait_hangup();
        termination_->set.async_wait(termination_->guard.wrap(
            [this](const boost::system::error_code& ec, int) { on_termination_signal(ec); }));
        get_config();
        io_.run();
        exit_with_status(exit_status_);
    } catch (kv::ErrorCode code) {
        stop();
        exit_with_status(code);
    } catch (const std::exception& e) {
        const auto ec = error_code_from_exception(e);
        if (::getuid() != 0
            && (ec == boost::system::errc::permission_denied || ec == boost::system::errc::operation_not_permitted)) {
            // Marend restarts the daemon, and a restart picks up the privileges it lacked.
            cf_log_lazy(log_debug, [&] { return describe_exception(e); });
            cf_log_lazy(log_notice, [] { return "Will restart for config changes to take effect"; });
            stop();
            exit_with_status(0);
        }
        cf_log_lazy(log_error, [&] { return describe_exception(e); });
        const int status = errorcode_from_exception(e);
        stop();
        exit_with_status(status);
    }
}

void app_t::get_config()
{
    marend_->request_config([this](kv::LinuxFirewallConfig& received, unsigned revision) {
        revision_ = revision;
        if (&received != &config_)
            config_.Swap(&received);
        apply_config();
    });
}

void app_t::apply_config()
{
    try {
        service::configure_services(services_);
    } catch (const std::exception& e) {
        cf_log_lazy(log_error, [&] {
            return "Cannot apply configuration (revision " + std::to_string(revision_) + "): " + e.what();
        });
        throw kv::EC_BAD_CONFIG;
    }
    cf_log_lazy(log_notice, [&] { return "LinuxFirewall " MORVA_VERSION ": Ready for service"; });
}

void app_t::wait_hangup()
{
    hangup_->set.async_wait(
        hangup_->guard.wrap([this](const boost::system::error_code& ec, int) { on_hangup_signal(ec); }));
}

void app_t::on_hangup_signal(const boost::system::error_code& ec)
{
    if (ec)
        throw boost::system::system_error(ec, "signal");
    cf_log_lazy(log_notice, [] { return "SIGHUP received, config will be ordered from Marend"; });
    get_config();
    wait_hangup();
}

void app_t::on_termination_signal(const boost::system::error_code& ec)
{
    if (ec)
        throw boost::system::system_error(ec, "signal");
    cf_log_lazy(log_notice, [] { return "Termination signal received, exiting..."; });
    exit_status_ = kv::EC_APP_TERMINATED;
    stop();
}

void app_t::stop()
{
    // May run twice (a failure while draining after a termination signal);
    // the second run finds nothing left.
    if (hangup_)
        hangup_->cancel();
    if (termination_)
        termination_->cancel();
    service::destroy_services(services_);
    marend_.reset();
}

} // namespace

void run_supervised(const char* monitor)
{
    // Never destroyed: every path ends the process, and a failed start must
    // not stop the services it has built.
    static app_t* const app = new app_t;
    app->start(monitor);
    app->run();
}

} // namespace fw::app
