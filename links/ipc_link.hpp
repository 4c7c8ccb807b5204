#pragma once
// Length-prefixed message link over a stream: each frame is a 4-byte length
// followed by one serialized message. Used for marend and quisad.
#include "common/callback_wrapper.hpp"

#include <cstddef>
#include <cstdint>
#include <exception>
#include <list>
#include <memory>

namespace fw::util {

class stream_socket_t;

// Byte order of the length prefix.
enum class endianness_t { native = 0, swapped = 1 };

template <endianness_t Endianness>
class basic_ipc_link_t : private kv::util::callback_wrapper_t {
public:
    // Largest body length accepted from the peer (64 MiB); sent lengths are not bounded.
    static constexpr std::uint32_t max_received_size = 64u * 1024 * 1024;
    static constexpr std::uint32_t initial_buffer_size = 4096;

    class delegate_t {
    public:
        // One complete body; the bytes are valid only during the call.
        virtual void on_message(void const* data, std::size_t size) = 0;
        // The link has failed and shut itself down; called once.
        virtual void on_error(std::exception_ptr error) = 0;

    protected:
        ~delegate_t() = default;
    };

    // Starts reading at once; nothing is delivered before the constructor returns.
    basic_ipc_link_t(delegate_t* delegate, std::unique_ptr<stream_socket_t> socket);
    basic_ipc_link_t(const basic_ipc_link_t&) = delete;
    basic_ipc_link_t& operator=(const basic_ipc_link_t&) = delete;
    // Drops unsent frames; completions still pending do nothing.
    ~basic_ipc_link_t();

    // Queues one frame with this body.
    void write(std::unique_ptr<std::uint8_t[]> data, std::size_t size);

    // Capacity of the receive buffer (0 once the link has failed).
    std::uint32_t receive_capacity() const noexcept { return capacity_; }

private:
    struct out_buffer_t {
        std::unique_ptr<std::uint8_t[]> data;
        std::size_t size = 0;
        std::size_t written = 0;
    };

    template <typename F>
    auto completion(const char* what, F next);
    void read_next();
    void on_header(std::size_t transferred);
    void on_body(std::uint32_t length);
    void write_next();
    void on_written(std::size_t transferred);
    void fail(std::exception_ptr error);

    delegate_t* delegate_;
    std::unique_ptr<stream_socket_t> socket_;
    std::list<out_buffer_t> writing_;
    std::list<out_buffer_t> pending_;
    std::unique_ptr<std::uint8_t[]> buffer_;
    std::uint32_t capacity_ = 0;
};

using ipc_link_t = basic_ipc_link_t<endianness_t::native>;

extern template class basic_ipc_link_t<endianness_t::native>;
extern template class basic_ipc_link_t<endianness_t::swapped>;

} // namespace fw::util
