// Stand-in for pellad: listens on a UNIX socket for the daemon's pellad link,
// receives each frame with its two descriptors (paired with frames in arrival
// order), prints the frame's settings and rule set variables, and relays bytes
// both ways between the client's and the server's socket, passing each end of
// stream on as a half-close. It never writes on the link.
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <deque>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/write.hpp>

#include "common/scoped_fd.hpp"
#include "pellad_client_ipc.pb.h"
#include "tools/pellad-standin/serve.hpp"

namespace {

using boost::asio::local::stream_protocol;
using boost::asio::posix::stream_descriptor;

// The lines in one write: every write wakes the reader of the output, which
// costs the relayed connections time on a busy host.
void say(const std::vector<std::string>& lines)
{
    std::string text;
    for (const auto& line : lines)
        text += "pellad-standin: " + line + "\n";
    std::cout << text << std::flush;
}

void say(const std::string& line) { say(std::vector<std::string>{line}); }

// Copies one direction until end of stream, then half-closes the other side.
class pipe_t : public std::enable_shared_from_this<pipe_t> {
public:
    pipe_t(std::shared_ptr<stream_descriptor> from, std::shared_ptr<stream_descriptor> to, std::string name)
        : from_(std::move(from)), to_(std::move(to)), name_(std::move(name))
    {
    }

    void start() { read(); }

private:
    void read()
    {
        from_->async_read_some(boost::asio::buffer(buffer_),
                               [self = shared_from_this()](boost::system::error_code ec, std::size_t n) {
                                   self->on_read(ec, n);
                               });
    }

    void on_read(boost::system::error_code ec, std::size_t n)
    {
        if (ec) {
            // The peer hears of the end first; the report can wait.
            ::shutdown(to_->native_handle(), SHUT_WR);
            std::vector<std::string> lines;
            if (ec != boost::asio::error::eof)
                lines.push_back(name_ + ": " + ec.message());
            lines.push_back(name_ + ": end of stream");
            say(lines);
            return;
        }
        boost::asio::async_write(*to_, boost::asio::buffer(buffer_.data(), n),
                                 [self = shared_from_this()](boost::system::error_code ec, std::size_t) {
                                     if (ec) {
                                         ::shutdown(self->from_->native_handle(), SHUT_RD);
                                         say(self->name_ + ": " + ec.message());
                                         return;
                                     }
                                     self->read();
                                 });
    }

    std::shared_ptr<stream_descriptor> from_;
    std::shared_ptr<stream_descriptor> to_;
    std::string name_;
    std::array<char, 16384> buffer_{};
};

void relay(boost::asio::io_context& io, fw::util::scoped_fd_t client, fw::util::scoped_fd_t server,
           const std::string& name)
{
    // Both pipes share the two descriptors; they close once both directions are done.
    auto c = std::make_shared<stream_descriptor>(io, client.release());
    auto s = std::make_shared<stream_descriptor>(io, server.release());
    std::make_shared<pipe_t>(c, s, name + " client->server")->start();
    std::make_shared<pipe_t>(s, c, name + " server->client")->start();
}

std::string describe(const pd::ClientMessage& m)
{
    std::string text = "scan_timeout=" + std::to_string(m.scan_timeout()) +
                       " heuristic_analysis=" + std::to_string(m.heuristic_analysis()) +
                       " packer_max_level=" + std::to_string(m.packer_max_level()) +
                       " archive_max_level=" + std::to_string(m.archive_max_level()) +
                       " mail_max_level=" + std::to_string(m.mail_max_level()) +
                       " container_max_level=" + std::to_string(m.container_max_level()) +
                       " max_compression_ratio=" + std::to_string(m.max_compression_ratio()) +
                       " block_unchecked=" + std::to_string(m.block_unchecked()) +
                       " inspect=" + std::to_string(m.inspect_http()) + std::to_string(m.inspect_pop3()) +
                       std::to_string(m.inspect_imap()) + std::to_string(m.inspect_smtp()) +
                       std::to_string(m.inspect_ftp()) +
                       " rules=" + std::to_string(m.rule_set().rule_size());
    return text;
}

// One pellad link from the daemon: a byte stream of frames whose descriptors
// arrive with each frame's first bytes.
class link_t : public std::enable_shared_from_this<link_t> {
public:
    link_t(boost::asio::io_context& io, stream_protocol::socket socket, int number)
        : io_(io), socket_(std::move(socket)), number_(number)
    {
    }

