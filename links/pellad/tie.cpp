#include "links/pellad/tie.hpp"

#include <sys/socket.h>
#include <sys/uio.h>

#include <cerrno>
#include <cstring>
#include <string>

#include <boost/asio/buffer.hpp>
#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

#include "common/error.hpp"
#include "common/log.hpp"
#include "error.pb.h"
#include "pellad_client_ipc.pb.h"

namespace fw::pellad {

namespace {

constexpr char prefix[] = "Pellad tie: ";

// Two descriptors, client first: 16 bytes of header plus 8 of data on x86_64.
constexpr std::size_t fd_data_size = 2 * sizeof(int);
constexpr std::size_t control_space = CMSG_SPACE(fd_data_size);
static_assert(control_space == 24, "the control buffer is 24 bytes on x86_64");
static_assert(CMSG_LEN(fd_data_size) == 24, "cmsg_len is 24 bytes on x86_64");

std::string descriptors_text(const util::scoped_fd_t& client, const util::scoped_fd_t& server)
{
    return "(c=" + std::to_string(client.get()) + ", s=" + std::to_string(server.get()) + ")";
}

std::exception_ptr system_failure(const boost::system::error_code& ec, const std::string& what)
{
    return std::make_exception_ptr(boost::system::system_error(ec, prefix + what));
}

} // namespace

tie_t::tie_t(socket_t socket, const inspect_options_t& inspect, const scan_options_t& scan,
             bool block_unchecked)
    : socket_(std::move(socket)), inspect_(inspect), scan_(scan), block_unchecked_(block_unchecked)
{
    boost::system::error_code ec;
    socket_.non_blocking(true, ec);
    if (ec)
        throw boost::system::system_error(ec, std::string(prefix) + "cannot set non-blocking mode");
}

tie_t::~tie_t()
{
    frames_.clear();
    boost::system::error_code ignored;
    socket_.close(ignored);
}

void tie_t::start(delegate_t* delegate)
{
    delegate_ = delegate;
    socket_.async_receive(boost::asio::buffer(&receive_buffer_, 1), 0,
                          wrap([this](const boost::system::error_code& ec, std::size_t) {
                              on_receive(ec);
                          }));
}

void tie_t::send_connections(const kv::RuleSet& rules, util::scoped_fd_t server,
                             util::scoped_fd_t client)
{
    pd::ClientMessage message;
    message.set_tag(pd::ClientMessage::COMPLEMENTARY_CONNECTIONS);
    *message.mutable_rule_set() = rules;
    message.set_scan_timeout(scan_.scan_timeout);
    message.set_heuristic_analysis(scan_.heuristic_analysis);
    message.set_packer_max_level(scan_.packer_max_level);
    message.set_archive_max_level(scan_.archive_max_level);
    message.set_mail_max_level(scan_.mail_max_level);
    message.set_container_max_level(scan_.container_max_level);
    message.set_max_compression_ratio(scan_.max_compression_ratio);
    message.set_block_unchecked(block_unchecked_);
    message.set_inspect_http(inspect_.inspect_http);
    message.set_inspect_pop3(inspect_.inspect_pop3);
    message.set_inspect_imap(inspect_.inspect_imap);
    message.set_inspect_smtp(inspect_.inspect_smtp);
    message.set_inspect_ftp(inspect_.inspect_ftp);

    // Serialized once, in place behind its length prefix; every send goes from here.
    const std::size_t length = message.ByteSizeLong();
    frame_t frame;
    frame.size = length + 4;
    frame.data = std::make_unique<unsigned char[]>(frame.size);
    const auto prefix_value = static_cast<std::uint32_t>(length);
    std::memcpy(frame.data.get(), &prefix_value, 4);
    message.SerializeWithCachedSizesToArray(frame.data.get() + 4);
    frame.server = std::move(server);
    frame.client = std::move(client);
    frames_.push_back(std::move(frame));

    cf_log_lazy(log_debug, [&] {
        return std::string(prefix) + "queued sending of COMPLEMENTARY_CONNECTIONS " +
            descriptors_text(frames_.back().client, frames_.back().server);
    });

    if (frames_.size() == 1)
        send_next();
}

void tie_t::send_next()
{
    for (;;) {
        if (frames_.empty()) {
            delegate_->on_drained();
            return;
        }
        frame_t& frame = frames_.front();

        iovec io{};
        io.iov_base = frame.data.get() + frame.sent;
        io.iov_len = frame.size - frame.sent;
        msghdr header{};
        header.msg_iov = &io;
        header.msg_iovlen = 1;
        alignas(cmsghdr) unsigned char control[control_space];
        if (frame.descriptors_attached) {
            std::memset(control, 0, sizeof control);
            header.msg_control = control;
            header.msg_controllen = sizeof control;
            cmsghdr* c = CMSG_FIRSTHDR(&header);
            c->cmsg_level = SOL_SOCKET;
            c->cmsg_type = SCM_RIGHTS;
            c->cmsg_len = CMSG_LEN(fd_data_size);
            const int fds[2] = {frame.client.get(), frame.server.get()};
            std::memcpy(CMSG_DATA(c), fds, sizeof fds);
        }

        ssize_t n;
        do
            n = ::sendmsg(socket_.native_handle(), &header, MSG_NOSIGNAL);
        while (n < 0 && errno == EINTR);

        if (n < 0) {
            const int error = errno;
            if (error == EAGAIN || error == EWOULDBLOCK) {
                cf_log_lazy(log_debug, [&] { return std::string(prefix) + "sending would block"; });
                socket_.async_wait(socket_t::wait_write,
                                   wrap([this](const boost::system::error_code&) { on_writable(); }));
                return;
            }
            fail(system_failure(boost::system::error_code(error, boost::system::system_category()),
                                "sendmsg failed"));
            return;
        }

        cf_log_lazy(log_debug, [&] {
            return std::string(prefix) + "sent " + std::to_string(n) + " bytes" +
                (frame.descriptors_attached
                     ? " + descriptors " + descriptors_text(frame.client, frame.server)
                     : std::string());
        });
        frame.sent += static_cast<std::size_t>(n);
        if (frame.descriptors_attached) {
            // The kernel holds its own references now; they travel with the bytes just accepted.
            frame.client.reset();
            frame.server.reset();
            frame.descriptors_attached = false;
        }
        if (frame.sent == frame.size)
            frames_.pop_front();
    }
}

void tie_t::on_writable()
{
    // The wait's result does not matter: a real failure shows in the next sendmsg.
    cf_log_lazy(log_debug, [&] { return std::string(prefix) + "sending would not block"; });
    send_next();
}

void tie_t::on_receive(const boost::system::error_code& ec)
{
    cf_log_lazy(log_debug, [&] { return std::string(prefix) + ec.message(); });
    if (ec == boost::asio::error::operation_aborted)
        return;
    if (!ec) {
        fail(system_failure(kv::make_error_code(kv::EC_PROTOCOL_VIOLATION), ""));
        return;
    }
    if (ec == boost::asio::error::eof) {
        if (frames_.empty()) {
            delegate_->on_closed();
            return;
        }
        fail(system_failure(kv::make_error_code(kv::EC_UNEXPECTED_EOF), ""));
        return;
    }
    fail(system_failure(ec, ""));
}

void tie_t::fail(std::exception_ptr error)
{
    // Nothing started before the failure may run afterwards: a writability wait
    // completing now would otherwise call on_drained on a forgotten delegate.
    disarm();
    if (socket_.is_open())
        socket_.close();
    frames_.clear();
    delegate_t* delegate = std::exchange(delegate_, nullptr);
    if (!delegate)
        std::rethrow_exception(error);
    delegate->on_error(error);
}

} // namespace fw::pellad
