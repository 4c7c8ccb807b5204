#include "fw/service/routing.hpp"

#include <cerrno>
#include <exception>
#include <stdexcept>

#include <fcntl.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/system/system_error.hpp>

#include "common/errno_error.hpp"
#include "common/error.hpp"
#include "common/log.hpp"
#include "common/scoped_fd.hpp"
#include "fw/service/marks.hpp"
#include "fw/service/rule_info.pb.h"
#include "linux/netlink/routing_message.hpp"
#include "linux/netlink/socket.hpp"
#include "linux/netlink/sync_link.hpp"
#include "linux_firewall_config.pb.h"

namespace fw::service {

namespace {

using linux::netlink::sync_link_t;
using linux::rtnetlink::routing::message_t;

constexpr const char* loopback = "lo";

using fw::util::throw_errno;

sync_link_t route_link()
{
    return sync_link_t(linux::netlink::open_netlink_socket(NETLINK_ROUTE));
}

// One change with its acknowledgement, on a socket of its own.
void exchange(std::uint16_t type, const message_t& message, std::uint16_t flags)
{
    sync_link_t link = route_link();
    link.send(type, message.serialize(), flags);
    link.wait_ack();
}

std::string rule_text(std::uint32_t table_id, std::uint32_t fwmark)
{
    return "table " + std::to_string(table_id) + ", fwmark " + std::to_string(fwmark);
}

// A removal whose failure is only worth a warning: nothing records the object
// any more, so nothing would try again.
template <typename Build>
void remove_logged(std::uint16_t type, const Build& build, const std::string& done, const std::string& failed)
{
    try {
        exchange(type, build(), NLM_F_ACK);
        if (cf_log_threshold <= 0)
            cf_log(0, done);
    } catch (const std::exception&) {
        if (cf_log_threshold <= 3)
            cf_log(3, failed + ": " + describe_exception_ptr(std::current_exception()));
    }
}

void delete_local_route(const rule_record_t& record)
{
    const std::string route = "(" + local_route_text(record.table_id, record.metric) + ")";
    remove_logged(
        RTM_DELROUTE,
        [&] { return make_route_message(record.table_id, record.metric.has_value(), record.metric.value_or(0)); },
        "Local delivery route uninstalled " + route, "Cannot uninstall local delivery route " + route);
}

void delete_local_rule(const rule_record_t& record)
{
    const std::string rule = "(" + rule_text(record.table_id, record.fwmark) + ")";
    remove_logged(RTM_DELRULE, [&] { return make_rule_message(record.table_id, record.fwmark, 0); },
                  "Local delivery routing policy uninstalled " + rule,
                  "Cannot uninstall local delivery routing policy " + rule);
}

std::uint32_t* add_u32(message_t& message, std::uint16_t type, std::uint32_t value)
{
    std::uint32_t* slot = message.attributes().add_zeroed<std::uint32_t>(type);
    *slot = value;
    return slot;
}

void put_table(message_t& message, std::uint32_t table_id)
{
    if (table_id < 256)
        message.set_table(static_cast<std::uint8_t>(table_id));
    else
        add_u32(message, RTA_TABLE, table_id);
}

constexpr std::uint16_t install_flags = NLM_F_ACK | NLM_F_EXCL | NLM_F_CREATE;
static_assert(install_flags == 0x604);

} // namespace

routing_t::routing_t(const kv::LinuxFirewallConfig& config, marks_t& marks) : config_(config), marks_(marks)
{
    marks_.set_filter([this](std::uint32_t table_id, std::uint32_t fwmark) {
        return own_rule_filter(table_id, fwmark);
    });
}

routing_t::~routing_t()
{
    if (path_) {
        // The file's own errors must not leave a destructor; the kernel objects
        // it records were already handled or are left for the next start.
        try {
            uninstall_recorded();
        } catch (const std::exception&) {
            if (cf_log_threshold <= 3)
                cf_log(3, "Cannot uninstall local delivery routing: "
                              + describe_exception_ptr(std::current_exception()));
        }
    }
    marks_.set_filter({});
}

bool routing_t::own_rule_filter(std::uint32_t table_id, std::uint32_t fwmark) const noexcept
{
    return !(record_ && record_->table_id == table_id && record_->fwmark == fwmark);
}

void routing_t::configure()
{
    const std::string path = config_.var_lib_dir() + "/rule_info.dat";
    if (!path_) {
        // The first look at the file picks up what an ended run left behind.
        path_ = path;
        uninstall_recorded();
    } else if (*path_ == path) {
        uninstall_recorded();
    } else {
        uninstall_recorded();
        path_ = path;
    }

    if (!config_.autoconfigure_routing())
        return;

    std::set<std::uint32_t> used;
    {
        sync_link_t link = route_link();
        link.send(RTM_GETROUTE, message_t(AF_INET).serialize(), NLM_F_DUMP);
        auto replies = link.receive_all();
        link.send(RTM_GETRULE, message_t(AF_INET).serialize(), NLM_F_DUMP);
        replies.splice(replies.end(), link.receive_all());
        used = tables_in_use(replies);
    }
    const std::uint32_t table_id = free_routing_table(used);
    install_route(table_id);
    install_rule(table_id, path);
}

void routing_t::install_route(std::uint32_t table_id)
{
    try {
        exchange(RTM_NEWROUTE, make_route_message(table_id, true, metric), install_flags);
    } catch (const std::runtime_error& e) {
        throw std::runtime_error(std::string("Cannot install local delivery route: ") + e.what());
    }
    if (cf_log_threshold <= 0)
        cf_log(0, "Local delivery route installed (" + local_route_text(table_id, metric) + ")");
}

void routing_t::install_rule(std::uint32_t table_id, const std::string& path)
{
    const std::uint32_t fwmark = marks_.local_delivery_mark();
    const rule_record_t installed{table_id, fwmark, metric};
    bool rule_installed = false;
    try {
        exchange(RTM_NEWRULE, make_rule_message(table_id, fwmark, FR_ACT_TO_TBL), install_flags);
        rule_installed = true;
        record_ = installed;
        write_rule_info(installed, path);
    } catch (const std::runtime_error& e) {
        // Without the state file no later run would know of the route and
        // rule, so they are taken back now.
        record_.reset();
        if (rule_installed)
            delete_local_rule(installed);
        delete_local_route(installed);
        throw std::runtime_error(std::string("Cannot install local delivery rule: ") + e.what());
    }
    if (cf_log_threshold <= 0)
        cf_log(0, "Local delivery routing policy installed (" + rule_text(table_id, fwmark) + ")");
}

void routing_t::uninstall_recorded()
{
    const std::optional<rule_record_t> record = read_rule_info(*path_);
    if (!record)
        return;
    delete_local_route(*record);
    delete_local_rule(*record);
    record_.reset();
}

std::optional<rule_record_t> read_rule_info(const std::string& path)
{
    fw::util::scoped_fd_t fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        if (errno == ENOENT)
            return std::nullopt;
        throw_errno(errno, "Cannot open file " + path);
    }

