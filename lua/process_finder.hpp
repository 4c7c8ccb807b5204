#pragma once
// How the connection context asks for the process that owns a connection's
// local socket, without knowing the service that answers.
#include <boost/asio/ip/tcp.hpp>

#include <exception>
#include <functional>

namespace fw::lua::intercept {

class process_finder_t {
public:
    using callback_t = std::function<void(std::exception_ptr, int)>;

    virtual ~process_finder_t() = default;
    // The callback runs exactly once, later, on the event-loop thread, with
    // (null, pid) or (exception, 0); never inside this call.
    virtual void get_pid(const boost::asio::ip::tcp::endpoint& src, const boost::asio::ip::tcp::endpoint& dst,
                         callback_t callback) = 0;
};

} // namespace fw::lua::intercept
