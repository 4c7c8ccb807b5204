#include "net/raw_sender.hpp"

#include <cerrno>
#include <utility>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/buffer.hpp>
#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

#include "common/errno_error.hpp"
#include "common/log_hook.hpp"
#include "common/rate_limit.hpp"
#include "net/ipv4_header.hpp"
#include "net/tcp_header.hpp"

namespace fw::net {

namespace {

using raw_protocol_t = boost::asio::generic::raw_protocol;

} // namespace

raw_sender_t::raw_sender_t(boost::asio::io_context& io) : socket_(io)
{
    // Close-on-exec: the daemon runs child programs (modprobe) that must not inherit it.
    const int fd = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW);
    if (fd < 0)
        util::throw_errno("Raw sender: cannot open raw socket");
    boost::system::error_code ec;
    socket_.assign(raw_protocol_t(AF_INET, IPPROTO_RAW), fd, ec);
    if (ec) {
        ::close(fd);
        throw boost::system::system_error(ec, "Raw sender: cannot open raw socket");
    }
}

raw_sender_t::~raw_sender_t()
{
    queue_.clear();
    boost::system::error_code ignored;
    socket_.close(ignored);
    disarm();
}

void raw_sender_t::send(std::uint32_t destination, std::unique_ptr<std::uint8_t[]> datagram, std::size_t length)
{
    queue_.push_back({destination, std::move(datagram), length});
    if (queue_.size() == 1)
        send_head();
}

void raw_sender_t::set_socket_mark(std::uint32_t mark, const std::string& what)
{
    if (::setsockopt(socket_.native_handle(), SOL_SOCKET, SO_MARK, &mark, sizeof mark) != 0)
        util::throw_errno(what.c_str());
}

void raw_sender_t::send_head()
{
    const packet_t& head = queue_.front();
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = 0;
    address.sin_addr.s_addr = head.destination;
    const raw_protocol_t::endpoint endpoint(&address, sizeof address, IPPROTO_RAW);
    socket_.async_send_to(boost::asio::buffer(head.datagram.get(), head.length), endpoint,
                          wrap([this](const boost::system::error_code& ec, std::size_t) { on_sent(ec); }));
}

void raw_sender_t::on_sent(const boost::system::error_code& ec)
{
    if (ec == boost::asio::error::operation_aborted)
        return;
    if (ec) {
        const packet_t& head = queue_.front();
        // EPERM: a netfilter rule dropped the locally sent datagram.
        if (ec == boost::system::errc::operation_not_permitted) {
            kv::util::log_lazy(log_debug, [&] {
                return "Raw sender: packet dropped by kernel: " + packet_summary(head.datagram.get(), head.length);
            });
        } else if (kv::util::log_enabled(log_warning) && rate_limit_claim()) {
            // Any other error concerns this datagram alone (a reset to a forged,
            // unroutable source): it is lost, the queue goes on.
            kv::util::log(log_warning, "Raw sender: sendto failed: " + ec.message() + "; dropping "
                                           + packet_summary(head.datagram.get(), head.length));
        }
    }
    queue_.pop_front();
    if (!queue_.empty())
        send_head();
}

std::string packet_summary(const std::uint8_t* datagram, std::size_t length)
{
    if (length < ipv4_header_t::min_size)
        return "invalid packet, " + std::to_string(length) + " bytes";
    const auto& ip = ipv4_header_t::at(datagram);
    const std::size_t h = ip.header_length();
    if (h < length && length - h >= tcp_header_t::min_size) {
        static constexpr std::pair<std::uint16_t, const char*> names[] = {
            {tcp_header_t::fin, "FIN"}, {tcp_header_t::syn, "SYN"}, {tcp_header_t::rst, "RST"},
            {tcp_header_t::psh, "PSH"}, {tcp_header_t::ack, "ACK"}};
        const auto& tcp = tcp_header_t::after(ip);
        std::string flags;
        for (const auto& [bit, name] : names) {
            if (tcp.flags() & bit)
                flags += (flags.empty() ? "" : ",") + std::string(name);
        }
        return "TCP " + flags + (flags.empty() ? "" : " ") + describe_endpoints(ip, tcp);
    }
    const std::size_t payload = h < length ? length - h : 0;
    return "IP " + ip.source_address().to_string() + " -> " + ip.destination_address().to_string() + ", "
           + std::to_string(payload) + " bytes payload";
}

} // namespace fw::net
