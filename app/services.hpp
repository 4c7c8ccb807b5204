#pragma once
// The composition root: builds every service with the references it needs and
// keeps them in the order in which each configuration is applied.
#include <cstdint>
#include <list>
#include <memory>

#include "fw/service/service.hpp"

namespace boost::asio {
class io_context;
}
namespace kv {
class LinuxFirewallConfig;
}
namespace fw::marend {
class tie_t;
}

namespace fw::service {

// Front to back: configure order; back to front: destruction order.
using service_list_t = std::list<std::unique_ptr<util::service_t>>;

// Built once, before the first configuration. If a constructor throws, the
// services built so far are destroyed, last built first, and the exception leaves.
service_list_t make_services(boost::asio::io_context& io, const kv::LinuxFirewallConfig& config,
                             marend::tie_t& marend, const unsigned* revision);

// Configures every service front to back; the first exception stops the walk.
void configure_services(service_list_t& services);

// Destroys the services back to front; the list keeps its emptied entries.
void destroy_services(service_list_t& services);

// Connections the pool and the connector may hold: two fifths of the soft
// open-file limit.
std::uint32_t connection_limit(std::uint32_t nofile_soft_limit);

} // namespace fw::service
