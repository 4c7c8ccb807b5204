#pragma once
// One end of a socketpair as a stream of the event loop; the test keeps the other end.
#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>

#include <memory>
#include <stdexcept>
#include <sys/socket.h>

#include "links/stream_socket.hpp"

namespace morva_test {

inline std::unique_ptr<fw::util::stream_socket_t> stream_pair(boost::asio::io_context& io, int& peer)
{
    using boost::asio::local::stream_protocol;
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        throw std::runtime_error("socketpair");
    peer = fds[1];
    stream_protocol::socket s(io);
    s.assign(stream_protocol(), fds[0]);
    return std::make_unique<fw::util::asio_stream_socket_wrapper_t<stream_protocol::socket>>(std::move(s));
}

} // namespace morva_test
