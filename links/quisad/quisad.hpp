#pragma once
// Client of quisad: lookups and checks from scripts become serial-numbered
// jobs, sent over a link opened on demand and closed when idle.
#include <chrono>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <variant>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include "common/callback_wrapper.hpp"
#include "links/quisad/ipc.hpp"

namespace fw::util {
class stream_socket_t;
}

namespace fw::quisad {

class quisad_t : public ipc_t::delegate_t, private kv::util::callback_wrapper_t {
public:
    using parameters_t = std::unordered_map<std::string, std::string>;
    using lookup_callback_t = std::function<void(std::exception_ptr, std::vector<std::string>)>;
    using check_callback_t = std::function<void(std::exception_ptr, bool)>;
    using link_callback_t =
        std::function<void(std::exception_ptr, std::unique_ptr<util::stream_socket_t>)>;

    static constexpr std::chrono::seconds default_idle_period{180};
    // How long a job waits for its answer, link set-up included: a quisad
    // that accepts but never answers must not hold connections without end.
    static constexpr std::chrono::seconds default_answer_deadline{5};

    // Source of connected sockets to quisad.
    class link_provider_t {
    public:
        virtual ~link_provider_t() = default;
        // The callback gets an exception and no stream, or a connected stream.
        virtual void get_link(link_callback_t callback) = 0;
    };

    struct lookup_job_t {
        qd::LookupType type;
        std::string tag;
        parameters_t parameters;
        lookup_callback_t callback;
    };

    struct check_job_t {
        qd::LookupType type;
        std::string tag;
        std::string value;
        parameters_t parameters;
        check_callback_t callback;
    };

    quisad_t(boost::asio::io_context& io, link_provider_t& provider,
             std::chrono::steady_clock::duration idle_period = default_idle_period,
             std::chrono::steady_clock::duration answer_deadline = default_answer_deadline);
    // Pending callbacks are dropped without a call.
    ~quisad_t() override;
    quisad_t(const quisad_t&) = delete;
    quisad_t& operator=(const quisad_t&) = delete;

    // The callback runs once, always from a later event, never inside the call:
    // with the answer, or with a failure (the link's, or a timed_out error
    // when no answer came within the deadline; a later answer is discarded).
    // Throws "Job serial number overflow" when every serial is taken.
    void lookup(std::string type, const std::string& tag, parameters_t parameters,
                lookup_callback_t callback);
    void check(std::string type, const std::string& tag, const std::string& value,
               parameters_t parameters, check_callback_t callback);

private:
    using job_t = std::variant<lookup_job_t, check_job_t>;

    void on_lookup_response(std::uint32_t serial, std::vector<std::string> data) override;
    void on_lookup_error(std::uint32_t serial, const kv::Error& error) override;
    void on_check_response(std::uint32_t serial, bool result) override;
    void on_check_error(std::uint32_t serial, const kv::Error& error) override;
    void on_error(std::exception_ptr error) override;

    void submit(job_t job);
    std::uint32_t next_serial();
    void send(std::uint32_t serial, const job_t& job);
    void request_link();
    void on_link(std::exception_ptr error, std::unique_ptr<util::stream_socket_t> stream);
    template <typename Job, typename Result>
    void answer(std::uint32_t serial, const char* tag, std::exception_ptr error, Result result);
    void fail_all(std::exception_ptr error);
    void arm_idle_timer();
    void on_idle_timer(const boost::system::error_code& ec);
    void arm_deadline_timer();
    void on_deadline_timer(const boost::system::error_code& ec);

    boost::asio::io_context& io_;
    boost::asio::steady_timer idle_timer_;
    std::chrono::steady_clock::duration idle_period_;
    link_provider_t& provider_;
    std::unique_ptr<ipc_t> link_;
    std::map<std::uint32_t, job_t> jobs_;
    // Advances past every serial it hands out, so an answer that arrives late
    // (after the deadline) never meets a newer job.
    std::uint32_t serial_ = 0;
    std::chrono::steady_clock::duration answer_deadline_;
    // (deadline, serial) of the jobs in submission order, hence in deadline
    // order; entries of jobs that ended meanwhile are skipped when due.
    std::deque<std::pair<std::chrono::steady_clock::time_point, std::uint32_t>> deadlines_;
    boost::asio::steady_timer deadline_timer_;
    bool deadline_armed_ = false;
    bool link_requested_ = false;
    // Guards the timer's wait alone: re-arming disarms only the previous wait.
    kv::util::callback_wrapper_t timer_guard_;
};

} // namespace fw::quisad
