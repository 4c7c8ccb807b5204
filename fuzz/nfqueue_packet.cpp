// An NFQUEUE packet message as the interceptor receives it from its link. The
// delegate reads both headers and the options whole, as the daemon does; the
// verdicts go to the other end of a socket pair and are thrown away.
#include "fuzz/fuzz.hpp"
#include "common/log.hpp"
#include "linux/nfqueue/message_types.hpp"
#include "linux/nfqueue/packet_interceptor.hpp"
#include "net/ip_options.hpp"
#include "net/ipv4_header.hpp"
#include "net/tcp_header.hpp"

#include <boost/asio/io_context.hpp>

#include <linux/netfilter/nfnetlink_queue.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>

namespace nfq = fw::linux::nfqueue;

namespace {

struct harness_t : nfq::packet_interceptor_t::delegate_t {
    boost::asio::io_context io;
    int peer = -1;
    std::unique_ptr<nfq::packet_interceptor_t> interceptor;
    std::uint8_t sink = 0;

    harness_t()
    {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds) != 0)
            std::abort();
        peer = fds[1];
        auto link = std::make_unique<fw::linux::netlink::async::link_t>(io, fw::util::scoped_fd_t(fds[0]));
        interceptor = std::make_unique<nfq::packet_interceptor_t>(std::move(link), 0, 4);
        interceptor->start(this);
        cf_log_threshold = 100;
    }

    void packet_intercepted(const fw::net::ipv4_header_t& ip, const fw::net::tcp_header_t& tcp,
                            const nfq::packet_interceptor_t::packet_attribs_t& attribs,
                            std::weak_ptr<nfq::packet_interceptor_t::packet_entry_t> entry) override
    {
        for (unsigned i = 0; i < ip.header_length(); ++i)
            sink ^= ip.data()[i];
        for (unsigned i = 0; i < tcp.header_length(); ++i)
            sink ^= tcp.data()[i];
        if (tcp.data() != ip.data() + ip.header_length())
            std::abort();
        (void)fw::net::find_security_option(ip.options(), ip.header_length() - fw::net::ipv4_header_t::min_size);
        if (attribs.hw_address && attribs.hw_address->size() > 23)
            std::abort();
        if (sink & 1)
            interceptor->accept(entry); // the others age out past the pending bound
    }

    // Sends the queued verdicts and discards them at the far end.
    void flush()
    {
        io.poll();
        io.restart();
        std::uint8_t buffer[4096];
        while (::recv(peer, buffer, sizeof buffer, 0) > 0) {
        }
    }
};

} // namespace

std::vector<fuzz_bytes_t> fuzz_seeds()
{
    using namespace fuzz;
    fuzz_bytes_t packet(60, 0);
    packet[0] = 0x46; // one option word: a security option
    packet[20] = 130;
    packet[21] = 4;
    packet[24 + 12] = 0x80; // a 32-byte TCP header
    fuzz_bytes_t hw(12, 0);
    hw[1] = 6;
    hw[4] = 0xaa;
    return {
        concat({fuzz_bytes_t{2, 0, 0, 0}, attr(NFQA_PACKET_HDR, fuzz_bytes_t{0, 0, 0, 1, 8, 0, 3}),
                attr(NFQA_MARK, be32(5)), attr(NFQA_HWADDR, hw), attr(NFQA_UID, be32(1000)),
                attr(NFQA_TIMESTAMP, fuzz_bytes_t(16, 1)), attr(NFQA_PAYLOAD, packet)}),
    };
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static harness_t harness;
    harness.interceptor->on_message(nfq::packet_type, data, size);
    harness.flush();
    return 0;
}
