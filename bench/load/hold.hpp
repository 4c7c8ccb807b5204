#pragma once
// What a load process keeps open on request, so that the daemon meets a
// busy machine: plain descriptors, or TCP sockets (connected pairs on the
// loopback of the process's own namespace).
#include <vector>

namespace bench {

class held_t {
public:
    held_t() = default;
    ~held_t() { close_all(); }
    held_t(const held_t&) = delete;
    held_t& operator=(const held_t&) = delete;

    // Replaces what is held by `count` descriptors of /dev/null.
    void descriptors(long count);
    // Replaces what is held by `count` TCP sockets (count / 2 connections
    // on the loopback to `port`).
    void sockets(long count, int port);
    // Takes over descriptors opened elsewhere.
    void adopt(const std::vector<int>& fds);
    void close_all();
    long size() const { return static_cast<long>(fds_.size()); }

private:
    std::vector<int> fds_;
};

} // namespace bench
