#include "fw/divert/connection_diverter.hpp"

#include <algorithm>
#include <cerrno>
#include <limits>
#include <ostream>
#include <stdexcept>

#include <boost/system/system_error.hpp>

#include "common/error.hpp"
#include "common/log.hpp"
#include "fw/divert/divert_entry.hpp"
#include "fw/divert/divert_session.hpp"
#include "linux/netlink/async_link.hpp"
#include "linux/nfqueue/nfqueue_config.hpp"

namespace fw::service {

namespace {

const std::string prefix = "Connection diverter: ";

constexpr std::uint32_t kernel_queue_length = 1024;
constexpr std::uint32_t auto_queue_numbers = 100;

bool is_manual(const kv::NfqueueNumber& number)
{
    return number.num_case() == kv::NfqueueNumber::kManual;
}

// Tries the queue numbers 0 to 99 in turn; a number bound elsewhere is refused with EPERM.
util::scoped_fd_t open_free_queue(std::uint32_t& number)
{
    for (std::uint32_t n = 0; n < auto_queue_numbers; ++n) {
        try {
            auto fd = linux::nfqueue::open_queue(static_cast<std::uint16_t>(n), kernel_queue_length);
            number = n;
            return fd;
        } catch (const boost::system::system_error& e) {
            if (e.code() != boost::system::errc::operation_not_permitted)
                throw boost::system::system_error(e.code(), "Cannot connect to nfqueue");
        }
    }
    throw std::runtime_error("Cannot detect free nfqueue number");
}

} // namespace

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

std::vector<divert_config_t> make_divert_configs(const kv::LinuxFirewallConfig& config)
{
    std::vector<divert_config_t> configs(divert_count);
    configs[output_divert] = {output_divert, config.output_divert_enable(), kv::D_OUTPUT,
                              config.output_divert_nfqueue_number(), config.output_divert_connect_transparently()};
    configs[input_divert] = {input_divert, config.input_divert_enable(), kv::D_INPUT,
                             config.input_divert_nfqueue_number(), config.input_divert_connect_transparently()};
    configs[forward_divert] = {forward_divert, config.forward_divert_enable(), kv::D_FORWARD,
                               config.forward_divert_nfqueue_number(),
                               config.forward_divert_connect_transparently()};
    return configs;
}

bool divert_config_less(const divert_config_t& a, const divert_config_t& b)
{
    if (!is_manual(a.number))
        return false;
    if (!is_manual(b.number))
        return true;
    return a.number.manual() < b.number.manual();
}

connection_diverter_t::connection_diverter_t(boost::asio::io_context& io, delegate_t& pool,
                                             const kv::LinuxFirewallConfig& config, server_connector_t& connector,
                                             marks_t& marks, connection_rejector_t& rejector,
                                             marking_retransmitter_t& retransmitter, packet_validator_t& validator,
                                             lua_t& lua, session_factory_t sessions)
    : io_(io), pool_(pool), config_(config), connector_(connector), marks_(marks), rejector_(rejector),
      retransmitter_(retransmitter), validator_(validator), lua_(lua),
      sessions_(sessions ? std::move(sessions) : lua_sessions(lua)),
      connects_(std::make_unique<connects_t>())
{
}

connection_diverter_t::~connection_diverter_t()
{
    for (int kind = 0; kind < divert_count; ++kind)
        if (entries_[kind])
            stop_divert(kind, "interceptor ");
    for (auto& connect : connects_->map)
        connector_.cancel(connect.second);
}

void connection_diverter_t::stop_divert(int divert_kind, const char* what)
{
    entries_[divert_kind].reset();
    cf_log_lazy(log_debug, [&] { return prefix + what + divert_chain_name(divert_kind) + ": stopped"; });
}

// Whether a running entry must let its queue go before any divert binds a
// new one: its divert is switched off, wants another number, or searches for
// one (automatic, or nothing selected) while another divert asks for the
// number it holds by hand, as a first start would have given it.
bool connection_diverter_t::leaves_queue(const divert_config_t& record,
                                         const std::vector<divert_config_t>& configs) const
{
    const auto& entry = entries_[record.divert_kind];
    if (!record.enable)
        return true;
    if (is_manual(record.number))
        return entry->queue() != record.number.manual();
    if (record.number.num_case() != kv::NfqueueNumber::kAuto && entry->queue() != 0)
        return true;
    return std::any_of(configs.begin(), configs.end(), [&](const divert_config_t& other) {
        return other.divert_kind != record.divert_kind && other.enable && is_manual(other.number)
            && other.number.manual() == entry->queue();
    });
}

void connection_diverter_t::configure()
{
    auto configs = make_divert_configs(config_);
    std::stable_sort(configs.begin(), configs.end(), divert_config_less);

    // Every queue that is let go is unbound before any is bound, so that a
    // number moving from one divert to another is free when its new divert
    // asks for it.
    for (const auto& record : configs)
        if (entries_[record.divert_kind] && leaves_queue(record, configs))
            stop_divert(record.divert_kind, "divert ");

    for (auto& record : configs) {
        const std::string& name = divert_chain_name(record.divert_kind);
        auto& slot = entries_[record.divert_kind];
        if (!record.enable)
            continue;

        if (record.number.num_case() == kv::NfqueueNumber::kAuto && !config_.autoconfigure_iptables())
            throw std::runtime_error("Manual iptables configuration requested along with automatic NFQUEUE number for "
                                     + name + " divert");

        if (slot) {
            slot->set_options(record.connect_transparently, config_.process_ip_security_option());
            continue;
        }
        start_divert(record);
    }
}

void connection_diverter_t::start_divert(divert_config_t& record)
{
    const std::string& name = divert_chain_name(record.divert_kind);
    std::uint32_t number = is_manual(record.number) ? record.number.manual() : 0;
    try {
        util::scoped_fd_t fd;
        if (is_manual(record.number)) {
            // A number the kernel cannot address must not quietly become another queue.
            if (number > std::numeric_limits<std::uint16_t>::max())
                throw std::runtime_error("NFQUEUE numbers range from 0 to 65535");
            fd = linux::nfqueue::open_queue(static_cast<std::uint16_t>(number), kernel_queue_length);
        } else {
            fd = open_free_queue(number);
            record.number.set_manual(number);
        }
        auto link = std::make_unique<linux::netlink::async::link_t>(io_, std::move(fd));
        cf_log_lazy(log_debug, [&] {
            return prefix + "connected to nfqueue " + std::to_string(number) + " for divert " + name;
        });
        auto interceptor = std::make_unique<linux::nfqueue::packet_interceptor_t>(
            std::move(link), static_cast<std::uint16_t>(number),
            linux::nfqueue::packet_interceptor_t::default_pending_limit);
        auto entry = std::make_unique<divert_entry_t>(*this, record.divert_kind, std::move(interceptor),
                                                      record.connect_transparently,
                                                      config_.process_ip_security_option());
        entry->start();
        entries_[record.divert_kind] = std::move(entry);
        cf_log_lazy(log_debug, [&] { return prefix + "divert " + name + ": started"; });
    } catch (const std::runtime_error& e) {
        throw std::runtime_error("Cannot connect to nfqueue " + std::to_string(number) + " for divert " + name + ": "
                                 + describe_exception(e));
    }
}

std::optional<std::uint16_t> connection_diverter_t::nfqueue_number(int divert_kind) const
{
    if (divert_kind < 0 || divert_kind >= divert_count || !entries_[divert_kind])
        return std::nullopt;
    return entries_[divert_kind]->queue();
}

} // namespace fw::service
