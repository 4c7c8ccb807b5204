// What diverting a connection through the daemon costs, on the end-to-end
// hosts (client --- firewall --- server): short echo connections from the
// client to the server and bulk transfers from the server to the client
//   (a) with no daemon on the firewall host,
//   (b) through the daemon, its hook passing the connection,
//   (c) through the daemon, its hook handing the connection to the pellad
//       stand-in, which relays the bytes.
// Rounds alternate between a phase without the daemon and one with a freshly
// started daemon, in which (b) and (c) take turns chunk by chunk, so that the
// machine's noise falls on every variant alike. Every phase starts with a
// warm-up whose connections are not counted. The server checks who connected:
// the client itself for (a) and (b), the firewall host for (c).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <boost/filesystem.hpp>
#include <boost/program_options.hpp>

#include "common/scoped_fd.hpp"
#include "tests/support/topology.hpp"

namespace {

using morva_test::ns_process_t;
using morva_test::topology_t;
using fw::util::scoped_fd_t;
using steady = std::chrono::steady_clock;

std::atomic<bool> interrupted{false};

void check_interrupted()
{
    if (interrupted)
        throw std::runtime_error("interrupted");
}

std::string errno_text(const std::string& what) { return what + ": " + std::strerror(errno); }

// Moves the calling thread (only it) into a named network namespace.
void enter_netns(const std::string& ns)
{
    const int fd = ::open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw std::runtime_error(errno_text("open namespace " + ns));
    const int rc = ::setns(fd, CLONE_NEWNET);
    ::close(fd);
    if (rc != 0)
        throw std::runtime_error(errno_text("setns " + ns));
}

// Runs `f` on a thread of its own inside a namespace; its result or exception.
template <class F> auto in_netns(const std::string& ns, F f) -> decltype(f())
{
    std::optional<decltype(f())> result;
    std::exception_ptr error;
    std::thread([&] {
        try {
            enter_netns(ns);
            result.emplace(f());
        } catch (...) {
            error = std::current_exception();
        }
    }).join();
    if (error)
        std::rethrow_exception(error);
    return std::move(*result);
}

void set_timeouts(int fd, int seconds)
{
    const timeval tv{seconds, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

sockaddr_in ipv4(const char* address, int port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (::inet_pton(AF_INET, address, &a.sin_addr) != 1)
        throw std::runtime_error(std::string("bad address ") + address);
    return a;
}

bool write_all(int fd, const char* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// Reads up to `size` bytes, stopping early at the end of the stream; -1 on error.
ssize_t read_full(int fd, char* data, std::size_t size)
{
    std::size_t got = 0;
    while (got < size) {
        const ssize_t n = ::recv(fd, data + got, size - got, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

constexpr std::size_t request_size = 64;
constexpr std::size_t bulk_buffer = 256 * 1024;

enum variant_t { direct = 0, passed = 1, checked = 2 };
constexpr std::array<const char*, 3> variant_names{"(a) no daemon", "(b) daemon, PASS", "(c) daemon, CHECK relay"};
// Each variant has its ports, so the hook can tell them apart and no variant
// meets another's TIME_WAIT sockets.
constexpr int echo_port(variant_t v) { return 9000 + v; }
constexpr int bulk_port(variant_t v) { return 9100 + v; }

// The server host's side: echo listeners (read the request, answer it, close
// first, so TIME_WAIT stays on the server) and bulk listeners (send the given
// number of bytes, close). It counts who connected.
class server_t {
public:
    server_t(const std::string& ns, std::size_t bulk_bytes, int clients) : bulk_bytes_(bulk_bytes)
    {
        in_netns(ns, [this] {
            for (const variant_t v : {direct, passed, checked}) {
                add(echo_port(v), false);
                add(bulk_port(v), true);
            }
            return 0;
        });
        // A worker per client, and one more for a connection still closing
        // while the next arrives.
        for (auto& l : listeners_)
            for (int i = 0; i <= clients; ++i)
                workers_.emplace_back([this, l = l.get()] { serve(*l); });
    }
    ~server_t()
    {
        stopping_ = true;
        for (auto& l : listeners_)
            ::shutdown(l->fd.get(), SHUT_RDWR); // wakes the workers blocked in accept
        for (auto& w : workers_)
            w.join();
    }

    // Connections whose peer was the client host, the firewall host, or else.
    struct peers_t {
        long client = 0, firewall = 0, other = 0, failed = 0;
    };
    peers_t peers(int port) const
    {
        for (const auto& l : listeners_)
            if (l->port == port)
                return {l->client, l->firewall, l->other, l->failed};
        return {};
    }

private:
    struct listener_t {
        listener_t(int p, bool b) : fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)), port(p), bulk(b) {}
        scoped_fd_t fd;
        int port;
        bool bulk;
        std::atomic<long> client{0}, firewall{0}, other{0}, failed{0};
    };

    void add(int port, bool bulk)
    {
        auto l = std::make_unique<listener_t>(port, bulk);
        if (!l->fd)
            throw std::runtime_error(errno_text("socket"));
        const int one = 1;
        ::setsockopt(l->fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        const auto a = ipv4(topology_t::server_address, port);
        if (::bind(l->fd.get(), reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0
            || ::listen(l->fd.get(), 1024) != 0)
            throw std::runtime_error(errno_text("listen on " + std::to_string(port)));
        listeners_.push_back(std::move(l));
    }

    void serve(listener_t& l)
    {
        const auto client = ipv4(topology_t::client_address, 0).sin_addr.s_addr;
        const auto firewall = ipv4(topology_t::firewall_server_side, 0).sin_addr.s_addr;
        std::vector<char> buffer(l.bulk ? bulk_buffer : request_size, 'x');
        while (!stopping_) {
            sockaddr_in peer{};
            socklen_t len = sizeof peer;
            const int c = ::accept4(l.fd.get(), reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
            if (c < 0) {
                if (errno == EINTR || errno == ECONNABORTED)
                    continue;
                return;
            }
            scoped_fd_t conn(c);
            ++(peer.sin_addr.s_addr == client ? l.client : peer.sin_addr.s_addr == firewall ? l.firewall : l.other);
            set_timeouts(c, 10);
            bool ok = true;
            if (l.bulk) {
                for (std::size_t left = bulk_bytes_; ok && left > 0;) {
                    const std::size_t n = std::min(left, buffer.size());
                    ok = write_all(c, buffer.data(), n);
                    left -= n;
                }
            } else {
                const ssize_t n = read_full(c, buffer.data(), buffer.size());
                ok = n > 0 && write_all(c, buffer.data(), static_cast<std::size_t>(n));
            }
            if (!ok)
                ++l.failed;
        }
    }

    std::size_t bulk_bytes_;
    std::atomic<bool> stopping_{false};
    std::vector<std::unique_ptr<listener_t>> listeners_;
    std::vector<std::thread> workers_;
};

// The client host's side. Its ports go round in order unless the kernel
// chooses them: the kernel may soon take a port again whose last checked
// connection is still in TIME_WAIT on the firewall host (the relay closed it
// first), and such a SYN stalls there, which would measure that instead of
// the cost of diversion.
std::atomic<bool> kernel_ports{false};
std::atomic<unsigned> next_client_port{0};

void bind_next_port(int fd)
{
    constexpr unsigned first = 10000, count = 55000;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const auto a = ipv4(topology_t::client_address, static_cast<int>(first + next_client_port++ % count));
        if (::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0)
            return;
        if (errno != EADDRINUSE)
            break;
    }
    throw std::runtime_error(errno_text("bind a client port"));
}

int connect_to(int port)
{
    scoped_fd_t fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd)
        throw std::runtime_error(errno_text("socket"));
    set_timeouts(fd.get(), 10); // also bounds connect()
    if (!kernel_ports)
        bind_next_port(fd.get());
    const auto a = ipv4(topology_t::server_address, port);
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0)
        throw std::runtime_error(errno == EINPROGRESS
                                     ? "connect to port " + std::to_string(port) + " timed out after 10 s"
                                     : errno_text("connect to port " + std::to_string(port)));
    return fd.release();
}

struct echo_sample_t {
    double connect_us;  // until connect() returned
    double total_us;    // connect, request, answer, end of stream, close
};

struct echo_batch_t {
    std::vector<echo_sample_t> samples;
    double seconds = 0;
};

echo_batch_t echo_batch(int port, int count, int serial)
{
    echo_batch_t batch;
    batch.samples.reserve(static_cast<std::size_t>(count));
    const auto start = steady::now();
    for (int i = 0; i < count; ++i) {
        check_interrupted();
        std::array<char, request_size> request{};
        std::snprintf(request.data(), request.size(), "echo %d/%d", serial, i);
        std::array<char, request_size + 1> answer{};
        const auto t0 = steady::now();
        scoped_fd_t fd(connect_to(port));
        const auto t1 = steady::now();
        if (!write_all(fd.get(), request.data(), request.size()))
            throw std::runtime_error(errno_text("send to port " + std::to_string(port)));
        // The server closes after its answer: one byte more would be a fault.
        const ssize_t n = read_full(fd.get(), answer.data(), answer.size());
        if (n != static_cast<ssize_t>(request.size()) || std::memcmp(answer.data(), request.data(), request.size()) != 0)
            throw std::runtime_error("port " + std::to_string(port) + ": wrong answer (" + std::to_string(n)
                                     + " bytes" + (n < 0 ? ", " + errno_text("recv") : std::string()) + ")");
        fd.reset();
        const auto t2 = steady::now();
        using us = std::chrono::duration<double, std::micro>;
        batch.samples.push_back({us(t1 - t0).count(), us(t2 - t0).count()});
    }
    batch.seconds = std::chrono::duration<double>(steady::now() - start).count();
    return batch;
}

// `count` connections from `clients` threads at the same time (on the
// calling thread's namespace, which new threads inherit).
echo_batch_t parallel_echo_batch(int port, int count, int clients, int serial)
{
    if (clients == 1)
        return echo_batch(port, count, serial);
    std::vector<echo_batch_t> batches(static_cast<std::size_t>(clients));
    std::vector<std::exception_ptr> errors(batches.size());
    std::vector<std::thread> threads;
    const auto start = steady::now();
    for (int t = 0; t < clients; ++t)
        threads.emplace_back([&, t] {
            try {
                batches[static_cast<std::size_t>(t)] =
                    echo_batch(port, count / clients + (t < count % clients ? 1 : 0), serial * clients + t);
            } catch (...) {
                errors[static_cast<std::size_t>(t)] = std::current_exception();
            }
        });
    for (auto& t : threads)
        t.join();
    for (const auto& e : errors)
        if (e)
            std::rethrow_exception(e);
    echo_batch_t all;
    for (const auto& b : batches)
        all.samples.insert(all.samples.end(), b.samples.begin(), b.samples.end());
    all.seconds = std::chrono::duration<double>(steady::now() - start).count();
    return all;
}


// One bulk transfer from the server; its seconds from connect to end of stream.
double bulk_transfer(int port, std::size_t bytes)
{
    check_interrupted();
    std::vector<char> buffer(bulk_buffer);
    const auto start = steady::now();
    scoped_fd_t fd(connect_to(port));
    std::size_t got = 0;
    for (;;) {
        const ssize_t n = ::recv(fd.get(), buffer.data(), buffer.size(), 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw std::runtime_error(errno_text("bulk from port " + std::to_string(port)));
        if (n == 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    fd.reset();
    const double seconds = std::chrono::duration<double>(steady::now() - start).count();
    if (got != bytes)
        throw std::runtime_error("bulk from port " + std::to_string(port) + ": " + std::to_string(got) + " bytes of "
                                 + std::to_string(bytes));
    return seconds;
}

std::string program(const std::string& relative) { return std::string(MORVA_BENCH_BUILD_DIR) + "/" + relative; }

// The hook: PASS for the (b) ports, CHECK for the rest. No quisad look-up, so
// the hook's own cost stays small and alike for both.
std::string hook_text()
{
    return "function intercept_hook(ctx)\n"
           "    if ctx.dst.port == "
           + std::to_string(echo_port(passed)) + " or ctx.dst.port == " + std::to_string(bulk_port(passed))
           + " then\n"
             "        return \"pass\"\n"
             "    end\n"
             "    return \"check\"\n"
             "end\n";
}

// The demo's configuration (every divert on; marks, queues and route chosen by
// the daemon) with the bench hook, logging only warnings and errors.
std::string config_text(const std::string& dir)
{
    std::ifstream in(std::string(MORVA_BENCH_SOURCE_DIR) + "/tools/demo/config.txtpb");
    std::stringstream demo;
    demo << in.rdbuf();
    std::string text = demo.str();
    for (const auto& [pattern, replacement] :
         {std::pair<std::string, std::string>{"log_level: \\w+", "log_level: LOG_LEVEL_WARNING"},
          {"intercept_hook \\{[^}]*\\}", "intercept_hook { file: \"" + dir + "/hook.lua\" }"}}) {
        const std::regex re(pattern);
        if (!std::regex_search(text, re))
            throw std::runtime_error("tools/demo/config.txtpb has no " + pattern);
        text = std::regex_replace(text, re, replacement);
    }
    return text + "var_lib_dir: \"" + dir + "\"\n";
}

std::string tail(const std::string& text, std::size_t size = 3000)
{
    return text.size() > size ? "..." + text.substr(text.size() - size) : text;
}

// The daemon under the marend stand-in on the firewall host, from its start
// (first revision applied) to its stop.
class daemon_t {
public:
    daemon_t(const topology_t& hosts, const std::string& dir)
        : marend_(hosts.firewall, {program("tools/marend-standin"), "--config", dir + "/config.txtpb", "--pellad",
                                   dir + "/pellad.sock", "--quisad", dir + "/quisad.sock", "--daemon",
                                   program("morva-firewall")})
    {
        if (!marend_.wait_for("MY_INFO_NOTIFICATION: revision 1", std::chrono::seconds(20)))
            throw std::runtime_error("the daemon did not apply its configuration:\n" + tail(marend_.output()));
    }
    ~daemon_t()
    {
        if (!stopped_)
            marend_.signal(SIGTERM), marend_.wait();
    }
    void stop()
    {
        stopped_ = true;
        marend_.signal(SIGTERM);
        const auto status = marend_.wait();
        if (status != 0)
            throw std::runtime_error("the daemon's stop failed (status " + std::to_string(status.value_or(-1))
                                     + "):\n" + tail(marend_.output()));
    }

private:
    ns_process_t marend_;
    bool stopped_ = false;
};

// The pellad and quisad stand-ins on the firewall host, for the whole run.
class peers_t {
public:
    peers_t(const topology_t& hosts, const std::string& dir)
        : pellad_(hosts.firewall, {program("tools/pellad-standin"), dir + "/pellad.sock"}),
          quisad_(hosts.firewall, {program("tools/quisad-standin"), dir + "/quisad.sock", dir + "/quisad.table"})
    {
        for (auto* p : {&pellad_, &quisad_})
            if (!p->wait_for("listening"))
                throw std::runtime_error("a stand-in did not start: " + p->output());
    }

private:
    ns_process_t pellad_;
    ns_process_t quisad_;
};

struct results_t {
    std::vector<double> connect_us;
    std::vector<double> total_us;
    long connections = 0;
    double echo_seconds = 0;
    std::vector<double> round_rates;  // connections per second, one per round
    double bulk_bytes = 0;
    double bulk_seconds = 0;

    void add(const echo_batch_t& batch)
    {
        for (const auto& s : batch.samples) {
            connect_us.push_back(s.connect_us);
            total_us.push_back(s.total_us);
        }
        connections += static_cast<long>(batch.samples.size());
        echo_seconds += batch.seconds;
    }
    void merge(const results_t& other)
    {
        connect_us.insert(connect_us.end(), other.connect_us.begin(), other.connect_us.end());
        total_us.insert(total_us.end(), other.total_us.begin(), other.total_us.end());
        connections += other.connections;
        echo_seconds += other.echo_seconds;
    }
    double rate() const { return echo_seconds > 0 ? static_cast<double>(connections) / echo_seconds : 0; }
    double mib_per_second() const { return bulk_seconds > 0 ? bulk_bytes / bulk_seconds / (1024 * 1024) : 0; }
};

// Nearest-rank percentile.
double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const auto rank = static_cast<std::size_t>(std::ceil(p * static_cast<double>(values.size())));
    return values[std::clamp<std::size_t>(rank, 1, values.size()) - 1];
}

constexpr int time_wait_cap = 256;  // per host, unless --keep-time-wait

struct options_t {
    int rounds = 6;
    int connections = 1000; // per variant and round
    int warmup = 50;        // per variant and phase
    int chunk = 50;
    std::size_t bulk_mib = 64;
    int bulk_count = 2;     // per variant and round
    int clients = 1;        // echo connections at the same time
    bool keep_time_wait = false;
    std::string work;
};

class bench_t {
public:
    explicit bench_t(const options_t& o)
        : o_(o), server_(hosts_.server, o.bulk_mib * 1024 * 1024, o.clients)
    {
        // Many short connections one after another: ports of the client host
        // and of the daemon's own connects must not run out.
        for (const auto& ns : {hosts_.client, hosts_.firewall})
            topology_t::sh_in(ns, "sysctl -q -w net.ipv4.tcp_tw_reuse=1 net.ipv4.ip_local_port_range=\"10000 65000\"");
        // A checked connection costs the daemon a walk over the machine's TCP
        // sockets, TIME_WAIT ones of every namespace included: the thousands
        // this run leaves behind would slow (c) round after round. Capped,
        // every round sees the same machine.
        if (!o_.keep_time_wait)
            for (const auto& ns : {hosts_.client, hosts_.firewall, hosts_.server})
                topology_t::sh_in(ns, "sysctl -q -w net.ipv4.tcp_max_tw_buckets=" + std::to_string(time_wait_cap));
        std::ofstream(o_.work + "/hook.lua") << hook_text();
        std::ofstream(o_.work + "/config.txtpb") << config_text(o_.work);
        std::ofstream(o_.work + "/quisad.table") << "";
        peers_.emplace(hosts_, o_.work);
    }

    void run()
    {
        for (int round = 0; round < o_.rounds; ++round) {
            if (round % 2 == 0) {
                direct_phase();
                daemon_phase();
            } else {
                daemon_phase();
                direct_phase();
            }
            std::cerr << "round " << round + 1 << "/" << o_.rounds << ": conn/s";
            for (const variant_t v : {direct, passed, checked})
                std::cerr << "  " << static_cast<char>('a' + v) << " " << static_cast<long>(results_[v].round_rates.back());
            std::cerr << std::endl;
        }
        verify_peers();
    }

    void print(std::ostream& out) const
    {
        char line[256];
        out << "\nmorva-bench: " << o_.rounds << " rounds; per variant and round " << o_.connections
            << " echo connections (" << request_size << "-byte request and answer, "
            << (o_.clients == 1 ? std::string("one at a time") : std::to_string(o_.clients) + " at a time")
            << ", after "
            << o_.warmup << " warm-up ones per phase) and " << o_.bulk_count << " bulk transfers of " << o_.bulk_mib
            << " MiB; TIME_WAIT sockets "
            << (o_.keep_time_wait ? std::string("uncapped") : "capped at " + std::to_string(time_wait_cap) + " per host")
            << "\n\n";
        std::snprintf(line, sizeof line, "%-26s %9s %12s %10s %12s %10s %11s\n", "", "conn/s", "connect p50",
                      "p99", "conn+echo p50", "p99", "bulk MiB/s");
        out << line;
        std::array<std::array<double, 6>, 3> figures{};
        for (const variant_t v : {direct, passed, checked}) {
            const auto& r = results_[v];
            figures[v] = {r.rate(),
                          percentile(r.connect_us, 0.5),
                          percentile(r.connect_us, 0.99),
                          percentile(r.total_us, 0.5),
                          percentile(r.total_us, 0.99),
                          r.mib_per_second()};
            std::snprintf(line, sizeof line, "%-26s %9.0f %9.0f us %7.0f us %10.0f us %7.0f us %11.0f\n",
                          variant_names[v], figures[v][0], figures[v][1], figures[v][2], figures[v][3], figures[v][4],
                          figures[v][5]);
            out << line;
        }
        for (const variant_t v : {passed, checked}) {
            const auto ratio = [&](int i) { return figures[direct][i] > 0 ? figures[v][i] / figures[direct][i] : 0; };
            std::snprintf(line, sizeof line, "%-26s %9.2f %12.2f %10.2f %13.2f %10.2f %11.2f\n",
                          v == passed ? "ratio b/a" : "ratio c/a", ratio(0), ratio(1), ratio(2), ratio(3), ratio(4),
                          ratio(5));
            out << line;
        }
        out << "\nconn/s per round (spread of the machine's noise):\n";
        for (const variant_t v : {direct, passed, checked}) {
            const auto [low, high] = std::minmax_element(results_[v].round_rates.begin(), results_[v].round_rates.end());
            std::snprintf(line, sizeof line, "  %-26s %9.0f .. %.0f\n", variant_names[v], *low, *high);
            out << line;
        }
    }

private:
    echo_batch_t echo(variant_t v, int count)
    {
        const int serial = serial_++;
        return in_netns(hosts_.client, [&] { return parallel_echo_batch(echo_port(v), count, o_.clients, serial); });
    }

    double bulk(variant_t v)
    {
        return in_netns(hosts_.client, [&] { return bulk_transfer(bulk_port(v), o_.bulk_mib * 1024 * 1024); });
    }

    // Measured connections of the given variants, taking turns chunk by chunk
    // (ABBA order), then their bulk transfers the same way.
    void measure(const std::vector<variant_t>& variants)
    {
        std::vector<results_t> round(3);
        for (const auto v : variants)
            echo(v, o_.warmup);
        for (int done = 0, k = 0; done < o_.connections; done += o_.chunk, ++k) {
            const int count = std::min(o_.chunk, o_.connections - done);
            for (std::size_t i = 0; i < variants.size(); ++i) {
                const auto v = variants[k % 2 == 0 ? i : variants.size() - 1 - i];
                round[v].add(echo(v, count));
            }
        }
        for (const auto v : variants) {
            results_[v].merge(round[v]);
            results_[v].round_rates.push_back(round[v].rate());
        }
        for (int b = 0; b < o_.bulk_count; ++b)
            for (std::size_t i = 0; i < variants.size(); ++i) {
                const auto v = variants[b % 2 == 0 ? i : variants.size() - 1 - i];
                results_[v].bulk_seconds += bulk(v);
                results_[v].bulk_bytes += static_cast<double>(o_.bulk_mib * 1024 * 1024);
            }
    }

    void direct_phase() { measure({direct}); }

    void daemon_phase()
    {
        daemon_t daemon(hosts_, o_.work);
        measure({passed, checked});
        daemon.stop();
    }

    // A variant that measured the wrong path would make its figures lies: a
    // passed or direct connection comes from the client itself, a checked one
    // from the daemon on the firewall host.
    void verify_peers() const
    {
        for (const variant_t v : {direct, passed, checked})
            for (const int port : {echo_port(v), bulk_port(v)}) {
                if (port == bulk_port(v) && o_.bulk_count == 0)
                    continue;
                const auto p = server_.peers(port);
                const long right = v == checked ? p.firewall : p.client;
                const long wrong = v == checked ? p.client : p.firewall;
                if (wrong != 0 || p.other != 0 || p.failed != 0 || right == 0)
                    throw std::runtime_error(std::string(variant_names[v]) + ", port " + std::to_string(port)
                                             + ": the server saw " + std::to_string(p.client) + " connections from the client, "
                                             + std::to_string(p.firewall) + " from the firewall host, "
                                             + std::to_string(p.other) + " from elsewhere, "
                                             + std::to_string(p.failed) + " failed");
            }
    }

    options_t o_;
    topology_t hosts_;
    server_t server_;
    std::optional<peers_t> peers_;
    std::array<results_t, 3> results_;
    int serial_ = 0;
};

void on_signal(int) { interrupted = true; }

} // namespace

int main(int argc, char** argv)
{
    namespace po = boost::program_options;
    options_t o;
    po::options_description options("morva-bench options");
    options.add_options()("help,h", "this text")
        ("rounds", po::value(&o.rounds)->default_value(o.rounds), "rounds, each with and without the daemon")
        ("connections", po::value(&o.connections)->default_value(o.connections), "echo connections per variant and round")
        ("warmup", po::value(&o.warmup)->default_value(o.warmup), "uncounted connections per variant and phase")
        ("chunk", po::value(&o.chunk)->default_value(o.chunk), "connections per turn when variants alternate")
        ("bulk-mib", po::value(&o.bulk_mib)->default_value(o.bulk_mib), "MiB per bulk transfer")
        ("bulk-count", po::value(&o.bulk_count)->default_value(o.bulk_count), "bulk transfers per variant and round (0: none)")
        ("clients", po::value(&o.clients)->default_value(o.clients), "echo connections at the same time")
        ("kernel-ports", "let the kernel choose the client's ports (it may reuse one still in TIME_WAIT on the firewall host)")
        ("keep-time-wait", "leave the hosts' TIME_WAIT sockets uncapped (the kernel's default)")
        ("work", po::value(&o.work), "work directory (default: a new one in /tmp, removed at the end)");
    try {
        po::variables_map vm;
        po::store(po::parse_command_line(argc, argv, options), vm);
        po::notify(vm);
        kernel_ports = vm.count("kernel-ports") > 0;
        o.keep_time_wait = vm.count("keep-time-wait") > 0;
        if (vm.count("help")) {
            std::cout << options;
            return 0;
        }
        if (o.rounds < 1 || o.connections < 1 || o.warmup < 0 || o.chunk < 1 || o.clients < 1 || o.bulk_count < 0 || o.bulk_mib < 1)
            throw std::runtime_error("every count must be positive");
    } catch (const std::exception& e) {
        std::cerr << e.what() << '\n' << options;
        return 2;
    }

    struct sigaction sa{};
    sa.sa_handler = on_signal;
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    std::optional<boost::filesystem::path> own_work;
    if (o.work.empty()) {
        own_work = boost::filesystem::temp_directory_path() / boost::filesystem::unique_path("morva-bench-%%%%%%%%");
        boost::filesystem::create_directories(*own_work);
        o.work = own_work->string();
    }
    int status = 0;
    try {
        bench_t bench(o);
        bench.run();
        bench.print(std::cout);
    } catch (const std::exception& e) {
        std::cerr << "morva-bench: " << e.what() << std::endl;
        status = interrupted ? 130 : 1;
    }
    if (own_work)
        boost::filesystem::remove_all(*own_work);
    return status;
}
