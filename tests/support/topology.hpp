#pragma once
// Hosts for end-to-end tests: three named network namespaces joined by veth
// pairs, and programs started inside them.
//
//   client 10.200.1.2 --- 10.200.1.1 firewall 10.200.2.1 --- 10.200.2.2 server
//
// The names carry the pid and a counter, so programs running in parallel do
// not meet; the namespaces (and with them the veths) are removed by the
// destructor, also when a test fails. The machine's own namespace is never
// changed: the veths are created inside the namespaces.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/collector.hpp"
#include "tests/support/netns.hpp"
#include "tests/support/spawn.hpp"

namespace morva_test {

class topology_t {
public:
    static constexpr const char* client_address = "10.200.1.2";
    static constexpr const char* firewall_client_side = "10.200.1.1";
    static constexpr const char* firewall_server_side = "10.200.2.1";
    static constexpr const char* server_address = "10.200.2.2";

    topology_t()
        : client(name("client")), firewall(name("fw")), server(name("server"))
    {
        try {
            for (const auto& ns : {client, firewall, server}) {
                sh("ip netns add " + ns);
                sh("ip -n " + ns + " link set lo up");
            }
            sh("ip -n " + client + " link add eth0 type veth peer name to-client netns " + firewall);
            sh("ip -n " + server + " link add eth0 type veth peer name to-server netns " + firewall);
            sh("ip -n " + client + " addr add " + client_address + "/24 dev eth0");
            sh("ip -n " + firewall + " addr add " + firewall_client_side + "/24 dev to-client");
            sh("ip -n " + firewall + " addr add " + firewall_server_side + "/24 dev to-server");
            sh("ip -n " + server + " addr add " + server_address + "/24 dev eth0");
            sh("ip -n " + client + " link set eth0 up");
            sh("ip -n " + firewall + " link set to-client up");
            sh("ip -n " + firewall + " link set to-server up");
            sh("ip -n " + server + " link set eth0 up");
            sh("ip -n " + client + " route add default via " + firewall_client_side);
            sh("ip -n " + server + " route add default via " + firewall_server_side);
            sh("ip netns exec " + firewall + " sysctl -q -w net.ipv4.ip_forward=1");
        } catch (...) {
            remove();
            throw;
        }
    }
    ~topology_t() { remove(); }
    topology_t(const topology_t&) = delete;
    topology_t& operator=(const topology_t&) = delete;

    // A shell command run inside a namespace; its standard output.
    static std::string sh_in(const std::string& ns, const std::string& command, bool check = true)
    {
        return sh("ip netns exec " + ns + " sh -c '" + command + "' 2>&1", check);
    }

    const std::string client;
    const std::string firewall;
    const std::string server;

private:
    static std::string name(const std::string& host)
    {
        static std::atomic<int> counter{0};
        return "morva-" + host + "-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    }

    void remove() const
    {
        for (const auto& ns : {client, firewall, server})
            sh_status("ip netns del " + ns);
    }
};

// A program running inside a named namespace, its standard output and error
// collected together. The destructor kills it when it still runs.
class ns_process_t {
public:
    ns_process_t(const std::string& ns, const std::vector<std::string>& argv)
    {
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0)
            throw std::runtime_error("ns_process_t: cannot make a pipe");
        pid_ = spawn_in_netns(ns, argv, {.in = -1, .out = out[1], .err = out[1]});
        ::close(out[1]);
        output_.emplace(out[0]);
    }
    ~ns_process_t()
    {
        if (!status_) {
            ::kill(pid_, SIGKILL);
            wait();
        }
    }
    ns_process_t(const ns_process_t&) = delete;
    ns_process_t& operator=(const ns_process_t&) = delete;

    void signal(int sig) const
    {
        if (!status_)
            ::kill(pid_, sig);
    }

    // Exit status (128 + signal when killed), or nothing when it still runs
    // after the timeout. The default is a limit for a sanitizer build on a
    // machine running many tests beside it, not the expected time.
    std::optional<int> wait(std::chrono::milliseconds timeout = std::chrono::seconds(60))
    {
        using namespace std::chrono_literals;
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (!status_) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                output_->join();
            } else if (std::chrono::steady_clock::now() > end) {
                return std::nullopt;
            } else {
                std::this_thread::sleep_for(5ms);
            }
        }
        return status_;
    }

    std::string output() { return output_->text(); }
    bool wait_for(const std::string& needle, std::chrono::milliseconds timeout = std::chrono::seconds(60))
    {
        return output_->wait_for(needle, timeout);
    }
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
    std::optional<collector_t> output_;
};

} // namespace morva_test
