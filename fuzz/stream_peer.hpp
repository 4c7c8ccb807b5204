#pragma once
// For the targets that read a peer's stream: one end of a socket pair as the
// link's socket, the input written by the other end, which then closes it.
#include "fuzz/fuzz.hpp"
#include "links/stream_socket.hpp"

#include <google/protobuf/stubs/logging.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>

#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>

namespace fuzz {

// A length-prefixed frame (native order, as the link reads it) carrying the message.
template <typename Message>
fuzz_bytes_t frame(const Message& message)
{
    const std::string body = message.SerializePartialAsString();
    return concat({raw(static_cast<std::uint32_t>(body.size())), text(body)});
}

class stream_peer_t {
public:
    explicit stream_peer_t(boost::asio::io_context& io)
    {
        // Bodies that fail to parse are expected; protobuf need not say so.
        static const bool quiet = (google::protobuf::SetLogHandler(nullptr), true);
        (void)quiet;
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
            std::abort();
        boost::asio::local::stream_protocol::socket socket(io);
        socket.assign(boost::asio::local::stream_protocol(), fds[0]);
        socket_ = std::make_unique<fw::util::asio_stream_socket_wrapper_t<boost::asio::local::stream_protocol::socket>>(
            std::move(socket));
        peer_ = fds[1];
    }
    stream_peer_t(const stream_peer_t&) = delete;
    stream_peer_t& operator=(const stream_peer_t&) = delete;
    ~stream_peer_t() { ::close(peer_); }

    // The link's end; taken once.
    std::unique_ptr<fw::util::stream_socket_t> take_socket() { return std::move(socket_); }

    void send_and_close(const std::uint8_t* data, std::size_t size)
    {
        if (size && ::send(peer_, data, size, MSG_NOSIGNAL) != static_cast<ssize_t>(size))
            std::abort(); // inputs stay far below the socket buffer
        ::shutdown(peer_, SHUT_WR);
    }

private:
    std::unique_ptr<fw::util::stream_socket_t> socket_;
    int peer_ = -1;
};

} // namespace fuzz