    void start() { wait(); }

private:
    void wait()
    {
        socket_.async_wait(stream_protocol::socket::wait_read,
                           [self = shared_from_this()](boost::system::error_code ec) {
                               if (ec)
                                   return say(self->name() + ": " + ec.message());
                               if (self->receive())
                                   self->wait();
                           });
    }

    // Returns false once the link is over.
    bool receive()
    {
        std::array<unsigned char, 65536> buffer;
        iovec io{buffer.data(), buffer.size()};
        // Room for several batches; the kernel gives at most one per read on a stream.
        alignas(cmsghdr) unsigned char control[CMSG_SPACE(16 * sizeof(int))];
        msghdr header{};
        header.msg_iov = &io;
        header.msg_iovlen = 1;
        header.msg_control = control;
        header.msg_controllen = sizeof control;
        const ssize_t n = ::recvmsg(socket_.native_handle(), &header, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR)
                return true;
            say(name() + ": recvmsg: " + std::strerror(errno));
            return false;
        }
        for (cmsghdr* c = CMSG_FIRSTHDR(&header); c; c = CMSG_NXTHDR(&header, c)) {
            if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS)
                continue;
            const std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (std::size_t i = 0; i < count; ++i) {
                int fd;
                std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
                descriptors_.emplace_back(fd);
            }
        }
        if (header.msg_flags & MSG_CTRUNC)
            say(name() + ": descriptors lost (control data truncated)");
        if (n == 0) {
            say(name() + ": closed by the daemon" +
                (stream_.empty() ? std::string() : " inside a frame"));
            return false;
        }
        stream_.insert(stream_.end(), buffer.begin(), buffer.begin() + n);
        return frames();
    }

    bool frames()
    {
        std::size_t offset = 0;
        bool ok = true;
        while (ok && stream_.size() - offset >= 4) {
            std::uint32_t length;
            std::memcpy(&length, stream_.data() + offset, 4);
            if (stream_.size() - offset - 4 < length)
                break;
            ok = frame(stream_.data() + offset + 4, length);
            offset += 4 + length;
        }
        stream_.erase(stream_.begin(), stream_.begin() + static_cast<std::ptrdiff_t>(offset));
        return ok;
    }

    bool frame(const unsigned char* data, std::uint32_t length)
    {
        ++frames_;
        const std::string label = name() + " frame " + std::to_string(frames_);
        pd::ClientMessage message;
        if (!message.ParseFromArray(data, static_cast<int>(length))) {
            say(label + ": unparsable pd.ClientMessage");
            return false;
        }
        if (descriptors_.size() < 2) {
            say(label + ": arrived without its two descriptors");
            return false;
        }
        fw::util::scoped_fd_t client = std::move(descriptors_.front());
        descriptors_.pop_front();
        fw::util::scoped_fd_t server = std::move(descriptors_.front());
        descriptors_.pop_front();
        // The relay first, the report after: the client's first bytes are
        // usually waiting already, and their forwarding is queued before it.
        relay(io_, std::move(client), std::move(server), label);
        boost::asio::post(io_, [label, message = std::move(message)] {
            std::vector<std::string> lines{label + ": " + pd::ClientMessage::ClientMessageTag_Name(message.tag())
                                           + " " + describe(message)};
            for (const auto& variable : message.rule_set().variable())
                lines.push_back(label + ": variable " + variable.ShortDebugString());
            say(lines);
        });
        return true;
    }

    std::string name() const { return "link " + std::to_string(number_); }

    boost::asio::io_context& io_;
    stream_protocol::socket socket_;
    int number_;
    std::vector<unsigned char> stream_;
    std::deque<fw::util::scoped_fd_t> descriptors_;
    int frames_ = 0;
};

} // namespace

int main(int argc, char** argv)
{
    int status = 0;
    const auto vm = standin::parse_command_line(
        argc, argv, "pellad-standin", {{"socket", "UNIX socket path to listen on (replaced if it exists)"}}, status);
    if (!vm)
        return status;
    const std::string path = (*vm)["socket"].as<std::string>();
    return standin::serve("pellad-standin", path,
                          [&](boost::asio::io_context& io) {
        return std::make_unique<standin::listener_t>(io, path, "pellad-standin",
                                                     [&io](stream_protocol::socket socket, int number) {
                                                         std::make_shared<link_t>(io, std::move(socket), number)->start();
                                                     });
    });
}
