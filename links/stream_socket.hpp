#pragma once
// An asynchronous byte stream behind a small interface, so links can be tested
// over a fake stream and the rest of the daemon sees no concrete socket type.
#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/system/error_code.hpp>

#include <cstddef>
#include <functional>
#include <list>
#include <utility>

namespace fw::util {

class stream_socket_t {
public:
    using handler_t = std::function<void(boost::system::error_code, std::size_t)>;
    // boost::asio::async_read needs these two names on a stream.
    using executor_type = boost::asio::any_io_executor;

    // Closes the socket; pending operations complete with an error.
    virtual ~stream_socket_t() = default;
    // One read of at most the buffer's size.
    virtual void async_read_some(boost::asio::mutable_buffer buffer, handler_t handler) = 0;
    // One gather write of the buffers in list order; may write less than the total.
    virtual void async_write_some(const std::list<boost::asio::const_buffer>& buffers, handler_t handler) = 0;
    // Throws boost::system::system_error ("close") on failure.
    virtual void close() = 0;
    virtual executor_type get_executor() = 0;
};

template <typename Socket>
class asio_stream_socket_wrapper_t final : public stream_socket_t {
public:
    explicit asio_stream_socket_wrapper_t(Socket socket) : socket_(std::move(socket)) {}

    void async_read_some(boost::asio::mutable_buffer buffer, handler_t handler) override
    {
        socket_.async_receive(buffer, std::move(handler));
    }

    // One sendmsg; Boost.Asio sends with MSG_NOSIGNAL, so a vanished peer is EPIPE, not SIGPIPE.
    void async_write_some(const std::list<boost::asio::const_buffer>& buffers, handler_t handler) override
    {
        socket_.async_send(buffers, std::move(handler));
    }

    void close() override { socket_.close(); }

    executor_type get_executor() override { return socket_.get_executor(); }

    Socket& socket() noexcept { return socket_; }

private:
    Socket socket_;
};

} // namespace fw::util
