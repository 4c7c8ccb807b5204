#include "bench/load/echo.hpp"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

#include "bench/net.hpp"

namespace bench {
namespace {

using steady = std::chrono::steady_clock;

// A connection that takes longer than this failed (a lost SYN is sent again
// after 1, 3 and 7 s).
constexpr auto give_up = std::chrono::seconds(15);

struct slot_t {
    int fd = -1;
    bool connected = false;
    std::size_t got = 0;
    steady::time_point start;
    char answer[request_size + 1];
};

class echo_run_t {
public:
    explicit echo_run_t(const echo_job_t& job)
        : job_(job), server_(ipv4(job.address.c_str(), job.port)), slots_(static_cast<std::size_t>(job.in_flight)),
          epoll_(::epoll_create1(EPOLL_CLOEXEC))
    {
        if (epoll_ < 0)
            throw std::runtime_error(errno_text("epoll_create1"));
        std::memset(request_, 'r', sizeof request_);
    }
    ~echo_run_t()
    {
        for (auto& s : slots_)
            if (s.fd >= 0)
                ::close(s.fd);
        ::close(epoll_);
    }

    echo_result_t run()
    {
        start_ = steady::now();
        deadline_ = start_ + std::chrono::duration_cast<steady::duration>(std::chrono::duration<double>(job_.seconds));
        std::vector<epoll_event> events(slots_.size());
        auto next_sweep = start_ + std::chrono::seconds(1);
        for (;;) {
            const auto now = steady::now();
            const bool starting = now < deadline_ && (job_.max_count < 0 || started_ < job_.max_count);
            if (!starting && result_.seconds == 0)
                result_.seconds = std::chrono::duration<double>(now - start_).count();
            if (starting)
                for (std::size_t i = 0; i < slots_.size(); ++i)
                    if (slots_[i].fd < 0 && (job_.max_count < 0 || started_ < job_.max_count))
                        open(i);
            if (active_ == 0 && !starting)
                break;
            const int n = ::epoll_wait(epoll_, events.data(), static_cast<int>(events.size()), 50);
            if (n < 0 && errno != EINTR)
                throw std::runtime_error(errno_text("epoll_wait"));
            for (int e = 0; e < n; ++e)
                step(events[static_cast<std::size_t>(e)].data.u32);
            if (steady::now() >= next_sweep) {
                next_sweep = steady::now() + std::chrono::seconds(1);
                for (std::size_t i = 0; i < slots_.size(); ++i)
                    if (slots_[i].fd >= 0 && steady::now() - slots_[i].start > give_up)
                        fail(i, "no answer within 15 s");
            }
        }
        return std::move(result_);
    }

private:
    void open(std::size_t i)
    {
        auto& s = slots_[i];
        s.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        s.start = steady::now();
        ++started_;
        if (s.fd < 0) {
            note_failure(errno_text("socket"));
            return;
        }
        s.connected = false;
        s.got = 0;
        if (::connect(s.fd, reinterpret_cast<const sockaddr*>(&server_), sizeof server_) != 0 && errno != EINPROGRESS) {
            const std::string error = errno_text("connect to port " + std::to_string(job_.port));
            ::close(s.fd);
            s.fd = -1;
            note_failure(error);
            return;
        }
        epoll_event ev{};
        ev.events = EPOLLOUT;
        ev.data.u32 = static_cast<std::uint32_t>(i);
        if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, s.fd, &ev) != 0)
            throw std::runtime_error(errno_text("epoll_ctl"));
        ++active_;
    }

    void step(std::size_t i)
    {
        auto& s = slots_[i];
        if (s.fd < 0)
            return;
        if (!s.connected) {
            int error = 0;
            socklen_t len = sizeof error;
            ::getsockopt(s.fd, SOL_SOCKET, SO_ERROR, &error, &len);
            if (error != 0) {
                errno = error;
                return fail(i, errno_text("connect to port " + std::to_string(job_.port)));
            }
            s.connected = true;
            if (::send(s.fd, request_, sizeof request_, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof request_))
                return fail(i, errno_text("send"));
            epoll_event ev{};
            ev.events = EPOLLIN;
            ev.data.u32 = static_cast<std::uint32_t>(i);
            ::epoll_ctl(epoll_, EPOLL_CTL_MOD, s.fd, &ev);
            return;
        }
        const ssize_t n = ::recv(s.fd, s.answer + s.got, sizeof s.answer - s.got, 0);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return;
        if (n < 0)
            return fail(i, errno_text("recv"));
        s.got += static_cast<std::size_t>(n);
        if (s.got > request_size || std::memcmp(s.answer, request_, s.got) != 0)
            return fail(i, "wrong answer");
        if (job_.keep && s.got == request_size) {
            ::epoll_ctl(epoll_, EPOLL_CTL_DEL, s.fd, nullptr);
            result_.kept.push_back(s.fd);
            s.fd = -1;
            return complete(s);
        }
        if (n == 0) {
            if (s.got != request_size)
                return fail(i, "answer cut short");
            ::close(s.fd);
            s.fd = -1;
            complete(s);
        }
    }

    void complete(slot_t& s)
    {
        const auto now = steady::now();
        --active_;
        ++result_.done_total;
        if (now <= deadline_)
            ++result_.done;
        result_.latency_us.push_back(std::chrono::duration<float, std::micro>(now - s.start).count());
    }

    void fail(std::size_t i, const std::string& error)
    {
        ::close(slots_[i].fd);
        slots_[i].fd = -1;
        --active_;
        note_failure(error);
    }

    void note_failure(const std::string& error)
    {
        if (result_.failed++ == 0)
            result_.first_error = error;
    }

    echo_job_t job_;
    sockaddr_in server_;
    std::vector<slot_t> slots_;
    int epoll_;
    char request_[request_size];
    long started_ = 0;
    long active_ = 0;
    steady::time_point start_, deadline_;
    echo_result_t result_;
};

} // namespace

echo_result_t run_echo(const echo_job_t& job)
{
    if (job.in_flight < 1)
        throw std::runtime_error("in flight must be at least 1");
    return echo_run_t(job).run();
}

} // namespace bench
