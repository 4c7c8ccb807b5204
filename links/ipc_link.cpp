#include "links/ipc_link.hpp"

#include "links/stream_socket.hpp"

#include <boost/asio/post.hpp>
#include <boost/asio/read.hpp>
#include <boost/endian/conversion.hpp>
#include <boost/system/system_error.hpp>

#include <cstring>
#include <stdexcept>

namespace fw::util {

namespace {

template <endianness_t E>
std::uint32_t convert(std::uint32_t value)
{
    if constexpr (E == endianness_t::swapped)
        return boost::endian::endian_reverse(value);
    else
        return value;
}

} // namespace

// A guarded completion: an error fails the link with `what`, success goes on to `next`.
template <endianness_t E>
template <typename F>
auto basic_ipc_link_t<E>::completion(const char* what, F next)
{
    return wrap([this, what, next](boost::system::error_code ec, std::size_t n) {
        if (ec)
            return fail(std::make_exception_ptr(boost::system::system_error(ec, what)));
        next(n);
    });
}

template <endianness_t E>
basic_ipc_link_t<E>::basic_ipc_link_t(delegate_t* delegate, std::unique_ptr<stream_socket_t> socket)
    : delegate_(delegate), socket_(std::move(socket)),
      buffer_(new std::uint8_t[initial_buffer_size]), capacity_(initial_buffer_size)
{
    read_next();
}

template <endianness_t E>
basic_ipc_link_t<E>::~basic_ipc_link_t()
{
    buffer_.reset();
    pending_.clear();
    writing_.clear();
    socket_.reset();
    // The base then sets the flag, so completions of the closed socket do nothing.
}

template <endianness_t E>
void basic_ipc_link_t<E>::read_next()
{
    boost::asio::async_read(*socket_, boost::asio::buffer(buffer_.get(), sizeof(std::uint32_t)),
                            completion("read failed", [this](std::size_t n) { on_header(n); }));
}

template <endianness_t E>
void basic_ipc_link_t<E>::on_header(std::size_t)
{
    std::uint32_t length;
    std::memcpy(&length, buffer_.get(), sizeof length);
    length = convert<E>(length);
    if (length == 0 || length > max_received_size)
        return fail(std::make_exception_ptr(std::runtime_error("invalid message size received")));
    if (length > capacity_) {
        // The old contents are not needed: the body is read from the start.
        buffer_.reset();
        buffer_.reset(new std::uint8_t[length]);
        capacity_ = length;
    }
    boost::asio::async_read(*socket_, boost::asio::buffer(buffer_.get(), length),
                            completion("read failed", [this, length](std::size_t) { on_body(length); }));
}

template <endianness_t E>
void basic_ipc_link_t<E>::on_body(std::uint32_t length)
{
    // The next read starts on a later turn, after on_message has returned, so
    // the body stays intact during the call; the delegate may destroy us in it.
    boost::asio::post(socket_->get_executor(), wrap([this] { read_next(); }));
    delegate_->on_message(buffer_.get(), length);
}

template <endianness_t E>
void basic_ipc_link_t<E>::write(std::unique_ptr<std::uint8_t[]> data, std::size_t size)
{
    if (!socket_)
        return; // dead link: nothing can be sent any more
    auto prefix = std::make_unique<std::uint8_t[]>(sizeof(std::uint32_t));
    std::uint32_t length = convert<E>(static_cast<std::uint32_t>(size));
    std::memcpy(prefix.get(), &length, sizeof length);
    pending_.push_back({std::move(prefix), sizeof length, 0});
    pending_.push_back({std::move(data), size, 0});
    if (writing_.empty())
        write_next();
}

template <endianness_t E>
void basic_ipc_link_t<E>::write_next()
{
    writing_.splice(writing_.end(), pending_);
    std::list<boost::asio::const_buffer> buffers;
    for (auto& b : writing_)
        buffers.emplace_back(b.data.get() + b.written, b.size - b.written);
    socket_->async_write_some(buffers, completion("write failed", [this](std::size_t n) { on_written(n); }));
}

template <endianness_t E>
void basic_ipc_link_t<E>::on_written(std::size_t transferred)
{
    while (!writing_.empty()) {
        auto& front = writing_.front();
        std::size_t unsent = front.size - front.written;
        if (transferred < unsent) {
            front.written += transferred;
            break;
        }
        transferred -= unsent;
        writing_.pop_front();
    }
    // What is left resumes ahead of frames queued meanwhile.
    pending_.splice(pending_.begin(), writing_);
    if (!pending_.empty())
        write_next();
}

template <endianness_t E>
void basic_ipc_link_t<E>::fail(std::exception_ptr error)
{
    socket_.reset();
    writing_.clear();
    pending_.clear();
    buffer_.reset();
    capacity_ = 0;
    disarm();
    // Nothing of the link is touched after this: the delegate may destroy it.
    delegate_->on_error(std::move(error));
}

template class basic_ipc_link_t<endianness_t::native>;
template class basic_ipc_link_t<endianness_t::swapped>;

} // namespace fw::util
