#pragma once
// Sends complete IPv4 datagrams (header included) through one raw socket of
// the event loop, one at a time and in the order they were handed over.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include <boost/asio/basic_raw_socket.hpp>
#include <boost/asio/generic/raw_protocol.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/system/error_code.hpp>

#include "common/callback_wrapper.hpp"

namespace fw::net {

class raw_sender_t : public kv::util::callback_wrapper_t {
public:
    // Opens socket(AF_INET, SOCK_RAW, IPPROTO_RAW); throws boost::system::system_error
    // "Raw sender: cannot open raw socket".
    explicit raw_sender_t(boost::asio::io_context& io);
    raw_sender_t(const raw_sender_t&) = delete;
    raw_sender_t& operator=(const raw_sender_t&) = delete;
    // Discards the queue and closes the socket; a send in flight completes as a no-op.
    ~raw_sender_t();

    // Queues one datagram for `destination` (network byte order); the queue has no limit.
    // A datagram the kernel refuses is lost (EPERM at Debug, any other error a
    // rate-limited Warning); the next one is sent all the same.
    void send(std::uint32_t destination, std::unique_ptr<std::uint8_t[]> datagram, std::size_t length);

protected:
    // Sets SO_MARK of the raw socket; throws boost::system::system_error with `what`.
    void set_socket_mark(std::uint32_t mark, const std::string& what);

private:
    struct packet_t {
        std::uint32_t destination; // network byte order
        std::unique_ptr<std::uint8_t[]> datagram;
        std::size_t length;
    };

    void send_head();
    void on_sent(const boost::system::error_code& ec);

    boost::asio::basic_raw_socket<boost::asio::generic::raw_protocol> socket_;
    std::deque<packet_t> queue_;
};

// One-line description of a datagram for the log: "TCP SYN,ACK a:p -> b:q",
// "IP a -> b, n bytes payload" or "invalid packet, n bytes".
std::string packet_summary(const std::uint8_t* datagram, std::size_t length);

} // namespace fw::net
