#include "fw/service/local_addresses.hpp"

#include "common/errno_error.hpp"
#include "common/log.hpp"
#include "linux/netlink/address_message.hpp"
#include "linux/netlink/kernel_address.hpp"
#include "linux/netlink/message.hpp"
#include "linux/netlink/reply.hpp"
#include "linux/netlink/socket.hpp"

#include <boost/system/system_error.hpp>

#include <cerrno>
#include <cstring>
#include <vector>

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

namespace fw::service {

namespace {

using fw::util::throw_errno;

void log_failure(const std::exception& e)
{
    cf_log_lazy(log_info, [&] { return std::string("Local addresses: ") + e.what(); });
}

} // namespace

local_addresses_t::local_addresses_t() : fd_(fw::linux::netlink::open_netlink_socket(NETLINK_ROUTE))
{
    buffer_ = fw::linux::netlink::make_receive_buffer(fd_.get());
    sockaddr_nl self{};
    self.nl_family = AF_NETLINK;
    self.nl_groups = RTMGRP_IPV4_IFADDR;
    if (::bind(fd_.get(), reinterpret_cast<const sockaddr*>(&self), sizeof self) != 0)
        throw_errno("NETLINK bind");
    socklen_t len = sizeof self;
    if (::getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&self), &len) != 0)
        throw_errno("NETLINK getsockname");
    port_id_ = self.nl_pid;
    refresh();
}

bool local_addresses_t::contains(const boost::asio::ip::address_v4& address) const noexcept
{
    return !known_ || table_.contains(address);
}

void local_addresses_t::refresh() noexcept
{
    try {
        for (int taken = 0; known_ && taken < refresh_datagrams; ++taken) {
            const std::optional<std::size_t> size = receive(false);
            if (!size)
                return;
            dispatch(*size);
        }
    } catch (const boost::system::system_error& e) {
        // ENOBUFS: changes were lost; reading everything again makes up for them.
        if (e.code() != boost::system::errc::no_buffer_space)
            log_failure(e);
        known_ = false;
    } catch (const std::exception& e) {
        log_failure(e);
        known_ = false;
    }
    if (known_)
        return;
    try {
        read_all();
    } catch (const std::exception& e) {
        log_failure(e);
    }
}

void local_addresses_t::read_all()
{
    // Changes heard before or during the dump are applied in the order they
    // came: each one states where an address is, so the last word wins.
    for (int attempt = 0; attempt < reading_attempts; ++attempt) {
        table_.clear();
        interrupted_ = false;
        send_dump_request();
        bool lost = false;
        for (bool done = false; !done;) {
            std::optional<std::size_t> size;
            try {
                size = receive(true);
            } catch (const boost::system::system_error& e) {
                if (e.code() != boost::system::errc::no_buffer_space)
                    throw;
                lost = true;
                continue;
            }
            done = dispatch(*size);
        }
        if (!lost && !interrupted_) {
            known_ = true;
            return;
        }
    }
    throw std::runtime_error("addresses changed faster than they could be read");
}

void local_addresses_t::send_dump_request()
{
    const std::vector<std::uint8_t> payload = fw::linux::rtnetlink::address::message_t(AF_INET).serialize();
    const nlmsghdr header = fw::linux::netlink::message_header(RTM_GETADDR, payload.size(), ++sequence_,
                                                               NLM_F_REQUEST | NLM_F_DUMP);
    std::vector<std::uint8_t> datagram(sizeof header + payload.size());
    std::memcpy(datagram.data(), &header, sizeof header);
    std::memcpy(datagram.data() + sizeof header, payload.data(), payload.size());
    const sockaddr_nl& kernel = fw::linux::netlink::kernel_address();
    ssize_t sent;
    do
        sent = ::sendto(fd_.get(), datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&kernel),
                        sizeof kernel);
    while (sent < 0 && errno == EINTR);
    if (sent < 0)
        throw_errno("NETLINK sendto");
    if (static_cast<std::size_t>(sent) != datagram.size())
        throw fw::linux::netlink::incomplete_send_t();
}

std::optional<std::size_t> local_addresses_t::receive(bool wait)
{
    ssize_t n;
    do
        n = ::recv(fd_.get(), buffer_.data.get(), buffer_.size, wait ? 0 : MSG_DONTWAIT);
    while (n < 0 && errno == EINTR);
    if (n < 0) {
        if (!wait && (errno == EAGAIN || errno == EWOULDBLOCK))
            return std::nullopt;
        throw_errno("NETLINK recv");
    }
    return static_cast<std::size_t>(n);
}

bool local_addresses_t::dispatch(std::size_t size)
{
    bool done = false;
    const std::uint8_t* data = buffer_.data.get();
    for (std::size_t at = 0; size - at >= NLMSG_HDRLEN;) {
        const nlmsghdr header = fw::linux::netlink::read_header(data + at);
        if (header.nlmsg_len < NLMSG_HDRLEN || header.nlmsg_len > size - at)
            throw fw::linux::netlink::truncated_reply_t();
        // Notifications carry the port id and sequence number of whoever made
        // the change; only the dump's own messages carry ours.
        const bool ours = header.nlmsg_pid == port_id_ && header.nlmsg_seq == sequence_;
        if (header.nlmsg_type == NLMSG_DONE) {
            done = done || ours;
        } else if (header.nlmsg_type == NLMSG_ERROR) {
            if (ours)
                fw::linux::netlink::check_error(data + at, size - at);
        } else {
            if (ours && (header.nlmsg_flags & NLM_F_DUMP_INTR))
                interrupted_ = true;
            try {
                table_.apply(header.nlmsg_type, data + at + NLMSG_HDRLEN, header.nlmsg_len - NLMSG_HDRLEN);
            } catch (const std::exception& e) {
                log_failure(e);
            }
        }
        at += fw::linux::netlink::align4(header.nlmsg_len);
        if (at >= size)
            break;
    }
    return done;
}

} // namespace fw::service
