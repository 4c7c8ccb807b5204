#pragma once
// Owns the link to pellad: learns its socket path from marend, connects, keeps
// the link's scan settings in step with the configuration, and queues joined
// socket pairs until a link exists to take them.
#include <exception>
#include <list>
#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/system/error_code.hpp>

#include "fw/divert/server_socket_pool.hpp"
#include "fw/service/service.hpp"
#include "common/callback_wrapper.hpp"
#include "links/pellad/tie.hpp"

namespace kv {
class LinuxFirewallConfig;
class RuleSet;
} // namespace kv

namespace fw::marend {
class tie_t;
}

namespace fw::service {

class pellad_tie_manager_t : public util::service_t,
                             public server_socket_pool_t::delegate_t,
                             public pellad::tie_t::delegate_t,
                             private kv::util::callback_wrapper_t {
public:
    // Pairs held for pellad at most, in the manager's queue and the link's together.
    static constexpr unsigned default_pair_limit = 512;

    pellad_tie_manager_t(boost::asio::io_context& io, const kv::LinuxFirewallConfig& config,
                         marend::tie_t& marend, unsigned pair_limit = default_pair_limit);
    ~pellad_tie_manager_t() override;

    // With a link: passes it the current settings. Without one: obtains one.
    void configure() override;

    // Queues the pair for pellad; with pair_limit pairs already held (a pellad that
    // stopped reading), resets both connections instead, with a rate-limited Warning.
    void new_socket_pair(connected_socket_t&& server, connected_socket_t&& client,
                         const kv::RuleSet& rules) override;

    void on_drained() override;
    void on_closed() override;
    void on_error(std::exception_ptr error) override;

private:
    struct socket_pair_t;

    void obtain_pellad();
    void on_path(const boost::system::error_code& ec, const std::string& path);
    void on_connected(const boost::system::error_code& ec, const std::string& path);
    void flush();
    // Resets both connections of every queued pair.
    void drop_queue();

    const kv::LinuxFirewallConfig& config_;
    marend::tie_t& marend_;
    boost::asio::local::stream_protocol::socket socket_;
    std::unique_ptr<pellad::tie_t> tie_;
    std::list<socket_pair_t> queue_;
    bool obtaining_ = false;
    unsigned pair_limit_;
};

} // namespace fw::service
