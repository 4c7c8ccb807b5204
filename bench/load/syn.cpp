#include "bench/load/syn.hpp"

#include <netinet/ip.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstring>
#include <random>
#include <stdexcept>
#include <vector>

#include "bench/net.hpp"
#include "common/scoped_fd.hpp"

namespace bench {
namespace {

// Source ports go round above the ports the kernel hands out to the load
// generator's own connections, so a SYN never meets one of them.
constexpr unsigned first_port = 1024, port_count = 8976;

struct syn_packet_t {
    iphdr ip;
    tcphdr tcp;
    std::array<std::uint8_t, 4> mss;
};
static_assert(sizeof(syn_packet_t) == 44);

std::uint16_t checksum(const void* data, std::size_t size, std::uint32_t sum = 0)
{
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    for (std::size_t i = 0; i + 1 < size; i += 2)
        sum += static_cast<std::uint32_t>(bytes[i] << 8 | bytes[i + 1]);
    if (size % 2)
        sum += static_cast<std::uint32_t>(bytes[size - 1] << 8);
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return htons(static_cast<std::uint16_t>(~sum));
}

void fill(syn_packet_t& p, in_addr_t source, in_addr_t destination, int port, unsigned serial, std::uint32_t seq)
{
    std::memset(&p, 0, sizeof p);
    p.ip.version = 4;
    p.ip.ihl = 5;
    p.ip.tot_len = htons(sizeof p);
    p.ip.id = htons(static_cast<std::uint16_t>(serial));
    p.ip.ttl = 64;
    p.ip.protocol = IPPROTO_TCP;
    p.ip.saddr = source;
    p.ip.daddr = destination;
    p.ip.check = checksum(&p.ip, sizeof p.ip);
    p.tcp.source = htons(static_cast<std::uint16_t>(first_port + serial % port_count));
    p.tcp.dest = htons(static_cast<std::uint16_t>(port));
    p.tcp.seq = htonl(seq);
    p.tcp.doff = (sizeof p.tcp + sizeof p.mss) / 4;
    p.tcp.syn = 1;
    p.tcp.window = htons(64240);
    p.mss = {2, 4, 0x05, 0xb4};
    // The pseudo header: addresses, protocol, TCP length.
    struct {
        in_addr_t source, destination;
        std::uint8_t zero, protocol;
        std::uint16_t length;
    } __attribute__((packed)) pseudo{source, destination, 0, IPPROTO_TCP, htons(sizeof p.tcp + sizeof p.mss)};
    std::uint8_t buffer[sizeof pseudo + sizeof p.tcp + sizeof p.mss];
    std::memcpy(buffer, &pseudo, sizeof pseudo);
    std::memcpy(buffer + sizeof pseudo, &p.tcp, sizeof p.tcp + sizeof p.mss);
    p.tcp.check = checksum(buffer, sizeof buffer);
}

} // namespace

long send_syns(const std::string& source, const std::string& destination, int port, double seconds)
{
    fw::util::scoped_fd_t fd(::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW));
    if (!fd)
        throw std::runtime_error(errno_text("raw socket"));
    const auto from = ipv4(source.c_str(), 0);
    const auto to = ipv4(destination.c_str(), port);
    constexpr std::size_t batch = 64;
    std::vector<syn_packet_t> packets(batch);
    std::vector<iovec> iov(batch);
    std::vector<mmsghdr> messages(batch);
    std::mt19937 random(std::random_device{}());
    using steady = std::chrono::steady_clock;
    const auto end = steady::now() + std::chrono::duration_cast<steady::duration>(std::chrono::duration<double>(seconds));
    long sent = 0;
    unsigned serial = 0;
    while (steady::now() < end) {
        for (std::size_t i = 0; i < batch; ++i) {
            fill(packets[i], from.sin_addr.s_addr, to.sin_addr.s_addr, port, serial++, random());
            iov[i] = {&packets[i], sizeof packets[i]};
            messages[i] = {};
            messages[i].msg_hdr.msg_name = const_cast<sockaddr_in*>(&to);
            messages[i].msg_hdr.msg_namelen = sizeof to;
            messages[i].msg_hdr.msg_iov = &iov[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        const int n = ::sendmmsg(fd.get(), messages.data(), batch, 0);
        if (n < 0 && errno != ENOBUFS && errno != EINTR)
            throw std::runtime_error(errno_text("sendmmsg"));
        sent += n > 0 ? n : 0;
    }
    return sent;
}

} // namespace bench