    std::optional<rule_record_t> record;
    RuleInfo info;
    if (info.ParseFromFileDescriptor(fd.get())) {
        record = rule_record_t{info.table_id(), info.mark(), std::nullopt};
        if (info.has_priority())
            record->metric = static_cast<int>(info.priority());
    } else if (cf_log_threshold <= 3) {
        cf_log(3, "Cannot parse file " + path);
    }

    if (::unlink(path.c_str()) != 0)
        throw_errno(errno, "Cannot remove file " + path);
    return record;
}

void write_rule_info(const rule_record_t& record, const std::string& path)
{
    RuleInfo info;
    info.set_table_id(record.table_id);
    info.set_mark(record.fwmark);
    if (record.metric)
        info.set_priority(*record.metric);

    fw::util::scoped_fd_t fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!fd)
        throw_errno(errno, "Cannot create file " + path);
    errno = 0;
    if (!info.SerializePartialToFileDescriptor(fd.get())) {
        if (errno == 0)
            errno = EIO;
        throw_errno(errno, "Cannot serialize to file " + path);
    }
}

std::string local_route_text(std::uint32_t table_id, std::optional<int> metric)
{
    std::string text = "table " + std::to_string(table_id);
    if (metric)
        text += ", metric " + std::to_string(*metric);
    return text;
}

message_t make_route_message(std::uint32_t table_id, bool has_metric, int metric)
{
    const unsigned index = ::if_nametoindex(loopback);
    if (index == 0)
        throw_errno(errno, std::string("cannot get index for interface \"") + loopback + "\"");

    message_t message(AF_INET);
    put_table(message, table_id);
    message.set_protocol(RTPROT_BOOT);
    message.set_scope(RT_SCOPE_HOST);
    message.set_type(RTN_LOCAL);
    add_u32(message, RTA_OIF, index);
    if (has_metric)
        add_u32(message, RTA_PRIORITY, static_cast<std::uint32_t>(metric));
    return message;
}

message_t make_rule_message(std::uint32_t table_id, std::uint32_t fwmark, std::uint8_t action)
{
    message_t message(AF_INET);
    put_table(message, table_id);
    message.set_type(action);
    add_u32(message, FRA_FWMARK, fwmark);
    add_u32(message, FRA_FWMASK, fwmark);
    return message;
}

std::set<std::uint32_t> tables_in_use(const std::list<linux::netlink::netlink_reply_t>& replies)
{
    std::set<std::uint32_t> used;
    for (const linux::netlink::netlink_reply_t& reply : replies) {
        if (reply.type != RTM_NEWROUTE && reply.type != RTM_NEWRULE)
            throw std::runtime_error("rtnetlink: Unexpected message");
        const message_t message = message_t::parse(reply.payload.begin(), reply.payload.size);
        if (message.table() != 0)
            used.insert(message.table());
        else
            used.insert(*message.attributes().get_as<std::uint32_t>(RTA_TABLE));
    }
    return used;
}

std::uint32_t free_routing_table(const std::set<std::uint32_t>& used)
{
    for (std::uint32_t table_id = routing_t::first_table; table_id <= routing_t::last_table; ++table_id)
        if (!used.contains(table_id))
            return table_id;
    throw std::runtime_error("Cannot find free routing table");
}

} // namespace fw::service
