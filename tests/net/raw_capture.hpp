#pragma once
// Witness for netns tests: a raw IPv4 socket of one protocol that receives a
// copy of every packet of that protocol delivered in the namespace, IPv4
// header included.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <vector>

namespace morva_test {

class raw_capture_t {
public:
    explicit raw_capture_t(int protocol) : fd_(::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, protocol))
    {
        if (fd_ < 0)
            throw std::runtime_error("raw capture socket");
    }
    raw_capture_t(const raw_capture_t&) = delete;
    raw_capture_t& operator=(const raw_capture_t&) = delete;
    ~raw_capture_t() { ::close(fd_); }

    // The next packet, or nothing when none arrives within `timeout_ms`.
    std::optional<std::vector<std::uint8_t>> next(int timeout_ms = 1000)
    {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, timeout_ms) != 1)
            return std::nullopt;
        std::vector<std::uint8_t> packet(65536);
        const ssize_t n = ::recv(fd_, packet.data(), packet.size(), 0);
        if (n < 0)
            return std::nullopt;
        packet.resize(static_cast<std::size_t>(n));
        return packet;
    }

    // The next packet for which `match` holds; others are skipped.
    std::optional<std::vector<std::uint8_t>> next_matching(
        const std::function<bool(const std::vector<std::uint8_t>&)>& match, int timeout_ms = 2000)
    {
        while (auto packet = next(timeout_ms)) {
            if (match(*packet))
                return packet;
        }
        return std::nullopt;
    }

private:
    int fd_;
};

} // namespace morva_test
