#pragma once
// The quisad service: owns the quisad client and gives it connected sockets,
// asking marend for the socket path each time a link is needed.
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/system/error_code.hpp>

#include "fw/service/service.hpp"
#include "links/quisad/quisad.hpp"

namespace fw::marend {
class tie_t;
}

namespace fw::service {

class quisad_t : public util::service_t, public fw::quisad::quisad_t::link_provider_t {
public:
    quisad_t(boost::asio::io_context& io, marend::tie_t& marend);
    ~quisad_t() override;

    fw::quisad::quisad_t& quisad_client() noexcept { return client_; }

    void get_link(fw::quisad::quisad_t::link_callback_t callback) override;

private:
    void connect_link(const boost::system::error_code& ec, const std::string& path);

    boost::asio::io_context& io_;
    marend::tie_t& marend_;
    fw::quisad::quisad_t client_;
    fw::quisad::quisad_t::link_callback_t pending_;
};

} // namespace fw::service
