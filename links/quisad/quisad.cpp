#include "links/quisad/quisad.hpp"

#include <limits>
#include <optional>
#include <stdexcept>

#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>
#include <boost/system/system_error.hpp>

#include "common/error.hpp"
#include "error.pb.h"
#include "links/stream_socket.hpp"
#include "quisad_client_ipc.pb.h"

namespace fw::quisad {

namespace {

// Type names as scripts give them, compared in lower case (classic locale).
std::optional<qd::LookupType> lookup_type(std::string name)
{
    static const std::unordered_map<std::string, qd::LookupType> table{
        {"ldap", qd::LOOKUP_LDAP},       {"ad", qd::LOOKUP_AD},
        {"pq", qd::LOOKUP_PQ},           {"sqlite", qd::LOOKUP_SQLITE},
        {"mysql", qd::LOOKUP_MYSQL},     {"redis", qd::LOOKUP_REDIS},
        {"allmatch", qd::LOOKUP_ALLMATCH}, {"regex", qd::LOOKUP_REGEX},
        {"cidr", qd::LOOKUP_CIDR},       {"mask", qd::LOOKUP_MASK},
    };
    for (char& c : name)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    const auto found = table.find(name);
    if (found == table.end())
        return std::nullopt;
    return found->second;
}

std::optional<std::string> parameter(const quisad_t::parameters_t& parameters, const char* key)
{
    const auto found = parameters.find(key);
    if (found == parameters.end())
        return std::nullopt;
    return found->second;
}

// The empty result of each job kind, given with every failure.
std::vector<std::string> empty_result(const quisad_t::lookup_job_t&) { return {}; }
bool empty_result(const quisad_t::check_job_t&) { return false; }

} // namespace

quisad_t::quisad_t(boost::asio::io_context& io, link_provider_t& provider,
                   std::chrono::steady_clock::duration idle_period,
                   std::chrono::steady_clock::duration answer_deadline)
    : io_(io), idle_timer_(io), idle_period_(idle_period), provider_(provider),
      answer_deadline_(answer_deadline), deadline_timer_(io)
{
}

quisad_t::~quisad_t()
{
    jobs_.clear();
    link_.reset();
}

void quisad_t::lookup(std::string type, const std::string& tag, parameters_t parameters,
                      lookup_callback_t callback)
{
    const auto resolved = lookup_type(std::move(type));
    if (!resolved) {
        boost::asio::post(io_, wrap([callback = std::move(callback)] {
            callback(std::make_exception_ptr(std::runtime_error("Unexpected lookup type")), {});
        }));
        return;
    }
    submit(lookup_job_t{*resolved, tag, std::move(parameters), std::move(callback)});
}

void quisad_t::check(std::string type, const std::string& tag, const std::string& value,
                     parameters_t parameters, check_callback_t callback)
{
    const auto resolved = lookup_type(std::move(type));
    if (!resolved) {
        boost::asio::post(io_, wrap([callback = std::move(callback)] {
            callback(std::make_exception_ptr(std::runtime_error("Unexpected lookup type")), false);
        }));
        return;
    }
    submit(check_job_t{*resolved, tag, value, std::move(parameters), std::move(callback)});
}

void quisad_t::submit(job_t job)
{
    const std::uint32_t serial = next_serial();
    const auto& stored = jobs_.emplace(serial, std::move(job)).first->second;
    deadlines_.emplace_back(std::chrono::steady_clock::now() + answer_deadline_, serial);
    if (!deadline_armed_)
        arm_deadline_timer();
    if (link_)
        send(serial, stored);
    else
        request_link();
}

std::uint32_t quisad_t::next_serial()
{
    if (jobs_.size() >= std::numeric_limits<std::uint32_t>::max())
        throw std::runtime_error("Job serial number overflow");
    // Skips serials still in use only after the counter wrapped around.
    while (jobs_.count(serial_))
        ++serial_;
    return serial_++;
}

void quisad_t::send(std::uint32_t serial, const job_t& job)
{
    if (const auto* l = std::get_if<lookup_job_t>(&job)) {
        link_->send_lookup_request(serial, l->type, l->tag, parameter(l->parameters, "user"),
                                   parameter(l->parameters, "domain"));
    } else {
        const auto& c = std::get<check_job_t>(job);
        link_->send_check_request(serial, c.type, c.tag, c.value, parameter(c.parameters, "user"),
                                  parameter(c.parameters, "domain"));
    }
}

void quisad_t::request_link()
{
    if (link_requested_)
        return;
    link_requested_ = true;
    provider_.get_link(wrap([this](std::exception_ptr error,
                                   std::unique_ptr<util::stream_socket_t> stream) {
        on_link(error, std::move(stream));
    }));
}

void quisad_t::on_link(std::exception_ptr error, std::unique_ptr<util::stream_socket_t> stream)
{
    link_requested_ = false;
    if (error) {
        fail_all(error);
        return;
    }
    link_ = std::make_unique<ipc_t>(std::move(stream), this);
    arm_idle_timer();
    for (const auto& [serial, job] : jobs_)
        send(serial, job);
}

template <typename Job, typename Result>
void quisad_t::answer(std::uint32_t serial, const char* tag, std::exception_ptr error,
                      Result result)
{
    const auto found = jobs_.find(serial);
    if (found == jobs_.end())
        return;
    if (!std::holds_alternative<Job>(found->second)) {
        fail_all(std::make_exception_ptr(cf_proto_exception_t(
            kv::EC_PROTOCOL_VIOLATION, std::string("Wrong response from Quisad: unexpected ") + tag)));
        return;
    }
    Job job = std::get<Job>(std::move(found->second));
    jobs_.erase(found);
    job.callback(error, std::move(result));
}

void quisad_t::on_lookup_response(std::uint32_t serial, std::vector<std::string> data)
{
    answer<lookup_job_t>(serial, "LOOKUP_RESPONSE", nullptr, std::move(data));
}

void quisad_t::on_lookup_error(std::uint32_t serial, const kv::Error& error)
{
    answer<lookup_job_t>(serial, "LOOKUP_RESPONSE", exception_ptr_from_error(error),
                         std::vector<std::string>{});
}

void quisad_t::on_check_response(std::uint32_t serial, bool result)
{
    answer<check_job_t>(serial, "CHECK_RESPONSE", nullptr, result);
}

void quisad_t::on_check_error(std::uint32_t serial, const kv::Error& error)
{
    answer<check_job_t>(serial, "CHECK_RESPONSE", exception_ptr_from_error(error), false);
}

void quisad_t::on_error(std::exception_ptr error)
{
    fail_all(error);
}

void quisad_t::fail_all(std::exception_ptr error)
{
    link_.reset();
    // Emptied first, so a callback that submits a new job starts from a clean map.
    auto jobs = std::move(jobs_);
    jobs_.clear();
    for (auto& [serial, job] : jobs)
        std::visit([&](auto& j) { j.callback(error, empty_result(j)); }, job);
}

void quisad_t::arm_idle_timer()
{
    timer_guard_.disarm();
    idle_timer_.cancel();
    idle_timer_.expires_after(idle_period_);
    idle_timer_.async_wait(
        timer_guard_.wrap([this](const boost::system::error_code& ec) { on_idle_timer(ec); }));
}

void quisad_t::on_idle_timer(const boost::system::error_code& ec)
{
    if (ec)
        throw boost::system::system_error(ec, "Quisad: idle timer");
    if (!jobs_.empty()) {
        arm_idle_timer();
        return;
    }
    link_.reset();
}

void quisad_t::arm_deadline_timer()
{
    deadline_armed_ = true;
    deadline_timer_.expires_at(deadlines_.front().first);
    deadline_timer_.async_wait(wrap([this](const boost::system::error_code& ec) { on_deadline_timer(ec); }));
}

void quisad_t::on_deadline_timer(const boost::system::error_code& ec)
{
    deadline_armed_ = false;
    if (ec)
        throw boost::system::system_error(ec, "Quisad: answer deadline timer");
    const auto now = std::chrono::steady_clock::now();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(answer_deadline_).count();
    const auto timed_out = std::make_exception_ptr(boost::system::system_error(
        boost::asio::error::timed_out, "Quisad: no answer within " + std::to_string(ms) + " ms"));
    while (!deadlines_.empty() && deadlines_.front().first <= now) {
        const auto found = jobs_.find(deadlines_.front().second);
        deadlines_.pop_front();
        if (found == jobs_.end())
            continue;
        // Out of the map first: the callback may submit new jobs.
        job_t job = std::move(found->second);
        jobs_.erase(found);
        std::visit([&](auto& j) { j.callback(timed_out, empty_result(j)); }, job);
    }
    if (!deadline_armed_ && !deadlines_.empty())
        arm_deadline_timer();
}

} // namespace fw::quisad
