#include "fw/service/connection_diverter.hpp"

#include <ostream>

namespace fw::service {

const std::string& divert_chain_name(int divert_kind)
{
    static const std::string names[divert_count + 1] = {"OUTPUT", "INPUT", "FORWARD", ""};
    if (divert_kind < 0 || divert_kind >= divert_count)
        return names[divert_count];
    return names[divert_kind];
}

std::ostream& operator<<(std::ostream& out, divert_name_t name)
{
    return out << divert_chain_name(name.divert_kind);
}

class connection_diverter_t::divert_entry_t {};
struct connection_diverter_t::connects_t {};

connection_diverter_t::connection_diverter_t(boost::asio::io_context& io, delegate_t& pool,
                                             const kv::LinuxFirewallConfig& config, server_connector_t& connector,
                                             marks_t& marks, connection_rejector_t& rejector,
                                             marking_retransmitter_t& retransmitter, packet_validator_t& validator,
                                             lua_t& lua, session_factory_t sessions)
    : io_(io), pool_(pool), config_(config), connector_(connector), marks_(marks), rejector_(rejector),
      retransmitter_(retransmitter), validator_(validator), lua_(lua), sessions_(std::move(sessions)),
      connects_(std::make_unique<connects_t>())
{
}

connection_diverter_t::~connection_diverter_t() = default;

void connection_diverter_t::configure() {}

std::optional<std::uint16_t> connection_diverter_t::nfqueue_number(int) const { return std::nullopt; }

void connection_diverter_t::stop_divert(int, const char*) {}

} // namespace fw::service
