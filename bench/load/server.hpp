#pragma once
// The server host's side: echo ports (read the request, answer it, close
// first) and hold ports (answer the request, stay open until the client
// closes), each served by every thread through SO_REUSEPORT. It counts who
// connected, so an arm that measured the wrong path is caught.
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace bench {

class server_t {
public:
    server_t(int threads, const std::vector<int>& echo_ports, const std::vector<int>& hold_ports);
    ~server_t();
    server_t(const server_t&) = delete;
    server_t& operator=(const server_t&) = delete;

    // "port:client:firewall:other:failed" per port, space-separated.
    std::string counts() const;

private:
    struct port_t {
        int port;
        bool hold;
        std::atomic<long> client{0}, firewall{0}, other{0}, failed{0};
    };
    void serve(int wake_fd);

    std::vector<std::unique_ptr<port_t>> ports_;
    std::vector<int> wake_fds_;
    std::vector<std::thread> threads_;
};

} // namespace bench
