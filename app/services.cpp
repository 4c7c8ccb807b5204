#include "app/services.hpp"

#include <boost/asio/io_context.hpp>

#include "common/nofile_limit.hpp"
#include "fw/service/appinfo_reporter.hpp"
#include "fw/divert/connection_diverter.hpp"
#include "fw/divert/connection_rejector.hpp"
#include "fw/steering/iptables.hpp"
#include "fw/service/logger.hpp"
#include "fw/service/lua_service.hpp"
#include "fw/divert/marking_retransmitter.hpp"
#include "fw/service/marks.hpp"
#include "fw/steering/nftables.hpp"
#include "fw/divert/packet_validator.hpp"
#include "fw/divert/pellad_tie_manager.hpp"
#include "fw/service/process_finder.hpp"
#include "fw/service/quisad.hpp"
#include "fw/steering/routing.hpp"
#include "fw/divert/server_connector.hpp"
#include "fw/divert/server_socket_pool.hpp"
#include "fw/divert/transparent_acceptor.hpp"

namespace fw::service {

std::uint32_t connection_limit(std::uint32_t nofile_soft_limit)
{
    return static_cast<std::uint32_t>(static_cast<double>(nofile_soft_limit) * 0.4);
}

service_list_t make_services(boost::asio::io_context& io, const kv::LinuxFirewallConfig& config,
                             marend::tie_t& marend, const unsigned* revision)
{
    const std::uint32_t nofile = nofile_limit();

    // Construction order: each service after those it is built with. Should a
    // constructor throw, these locals unwind last built first.
    auto logger = std::make_unique<logger_t>(config);                                   // 1
    auto marks = std::make_unique<marks_t>(config);                                    // 2
    auto rejector = std::make_unique<connection_rejector_t>(io, *marks);               // 3
    auto retransmitter = std::make_unique<marking_retransmitter_t>(io, *marks);        // 4
    const std::uint32_t limit = connection_limit(nofile);
    // A pair waiting for pellad holds two descriptors: the same share as the pool's.
    auto pellad_tie_manager = std::make_unique<pellad_tie_manager_t>(io, config, marend, limit / 2); // 5
    auto pool = std::make_unique<server_socket_pool_t>(io, *pellad_tie_manager, limit); // 6
    auto acceptor = std::make_unique<transparent_acceptor_t>(io, *pool, config, *marks); // 7
    auto validator = std::make_unique<packet_validator_t>(*marks, *acceptor);           // 8
    auto connector = std::make_unique<server_connector_t>(io, config, *marks, limit);  // 9
    auto process_finder = std::make_unique<process_finder_t>(io);                      // 10
    auto quisad = std::make_unique<quisad_t>(io, marend);                              // 11
    auto lua = std::make_unique<lua_t>(io, config, *process_finder, quisad->quisad_client()); // 12
    auto diverter = std::make_unique<connection_diverter_t>(io, *pool, config, *connector, *marks, *rejector,
                                                            *retransmitter, *validator, *lua);         // 13
    auto iptables = std::make_unique<iptables_t>(config, *marks, *acceptor, *diverter);  // 14
    auto nftables = std::make_unique<nftables_t>(io, config, *marks, *acceptor, *diverter); // 15
    auto routing = std::make_unique<routing_t>(config, *marks);                        // 16
    auto appinfo_reporter = std::make_unique<appinfo_reporter_t>(marend, revision);    // 17

    // List order: the order in which every configuration is applied. Later
    // services read state that earlier ones set during the same apply.
    service_list_t services;
    services.push_back(std::move(logger));           // 1  logger
    services.push_back(std::move(quisad));           // 2  quisad service
    services.push_back(std::move(process_finder));   // 3  process finder
    services.push_back(std::move(marks));            // 4  marks
    services.push_back(std::move(rejector));         // 5  connection rejector
    services.push_back(std::move(retransmitter));    // 6  marking retransmitter
    services.push_back(std::move(acceptor));         // 7  transparent acceptor
    services.push_back(std::move(pool));             // 8  server socket pool
    services.push_back(std::move(pellad_tie_manager)); // 9 pellad tie manager
    services.push_back(std::move(validator));        // 10 packet validator
    services.push_back(std::move(connector));        // 11 server connector
    services.push_back(std::move(lua));              // 12 Lua service
    services.push_back(std::move(diverter));         // 13 connection diverter
    services.push_back(std::move(nftables));         // 14 nftables
    services.push_back(std::move(iptables));         // 15 iptables
    services.push_back(std::move(routing));          // 16 routing
    services.push_back(std::move(appinfo_reporter)); // 17 appinfo reporter
    return services;
}

void configure_services(service_list_t& services)
{
    for (auto& service : services)
        service->configure();
}

void destroy_services(service_list_t& services)
{
    for (auto it = services.rbegin(); it != services.rend(); ++it)
        it->reset();
}

} // namespace fw::service
