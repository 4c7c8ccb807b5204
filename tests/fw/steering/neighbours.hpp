#pragma once
// Shared by the kernel tests of the steering services: the neighbours they
// read (marks, rejector, retransmitter, acceptor, pool, validator, connector,
// diverter), built over one configuration and configured in list order, as
// the daemon has them.
#include <cstddef>
#include <initializer_list>
#include <memory>

#include <boost/asio/io_context.hpp>

#include "fw/divert/connection_diverter.hpp"
#include "fw/divert/connection_rejector.hpp"
#include "fw/divert/marking_retransmitter.hpp"
#include "fw/service/marks.hpp"
#include "fw/divert/packet_validator.hpp"
#include "fw/divert/server_connector.hpp"
#include "fw/divert/server_socket_pool.hpp"
#include "fw/service/service.hpp"
#include "fw/divert/transparent_acceptor.hpp"
#include "linux_firewall_config.pb.h"

namespace morva_test {

// Iptables automatic; the marks 0x1 local delivery, 0x2 client packets, 0x4
// server packets, 0x8 output, 0x10 input and 0x20 forward divert; the
// transparent listener on 127.0.0.1:8080. No divert runs.
inline void set_steering_config(kv::LinuxFirewallConfig& config)
{
    config.set_autoconfigure_iptables(true);
    config.mutable_local_delivery_mark()->set_manual(0x1);
    config.mutable_client_packets_mark()->set_manual(0x2);
    config.mutable_server_packets_mark()->set_manual(0x4);
    config.mutable_output_divert_mark()->set_manual(0x8);
    config.mutable_input_divert_mark()->set_manual(0x10);
    config.mutable_forward_divert_mark()->set_manual(0x20);
    config.mutable_tproxy_listen_address()->set_address("127.0.0.1");
    config.mutable_tproxy_listen_address()->set_port(8080);
}

class neighbours_t {
    // Declared first: the pool holds it to its end.
    struct no_pellad_t : fw::service::server_socket_pool_t::delegate_t {
        void new_socket_pair(fw::service::connected_socket_t&&, fw::service::connected_socket_t&&,
                             const kv::RuleSet&) override
        {
        }
    };
    no_pellad_t pellad_;

    // The Lua service is never reached: the diverter is given its own sessions.
    static fw::service::lua_t& lua_stand_in()
    {
        alignas(std::max_align_t) static unsigned char storage[16];
        return *reinterpret_cast<fw::service::lua_t*>(storage);
    }

public:
    // No connection reaches the pool or a hook session: the pool hands no pair
    // anywhere and the diverter starts no session.
    neighbours_t(boost::asio::io_context& io, const kv::LinuxFirewallConfig& config)
    {
        using namespace fw::service;
        marks = std::make_unique<marks_t>(config, [](const mark_filter_t&) { return 0u; });
        rejector = std::make_unique<connection_rejector_t>(io, *marks);
        retransmitter = std::make_unique<marking_retransmitter_t>(io, *marks);
        pool = std::make_unique<server_socket_pool_t>(io, pellad_, 100);
        acceptor = std::make_unique<transparent_acceptor_t>(io, *pool, config, *marks);
        validator = std::make_unique<packet_validator_t>(*marks, *acceptor);
        connector = std::make_unique<server_connector_t>(io, config, *marks, 100);
        diverter = std::make_unique<connection_diverter_t>(
            io, *pool, config, *connector, *marks, *rejector, *retransmitter, *validator, lua_stand_in(),
            [](const auto&, const auto&, auto) { return std::shared_ptr<void>(); });
    }

    // Every neighbour in list order, then `steering`, as the daemon applies a
    // configuration.
    void configure(fw::util::service_t& steering)
    {
        for (fw::util::service_t* service : std::initializer_list<fw::util::service_t*>{
                 marks.get(), rejector.get(), retransmitter.get(), acceptor.get(), pool.get(), validator.get(),
                 connector.get(), diverter.get(), &steering})
            service->configure();
    }

    std::unique_ptr<fw::service::marks_t> marks;
    std::unique_ptr<fw::service::connection_rejector_t> rejector;
    std::unique_ptr<fw::service::marking_retransmitter_t> retransmitter;
    std::unique_ptr<fw::service::server_socket_pool_t> pool;
    std::unique_ptr<fw::service::transparent_acceptor_t> acceptor;
    std::unique_ptr<fw::service::packet_validator_t> validator;
    std::unique_ptr<fw::service::server_connector_t> connector;
    std::unique_ptr<fw::service::connection_diverter_t> diverter;
};

} // namespace morva_test
