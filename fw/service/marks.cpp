#include "fw/service/marks.hpp"

#include <algorithm>
#include <bit>
#include <iterator>
#include <stdexcept>
#include <utility>
#include <vector>

#include <boost/system/system_error.hpp>

#include "common/log.hpp"
#include "linux/iptables/extensions.hpp"
#include "linux/iptables/table.hpp"
#include "linux/netlink/routing_message.hpp"
#include "linux/netlink/socket.hpp"
#include "linux/netlink/sync_link.hpp"
#include "linux/nftables/transaction.hpp"
#include "linux_firewall_config.pb.h"

namespace fw::service {

namespace {

bool accept_every_rule(std::uint32_t, std::uint32_t) { return true; }

enum class choice_t { unset, automatic, manual };

struct request_t {
    std::uint32_t* mark;
    choice_t choice;
    std::uint32_t value;
};

struct field_t {
    const char* name;
    choice_t choice;
    std::uint32_t value;
    bool none; // a divert mark that selects no mark at all
};

field_t fixed_field(const char* name, const kv::FwMark& mark)
{
    switch (mark.mark_case()) {
    case kv::FwMark::kAuto: return {name, choice_t::automatic, 0, false};
    case kv::FwMark::kManual: return {name, choice_t::manual, mark.manual(), false};
    default: return {name, choice_t::unset, 0, false};
    }
}

field_t divert_field(const char* name, const kv::FwMarkOptional& mark)
{
    switch (mark.mark_case()) {
    case kv::FwMarkOptional::kAuto: return {name, choice_t::automatic, 0, false};
    case kv::FwMarkOptional::kManual: return {name, choice_t::manual, mark.manual(), false};
    case kv::FwMarkOptional::kNone: return {name, choice_t::unset, 0, true};
    default: return {name, choice_t::unset, 0, false};
    }
}

} // namespace

marks_t::marks_t(const kv::LinuxFirewallConfig& config) : marks_t(config, collect_used_marks) {}

marks_t::marks_t(const kv::LinuxFirewallConfig& config, used_marks_source_t used_marks)
    : config_(config), filter_(accept_every_rule), used_marks_(std::move(used_marks))
{
}

marks_t::~marks_t() = default;

void marks_t::configure()
{
    const field_t fixed[] = {
        fixed_field("LocalDeliveryMark", config_.local_delivery_mark()),
        fixed_field("ClientPacketsMark", config_.client_packets_mark()),
        fixed_field("ServerPacketsMark", config_.server_packets_mark()),
    };
    struct divert_t {
        field_t field;
        bool enabled;
        std::uint32_t* mark;
    };
    const divert_t diverts[] = {
        {divert_field("InputDivertMark", config_.input_divert_mark()), config_.input_divert_enable(),
         &input_divert_mark_},
        {divert_field("OutputDivertMark", config_.output_divert_mark()), config_.output_divert_enable(),
         &output_divert_mark_},
        {divert_field("ForwardDivertMark", config_.forward_divert_mark()), config_.forward_divert_enable(),
         &forward_divert_mark_},
    };

    if (config_.process_ip_security_option() && cf_log_enabled(log_warning)) {
        for (const divert_t& divert : diverts)
            if (divert.enabled && divert.field.none)
                cf_log(log_warning, std::string("LinuxFirewall.") + divert.field.name
                              + " is set to None. This can lead to incorrect operation under PARSEC. For more "
                                "information please refer to Configuring the PARSEC section of the "
                                "Administrator manual.");
    }

    // Automatic marks are chosen by looking at rules the daemon would otherwise
    // leave to the administrator; that needs both automatic modes.
    if (!config_.autoconfigure_routing() || !config_.autoconfigure_iptables()) {
        const char* what = config_.autoconfigure_routing() ? "iptables" : "routing";
        std::vector<const field_t*> examined;
        for (const field_t& field : fixed)
            examined.push_back(&field);
        for (const divert_t& divert : diverts)
            if (divert.enabled)
                examined.push_back(&divert.field);
        for (const field_t* field : examined)
            if (field->choice == choice_t::automatic)
                throw std::runtime_error(std::string("Manual ") + what
                                         + " configuration requested along with automatic selection of "
                                         + field->name + " value");
    }

    // The fixed marks go into the automatic routing and iptables rules and
    // onto every divert's packets, where a mark of 0 would match every packet.
    // The verdict rests on the configuration alone, so that a revision the
    // daemon applies on a reload is one it can also start with.
    const bool fixed_marks_used = config_.autoconfigure_routing() || config_.autoconfigure_iptables()
                               || std::any_of(std::begin(diverts), std::end(diverts),
                                              [](const divert_t& divert) { return divert.enabled; });
    if (fixed_marks_used)
        for (const field_t& field : fixed)
            if (field.choice == choice_t::unset)
                throw std::runtime_error(std::string(field.name)
                                         + " value is not configured: set it to auto or to a manual mark");

    input_divert_mark_ = output_divert_mark_ = forward_divert_mark_ = 0;
    std::vector<request_t> requests = {
        {&local_delivery_mark_, fixed[0].choice, fixed[0].value},
        {&client_packets_mark_, fixed[1].choice, fixed[1].value},
        {&server_packets_mark_, fixed[2].choice, fixed[2].value},
    };
    for (const divert_t& divert : diverts)
        if (divert.enabled && !divert.field.none)
            requests.push_back({divert.mark, divert.field.choice, divert.field.value});

    std::uint32_t used = 0;
    bool any_automatic = false;
    for (const request_t& request : requests) {
        if (request.choice == choice_t::automatic)
            any_automatic = true;
        if (request.choice != choice_t::manual)
            continue;
        if (std::popcount(request.value) != 1)
            throw std::runtime_error("mark value must have exactly one non-zero bit");
        if (used & request.value)
            throw std::runtime_error("mark " + std::to_string(request.value) + " is already occupied");
        used |= request.value;
        *request.mark = request.value;
    }

    // Automatic marks need both automatic modes, and with them every fixed
    // mark is set: the manual bits are all a request of this apply holds.
    if (!any_automatic)
        return;
    used |= used_marks_(filter_);

    for (const request_t& request : requests) {
        if (request.choice != choice_t::automatic)
            continue;
        if (used == 0xffffffffu)
            throw std::runtime_error("all marks are already occupied");
        const std::uint32_t bit = std::uint32_t{1} << std::countr_one(used);
        used |= bit;
        *request.mark = bit;
    }
}

std::uint32_t marks_t::divert_mark(int divert_kind) const noexcept
{
    switch (divert_kind) {
    case 0: return output_divert_mark_;
    case 1: return input_divert_mark_;
    case 2: return forward_divert_mark_;
    default: return 0;
    }
}

void marks_t::set_filter(filter_t filter)
{
    filter_ = filter ? std::move(filter) : filter_t(accept_every_rule);
}

std::uint32_t ipt_table_marks(const linux::iptables::ipt_table_t& table)
{
    namespace ipt = linux::iptables;
    std::uint32_t marks = 0;
    for (const auto& [hook, chain] : table.builtin_chains) {
        for (const ipt::ipt_rule_t& rule : chain.rules) {
            if (ipt::is_own_rule(rule))
                continue;
            for (const ipt::xt_blob_t& match : rule.matches)
                if (auto value = ipt::read_mark_match(match))
                    marks |= *value;
            if (const auto* target = std::get_if<ipt::xt_blob_t>(&rule.target))
                if (auto value = ipt::read_mark_target(*target))
                    marks |= *value;
        }
    }
    return marks;
}

std::uint32_t iptables_used_marks(const ipt_table_reader_t& read)
{
    std::uint32_t marks = 0;
    for (const char* name : {"nat", "mangle"}) {
        try {
            marks |= ipt_table_marks(read(name));
        } catch (const boost::system::system_error& e) {
            if (!linux::iptables::is_table_missing(e.code()))
                throw;
            cf_log_lazy(log_debug, [&] { return std::string("Table ") + name + " is not loaded"; });
        }
    }
    return marks;
}

std::uint32_t iptables_used_marks()
{
    return iptables_used_marks([](const std::string& name) { return linux::iptables::read_ipt_table(name); });
}

std::uint32_t policy_rule_marks(const std::list<linux::netlink::netlink_reply_t>& replies,
                                const mark_filter_t& filter)
{
    using linux::rtnetlink::routing::message_t;
    std::uint32_t marks = 0;
    for (const linux::netlink::netlink_reply_t& reply : replies) {
        if (reply.type != RTM_NEWRULE)
            throw std::runtime_error("rtnetlink: Unexpected message");
        const message_t rule = message_t::parse(reply.payload.begin(), reply.payload.size);
        const auto* table = rule.attributes().find_as<std::uint32_t>(FRA_TABLE);
        const auto* fwmark = rule.attributes().find_as<std::uint32_t>(FRA_FWMARK);
        if (table && fwmark && filter(*table, *fwmark))
            marks |= *fwmark;
    }
    return marks;
}

std::uint32_t policy_rule_used_marks(const mark_filter_t& filter)
{
    linux::netlink::sync_link_t link(linux::netlink::open_netlink_socket(NETLINK_ROUTE));
    link.send(RTM_GETRULE, linux::rtnetlink::routing::message_t(AF_INET).serialize(), NLM_F_DUMP);
    return policy_rule_marks(link.receive_all(), filter);
}

std::uint32_t nftables_used_marks()
{
    namespace nft = linux::nftables::utils;
    // The probe loads the modules where they are modules; nf_tables built into
    // the kernel answers the dump without any modprobe.
    const bool loaded = nft::nft_modules_available();
    try {
        return nft::collect_nft_marks();
    } catch (const boost::system::system_error& e) {
        // Without nf_tables no rule of it can use a mark.
        if (loaded)
            throw;
        cf_log_lazy(log_debug, [&] { return std::string("nftables rules not read: ") + e.what(); });
        return 0;
    }
}

std::uint32_t collect_used_marks(const mark_filter_t& filter)
{
    std::uint32_t marks = iptables_used_marks();
    marks |= policy_rule_used_marks(filter);
    marks |= nftables_used_marks();
    return marks;
}

} // namespace fw::service
