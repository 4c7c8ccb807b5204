#include "fw/steering/routing.hpp"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <exception>
#include <stdexcept>

#include <fcntl.h>
#include <net/if.h>
#include <sys/socket.h>
#include <sys/stat.h>
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

std::string rule_text(std::uint32_t table_id, std::uint32_t fwmark)
{
    return "table " + std::to_string(table_id) + ", fwmark " + std::to_string(fwmark);
}

// One change and its acknowledgement.
void exchange(sync_link_t& link, std::uint16_t type, const message_t& message, std::uint16_t flags)
{
    link.send(type, message.serialize(), flags);
    link.wait_ack();
}

// A removal; true when the object is gone, also when it was gone already
// (ESRCH for a route, ENOENT for a rule), which is worth a warning all the
// same. Any other failure leaves the object, and its record, in place.
template <typename Build>
bool remove_logged(sync_link_t& link, std::uint16_t type, const Build& build, const std::string& done,
                   const std::string& failed)
{
    try {
        exchange(link, type, build(), NLM_F_ACK);
        cf_log_lazy(log_debug, [&] { return done; });
        return true;
    } catch (const boost::system::system_error& e) {
        cf_log_lazy(log_warning, [&] { return failed + ": " + describe_exception_ptr(std::current_exception()); });
        return e.code().value() == ESRCH || e.code().value() == ENOENT;
    } catch (const std::exception&) {
        cf_log_lazy(log_warning, [&] { return failed + ": " + describe_exception_ptr(std::current_exception()); });
        return false;
    }
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

unsigned loopback_index()
{
    const unsigned index = ::if_nametoindex(loopback);
    if (index == 0)
        throw_errno(errno, std::string("cannot get index for interface \"") + loopback + "\"");
    return index;
}

// A valid record is a few bytes: anything longer was not written here.
constexpr std::size_t rule_info_max_size = 64;

enum class file_state_t { missing, not_regular, unparsable, foreign, own };

struct file_record_t {
    file_state_t state = file_state_t::missing;
    rule_record_t record;
};

// No side effect: the file is opened without following a link or waiting on
// a FIFO, and only a small regular file is read.
file_record_t load_rule_info(const std::string& path)
{
    fw::util::scoped_fd_t fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (!fd) {
        if (errno == ENOENT)
            return {};
        if (errno == ELOOP)
            return {file_state_t::not_regular, {}};
        throw_errno(errno, "Cannot open file " + path);
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0)
        throw_errno(errno, "Cannot open file " + path);
    if (!S_ISREG(st.st_mode))
        return {file_state_t::not_regular, {}};
    char bytes[rule_info_max_size + 1];
    std::size_t size = 0;
    for (;;) {
        const ssize_t n = ::read(fd.get(), bytes + size, sizeof bytes - size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw_errno(errno, "Cannot read file " + path);
        if (n == 0 || (size += static_cast<std::size_t>(n)) == sizeof bytes)
            break;
    }
    RuleInfo info;
    if (size > rule_info_max_size || !info.ParseFromArray(bytes, static_cast<int>(size)))
        return {file_state_t::unparsable, {}};
    file_record_t result{file_state_t::own, {info.table_id(), info.mark(), std::nullopt}};
    if (info.has_priority()) {
        // A priority that does not fit the int it was written from is not ours.
        if (info.priority() != static_cast<int>(info.priority()))
            return {file_state_t::foreign, result.record};
        result.record.metric = static_cast<int>(info.priority());
    }
    if (!is_own_record(result.record) || !info.unknown_fields().empty())
        result.state = file_state_t::foreign;
    return result;
}

// Where the state file is written before it is renamed into place.
std::string temporary_of(const std::string& path) { return path + ".new"; }

// A run killed while it wrote the state file left the temporary file; only a
// regular file of that exact name is taken away.
void remove_temporary_leftover(const std::string& path)
{
    const std::string temporary = temporary_of(path);
    struct stat st {};
    if (::lstat(temporary.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return;
    if (::unlink(temporary.c_str()) != 0 && errno != ENOENT)
        cf_log_lazy(log_warning, [&] { return "Cannot remove file " + temporary + ": " + std::strerror(errno); });
}

std::string directory_of(const std::string& path)
{
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

} // namespace

routing_t::routing_t(const kv::LinuxFirewallConfig& config, marks_t& marks) : config_(config), marks_(marks)
{
    marks_.set_filter([this](std::uint32_t table_id, std::uint32_t fwmark) {
        return own_rule_filter(table_id, fwmark);
    });
}

routing_t::~routing_t()
{
    // Only what this run recorded is removed: a file can hold nothing else
    // once the first configuration has read it, and the stop must not need
    // a descriptor to open it.
    try {
        if (record_ && remove_installed(*record_))
            record_.reset();
        retry_unremoved();
    } catch (const std::exception&) {
        cf_log_lazy(log_warning, [&] {
            return "Cannot uninstall local delivery routing: " + describe_exception_ptr(std::current_exception());
        });
    }
    marks_.set_filter({});
}

bool routing_t::own_rule_filter(std::uint32_t table_id, std::uint32_t fwmark) const noexcept
{
    std::optional<rule_record_t> own = record_;
    if (!own && !configured_) {
        try {
            if (const auto path = state_path())
                own = peek_rule_info(*path);
        } catch (const std::exception&) {
            // A var_lib_dir that configure will refuse.
        }
    }
    const auto is_it = [&](const rule_record_t& record) {
        return record.table_id == table_id && record.fwmark == fwmark;
    };
    return !((own && is_it(*own)) || std::any_of(unremoved_.begin(), unremoved_.end(), is_it));
}

std::optional<std::string> routing_t::state_path() const
{
    const std::string& dir = config_.var_lib_dir();
    if (dir.empty() && !config_.autoconfigure_routing())
        return std::nullopt;
    // The file must not land in "/" or wherever the daemon was started.
    if (!dir.starts_with("/"))
        throw std::runtime_error("var_lib_dir must be an absolute path: \"" + dir + "\"");
    return dir + "/rule_info.dat";
}

void routing_t::configure()
{
    const std::optional<std::string> path = state_path();
    if (!configured_) {
        // The first look at the file picks up what an ended run left behind.
        path_ = path;
        configured_ = true;
        if (path_)
            remove_temporary_leftover(*path_);
    }
    uninstall_recorded();
    // A record whose removal failed stays with the file that names it.
    if (record_ && path != path_)
        keep_unremoved();
    path_ = path;

    if (!config_.autoconfigure_routing())
        return;

    std::set<std::uint32_t> used;
    {
        sync_link_t dump = route_link();
        dump.send(RTM_GETROUTE, message_t(AF_INET).serialize(), NLM_F_DUMP);
        auto replies = dump.receive_all();
        dump.send(RTM_GETRULE, message_t(AF_INET).serialize(), NLM_F_DUMP);
        replies.splice(replies.end(), dump.receive_all());
        used = tables_in_use(replies);
    }
    const std::uint32_t table_id = free_routing_table(used);
    const rule_record_t record{table_id, marks_.local_delivery_mark(), metric};
    link();
    // The new record takes the file's place of one whose removal failed.
    if (record_)
        keep_unremoved();
    try {
        loopback_index_ = loopback_index();
        // Recorded first: a crash from here on leaves a record of whatever is installed.
        write_rule_info(record, *path_);
    } catch (const std::runtime_error& e) {
        throw std::runtime_error(std::string("Cannot install local delivery rule: ") + e.what());
    }
    record_ = record;
    step(routing_step_t::recorded);
    install_route(table_id);
    install_rule(table_id);
}

sync_link_t& routing_t::link()
{
    if (!link_)
        link_ = std::make_unique<sync_link_t>(linux::netlink::open_netlink_socket(NETLINK_ROUTE));
    return *link_;
}

void routing_t::step(routing_step_t done)
{
    if (step_hook_)
        step_hook_(done);
}

void routing_t::install_route(std::uint32_t table_id)
{
    try {
        exchange(link(), RTM_NEWROUTE, make_route_message(table_id, true, metric, loopback_index_), install_flags);
    } catch (const std::runtime_error& e) {
        // Nothing was installed: the record goes again.
        remove_rule_info(*path_);
        record_.reset();
        throw std::runtime_error(std::string("Cannot install local delivery route: ") + e.what());
    }
    step(routing_step_t::route_installed);
    cf_log_lazy(log_debug, [&] {
        return "Local delivery route installed (" + local_route_text(table_id, metric) + ")";
    });
}

void routing_t::install_rule(std::uint32_t table_id)
{
    const std::uint32_t fwmark = record_->fwmark;
    try {
        exchange(link(), RTM_NEWRULE, make_rule_message(table_id, fwmark, FR_ACT_TO_TBL), install_flags);
    } catch (const std::runtime_error& e) {
        // The route is taken back; the record stays while it cannot be.
        if (remove_installed(*record_))
            record_.reset();
        throw std::runtime_error(std::string("Cannot install local delivery rule: ") + e.what());
    }
    step(routing_step_t::rule_installed);
    cf_log_lazy(log_debug, [&] {
        return "Local delivery routing policy installed (" + rule_text(table_id, fwmark) + ")";
    });
}

// A removal that fails is warned about and tried again at the next apply and
// at stop; meanwhile the configuration goes on, and the state file keeps
// naming the record until a new installation is recorded.
void routing_t::uninstall_recorded()
{
    retry_unremoved();
    if (!path_)
        return;
    if (!record_)
        record_ = read_rule_info(*path_);
    if (record_ && remove_installed(*record_))
        record_.reset();
}

void routing_t::keep_unremoved()
{
    unremoved_.push_back(*record_);
    record_.reset();
}

void routing_t::retry_unremoved()
{
    std::erase_if(unremoved_, [this](const rule_record_t& record) { return remove_objects(record); });
}

bool routing_t::remove_installed(const rule_record_t& record)
{
    if (!remove_objects(record))
        return false;
    if (path_)
        remove_rule_info(*path_);
    return true;
}

bool routing_t::remove_objects(const rule_record_t& record)
{
    sync_link_t& changes = link();
    const std::string route = "(" + local_route_text(record.table_id, record.metric) + ")";
    const bool route_gone = remove_logged(
        changes, RTM_DELROUTE,
        [&] {
            return make_route_message(record.table_id, record.metric.has_value(), record.metric.value_or(0),
                                      loopback_index_ ? loopback_index_ : loopback_index());
        },
        "Local delivery route uninstalled " + route, "Cannot uninstall local delivery route " + route);
    step(routing_step_t::route_removed);
    const std::string rule = "(" + rule_text(record.table_id, record.fwmark) + ")";
    const bool rule_gone = remove_logged(
        changes, RTM_DELRULE, [&] { return make_rule_message(record.table_id, record.fwmark, 0); },
        "Local delivery routing policy uninstalled " + rule, "Cannot uninstall local delivery routing policy " + rule);
    step(routing_step_t::rule_removed);
    // The record goes only once nothing it names is left.
    return route_gone && rule_gone;
}

bool is_own_record(const rule_record_t& record) noexcept
{
    return record.table_id >= routing_t::first_table && record.table_id <= routing_t::last_table
        && std::popcount(record.fwmark) == 1 && record.metric == routing_t::metric;
}

std::optional<rule_record_t> read_rule_info(const std::string& path)
{
    const file_record_t file = load_rule_info(path);
    switch (file.state) {
    case file_state_t::missing: return std::nullopt;
    case file_state_t::own: return file.record;
    case file_state_t::not_regular:
        cf_log_lazy(log_warning, [&] { return "Ignoring file " + path + ": not a regular file"; });
        break;
    case file_state_t::unparsable: cf_log_lazy(log_warning, [&] { return "Cannot parse file " + path; }); break;
    case file_state_t::foreign:
        cf_log_lazy(log_warning, [&] {
            return "Ignoring file " + path + ": it records no local delivery routing of this daemon ("
                + rule_text(file.record.table_id, file.record.fwmark)
                + (file.record.metric ? ", metric " + std::to_string(*file.record.metric) : std::string()) + ")";
        });
        break;
    }
    remove_rule_info(path);
    return std::nullopt;
}

std::optional<rule_record_t> peek_rule_info(const std::string& path) noexcept
{
    try {
        const file_record_t file = load_rule_info(path);
        if (file.state == file_state_t::own)
            return file.record;
    } catch (...) {
    }
    return std::nullopt;
}

void write_rule_info(const rule_record_t& record, const std::string& path)
{
    RuleInfo info;
    info.set_table_id(record.table_id);
    info.set_mark(record.fwmark);
    if (record.metric)
        info.set_priority(*record.metric);

    // A temporary file left by a crash, or planted, is replaced, never followed.
    const std::string temporary = temporary_of(path);
    if (::unlink(temporary.c_str()) != 0 && errno != ENOENT)
        throw_errno(errno, "Cannot remove file " + temporary);
    {
        fw::util::scoped_fd_t fd(
            ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!fd)
            throw_errno(errno, "Cannot create file " + temporary);
        errno = 0;
        if (!info.SerializePartialToFileDescriptor(fd.get())) {
            const int error = errno ? errno : EIO;
            ::unlink(temporary.c_str());
            throw_errno(error, "Cannot serialize to file " + temporary);
        }
        if (::fsync(fd.get()) != 0) {
            const int error = errno;
            ::unlink(temporary.c_str());
            throw_errno(error, "Cannot sync file " + temporary);
        }
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        throw_errno(error, "Cannot rename file " + temporary + " to " + path);
    }
    // The rename itself reaches the disk with its directory.
    const std::string directory = directory_of(path);
    fw::util::scoped_fd_t dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir || ::fsync(dir.get()) != 0)
        throw_errno(errno, "Cannot sync directory " + directory);
}

void remove_rule_info(const std::string& path)
{
    if (::unlink(path.c_str()) != 0 && errno != ENOENT)
        throw_errno(errno, "Cannot remove file " + path);
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
    return make_route_message(table_id, has_metric, metric, loopback_index());
}

message_t make_route_message(std::uint32_t table_id, bool has_metric, int metric, unsigned index)
{
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
