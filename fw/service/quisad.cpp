#include "fw/service/quisad.hpp"

#include <utility>

#include <boost/asio/local/stream_protocol.hpp>
#include <boost/system/system_error.hpp>

#include "common/close_on_exec.hpp"
#include "links/marend_tie.hpp"
#include "links/stream_socket.hpp"

namespace fw::service {

quisad_t::quisad_t(boost::asio::io_context& io, marend::tie_t& marend)
    : io_(io), marend_(marend), client_(io, *this)
{
}

quisad_t::~quisad_t()
{
    // Dropped uncalled: nobody waits for it once the service is gone.
    pending_ = nullptr;
}

void quisad_t::get_link(fw::quisad::quisad_t::link_callback_t callback)
{
    pending_ = std::move(callback);
    // Not guarded: the marend tie and its callbacks are destroyed right after the
    // services, with no turn of the event loop in between.
    marend_.request_quisad_path(
        [this](boost::system::error_code ec, std::string path) { connect_link(ec, path); });
}

void quisad_t::connect_link(const boost::system::error_code& ec, const std::string& path)
{
    // Emptied first, so the client may ask again from inside its callback.
    auto callback = std::exchange(pending_, nullptr);
    if (ec) {
        callback(std::make_exception_ptr(
                     boost::system::system_error(ec, "Cannot get quisad socket path")),
                 nullptr);
        return;
    }
    // A path too long for the address throws here and fails the marend tie.
    const boost::asio::local::stream_protocol::endpoint endpoint(path);
    boost::asio::local::stream_protocol::socket socket(io_);
    boost::system::error_code e;
    socket.open(boost::asio::local::stream_protocol(), e);
    if (!e) {
        // Programs a hook starts must not inherit the link.
        util::set_close_on_exec(socket.native_handle());
        socket.connect(endpoint, e);
    }
    if (e) {
        boost::system::error_code ignored;
        socket.close(ignored);
        callback(std::make_exception_ptr(boost::system::system_error(e, "Cannot connect to " + path)),
                 nullptr);
        return;
    }
    callback(nullptr, std::make_unique<util::asio_stream_socket_wrapper_t<
                          boost::asio::local::stream_protocol::socket>>(std::move(socket)));
}

} // namespace fw::service
