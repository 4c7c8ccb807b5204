#include "linux/iptables/table.hpp"

#include <arpa/inet.h>
#include <array>
#include <cerrno>
#include <limits>
#include <optional>
#include <stdexcept>

#include <boost/system/system_error.hpp>

#include "linux/iptables/abi.hpp"
#include "linux/iptables/bytes.hpp"
#include "linux/iptables/sockopt.hpp"

namespace fw::linux::iptables {

using bytes::load;
using bytes::store;

// ---- rule fields -------------------------------------------------------------

namespace {

void set_flag(std::uint8_t& flags, std::uint8_t bit, bool on)
{
    flags = on ? flags | bit : flags & ~bit;
}

iface_bytes_t get_iface(const void* field)
{
    iface_bytes_t out;
    std::memcpy(out.data(), field, out.size());
    return out;
}

bool same_counters(const xt_counters& a, const xt_counters& b)
{
    return a.pcnt == b.pcnt && a.bcnt == b.bcnt;
}

} // namespace

std::uint32_t ipt_rule_t::src() const { return ntohl(ip.src.s_addr); }
void ipt_rule_t::set_src(std::uint32_t address) { ip.src.s_addr = htonl(address); }
std::uint32_t ipt_rule_t::dst() const { return ntohl(ip.dst.s_addr); }
void ipt_rule_t::set_dst(std::uint32_t address) { ip.dst.s_addr = htonl(address); }
std::uint32_t ipt_rule_t::smsk() const { return ntohl(ip.smsk.s_addr); }
void ipt_rule_t::set_smsk(std::uint32_t mask) { ip.smsk.s_addr = htonl(mask); }
std::uint32_t ipt_rule_t::dmsk() const { return ntohl(ip.dmsk.s_addr); }
void ipt_rule_t::set_dmsk(std::uint32_t mask) { ip.dmsk.s_addr = htonl(mask); }

iface_bytes_t ipt_rule_t::iniface() const { return get_iface(ip.iniface); }
void ipt_rule_t::set_iniface(const iface_bytes_t& name) { std::memcpy(ip.iniface, name.data(), name.size()); }
iface_bytes_t ipt_rule_t::outiface() const { return get_iface(ip.outiface); }
void ipt_rule_t::set_outiface(const iface_bytes_t& name) { std::memcpy(ip.outiface, name.data(), name.size()); }
iface_bytes_t ipt_rule_t::iniface_mask() const { return get_iface(ip.iniface_mask); }
void ipt_rule_t::set_iniface_mask(const iface_bytes_t& mask)
{
    std::memcpy(ip.iniface_mask, mask.data(), mask.size());
}
iface_bytes_t ipt_rule_t::outiface_mask() const { return get_iface(ip.outiface_mask); }
void ipt_rule_t::set_outiface_mask(const iface_bytes_t& mask)
{
    std::memcpy(ip.outiface_mask, mask.data(), mask.size());
}

void ipt_rule_t::set_fragment(bool on) { set_flag(ip.flags, IPT_F_FRAG, on); }
void ipt_rule_t::set_goto(bool on) { set_flag(ip.flags, IPT_F_GOTO, on); }

bool ipt_rule_t::operator==(const ipt_rule_t& other) const
{
    return std::memcmp(&ip, &other.ip, sizeof ip) == 0 && matches == other.matches
        && target == other.target && same_counters(counters, other.counters);
}

bool ipt_builtin_chain_t::operator==(const ipt_builtin_chain_t& other) const
{
    return rules == other.rules && policy == other.policy && same_counters(counters, other.counters);
}

// ---- blob parsing ------------------------------------------------------------

namespace {

// The standard target's verdicts: -NF_DROP - 1, -NF_ACCEPT - 1 and XT_RETURN.
constexpr std::int32_t kernel_drop = -NF_DROP - 1;
constexpr std::int32_t kernel_accept = -NF_ACCEPT - 1;
constexpr std::int32_t kernel_return = XT_RETURN;
static_assert(kernel_drop == -1 && kernel_accept == -2 && kernel_return == -5);

const char* const error_target_name = XT_ERROR_TARGET;

// The lowest standard verdict the kernel takes: -NF_STOP - 1.
constexpr std::int32_t lowest_kernel_verdict = -NF_MAX_VERDICT - 1;
static_assert(lowest_kernel_verdict == -6);

bool is_unconditional(const ipt_rule_t& rule)
{
    static const struct ipt_ip zero {};
    return rule.matches.empty() && std::memcmp(&rule.ip, &zero, sizeof zero) == 0;
}

// Where in the table a parse fault lies, as far as it is known.
struct blob_place_t {
    std::string table;
    std::string chain;
    std::size_t rule = 0; // 1-based within the chain; 0: not known

    [[noreturn]] void malformed() const
    {
        std::string text = "Cannot parse IP table blob";
        std::string where;
        const auto add = [&where](const std::string& part) { where += (where.empty() ? "" : ", ") + part; };
        if (!table.empty())
            add("table " + table);
        if (!chain.empty())
            add("chain " + chain);
        if (rule != 0)
            add("rule " + std::to_string(rule));
        if (!where.empty())
            text += " (" + where + ")";
        throw boost::system::system_error(EINVAL, boost::system::system_category(), text);
    }
};

class blob_parser_t {
public:
    blob_parser_t(const ipt_blob_t& blob, const std::string& table_name) : blob_(blob) { place_.table = table_name; }

    ipt_table_t parse()
    {
        const std::size_t size = blob_.entries.size();
        for (std::size_t offset = 0; offset < size; ++entry_number_) {
            const std::size_t next = visit(offset);
            if (next == 0)
                break;
            offset += next;
        }
        table_.read_size = ipt_table_size_t{blob_.num_entries, static_cast<std::uint32_t>(size)};
        close_chains();
        resolve_jumps();
        return std::move(table_);
    }

private:
    struct pending_jump_t {
        std::vector<ipt_rule_t>* rules;
        std::size_t index;
        std::uint32_t target;
        std::string chain;
    };

    [[noreturn]] void malformed() const { place_.malformed(); }

    void enter_chain(std::vector<ipt_rule_t>* rules, const std::string& name)
    {
        current_ = rules;
        place_.chain = name;
        place_.rule = 0;
    }

    // Checks an entry's header, target and matches against the blob and parses it;
    // returns its length, or 0 for the last entry.
    std::size_t visit(std::size_t offset)
    {
        // Until the entry shows otherwise, it is the next rule of the current chain.
        place_.rule = current_ ? current_->size() + 1 : 0;
        const std::size_t room = blob_.entries.size() - offset;
        if (room < abi::entry_size)
            malformed();
        const std::uint8_t* entry = blob_.entries.data() + offset;
        const auto header = load<struct ipt_entry>(entry);
        const std::size_t next = header.next_offset;
        const std::size_t target_at = header.target_offset;
        if (next < abi::entry_size + abi::ext_header_size || next > room)
            malformed();
        if (target_at < abi::entry_size || target_at > next - abi::ext_header_size)
            malformed();
        const std::uint8_t* target = entry + target_at;
        const std::size_t target_size = bytes::ext_size(target);
        if (target_size < abi::ext_header_size || target_size > next - target_at)
            malformed();
        const std::string target_name = bytes::ext_name(target);

        if (next == room) {
            end_open_chain(offset);
            return 0;
        }
        if (target_name == error_target_name) {
            begin_user_chain(offset, target, target_size);
            return next;
        }
        for (const auto& [hook, where] : blob_.hooks) {
            if (where.first != offset)
                continue;
            if (hook < 0 || hook >= NF_INET_NUMHOOKS)
                malformed();
            place_.chain = builtin_chain_name(hook);
            place_.rule = 1;
            if (table_.builtin_chains.contains(hook))
                malformed();
            end_open_chain(offset);
            enter_chain(&table_.builtin_chains[hook].rules, builtin_chain_name(hook));
            break;
        }
        if (!current_)
            malformed();
        place_.rule = current_->size() + 1;

        ipt_rule_t rule;
        rule.ip = header.ip;
        rule.counters = header.counters;
        rule.read_entry = entry_number_;
        for (std::size_t at = abi::entry_size; at < target_at;) {
            if (target_at - at < abi::ext_header_size)
                malformed();
            const std::size_t match_size = bytes::ext_size(entry + at);
            if (match_size < abi::ext_header_size || match_size > target_at - at)
                malformed();
            rule.matches.emplace_back(entry + at, entry + at + match_size);
            at += match_size;
        }
        if (target_name.empty()) {
            if (target_size != abi::standard_target_size)
                malformed();
            const auto verdict = load<std::int32_t>(target + abi::verdict_offset);
            if (verdict >= 0 && static_cast<std::size_t>(verdict) == offset + next)
                rule.target = ipt_fall_through_t{};
            else if (verdict >= 0)
                jumps_.push_back({current_, current_->size(), static_cast<std::uint32_t>(verdict), place_.chain});
            else if (verdict == kernel_accept)
                rule.target = ipt_verdict_t::ACCEPT;
            else if (verdict == kernel_drop)
                rule.target = ipt_verdict_t::DROP;
            else if (verdict == kernel_return)
                rule.target = ipt_verdict_t::RETURN;
            else if (verdict >= lowest_kernel_verdict)
                rule.target = ipt_other_verdict_t{verdict};
            else
                malformed();
        } else {
            rule.target = xt_blob_t(target, target + target_size);
        }
        current_->push_back(std::move(rule));
        return next;
    }

    void begin_user_chain(std::size_t offset, const std::uint8_t* target, std::size_t target_size)
    {
        if (target_size < abi::errorname_offset + abi::errorname_size)
            malformed();
        const std::uint8_t* field = target + abi::errorname_offset;
        const std::string name = bytes::text(field, abi::errorname_size);
        if (name.size() == abi::errorname_size)
            malformed();
        place_.chain = name;
        place_.rule = 0;
        if (table_.user_chains.contains(name))
            malformed();
        end_open_chain(offset);
        const auto [chain, inserted] = table_.user_chains.try_emplace(name);
        starts_.emplace(offset, name);
        enter_chain(&chain->second.rules, name);
        open_ = name;
    }

    void end_open_chain(std::size_t offset)
    {
        if (open_)
            ends_.emplace(offset, *open_);
        open_.reset();
    }

    // Removes a chain's last entry, which must be an unconditional verdict.
    ipt_verdict_t take_tail(const std::string& name, std::vector<ipt_rule_t>& rules, xt_counters& counters)
    {
        place_.chain = name;
        place_.rule = rules.size();
        if (rules.empty())
            malformed();
        ipt_rule_t tail = std::move(rules.back());
        rules.pop_back();
        const auto* verdict = std::get_if<ipt_verdict_t>(&tail.target);
        if (!verdict || !is_unconditional(tail))
            malformed();
        counters = tail.counters;
        return *verdict;
    }

    void close_chains()
    {
        for (auto& [hook, chain] : table_.builtin_chains) {
            chain.policy_read_entry = chain.rules.empty() ? std::nullopt : chain.rules.back().read_entry;
            const ipt_verdict_t policy = take_tail(builtin_chain_name(hook), chain.rules, chain.counters);
            if (policy == ipt_verdict_t::RETURN)
                malformed();
            chain.policy = policy;
        }
        for (auto& [name, chain] : table_.user_chains) {
            xt_counters ignored;
            if (take_tail(name, chain.rules, ignored) != ipt_verdict_t::RETURN)
                malformed();
        }
        place_.chain.clear();
        place_.rule = 0;
        if (ends_.size() != starts_.size() || (!jumps_.empty() && table_.user_chains.empty()))
            malformed();
    }

    void resolve_jumps()
    {
        for (const pending_jump_t& jump : jumps_) {
            place_.chain = jump.chain;
            place_.rule = jump.index + 1;
            auto start = starts_.upper_bound(jump.target);
            const auto end = ends_.upper_bound(jump.target);
            if (start == starts_.begin() || end == ends_.end())
                malformed();
            --start;
            if (start->second != end->second)
                malformed();
            (*jump.rules)[jump.index].target = ipt_jump_t{start->second};
        }
    }

    const ipt_blob_t& blob_;
    ipt_table_t table_;
    blob_place_t place_;
    std::vector<ipt_rule_t>* current_ = nullptr;
    std::optional<std::string> open_;
    std::map<std::size_t, std::string> starts_;
    std::map<std::size_t, std::string> ends_;
    std::vector<pending_jump_t> jumps_;
    std::uint32_t entry_number_ = 0;
};

} // namespace

ipt_table_t parse_ipt_blob(const ipt_blob_t& blob, const std::string& table_name)
{
    return blob_parser_t(blob, table_name).parse();
}

// ---- blob serialization ------------------------------------------------------

namespace {

void check_ext(const xt_blob_t& ext, const char* error)
{
    if (ext.size() < abi::ext_header_size || bytes::ext_size(ext.data()) != ext.size()
        || abi::align(ext.size()) > std::numeric_limits<std::uint16_t>::max())
        throw std::runtime_error(error);
}

class blob_writer_t {
public:
    ipt_blob_t write(const ipt_table_t& table)
    {
        for (const auto& [hook, chain] : table.builtin_chains) {
            if (hook < 0 || hook >= NF_INET_NUMHOOKS)
                throw std::runtime_error("Invalid netfilter hook: " + std::to_string(hook));
            const auto entry = size();
            for (const ipt_rule_t& rule : chain.rules)
                append_rule(rule);
            blob_.hooks[hook] = {entry, size()};
            append_verdict_entry(chain.policy == ipt_verdict_t::ACCEPT ? kernel_accept : kernel_drop);
        }
        for (const auto& [name, chain] : table.user_chains) {
            if (name.size() >= abi::errorname_size)
                throw std::runtime_error("Chain name is too long: " + name);
            append_error_entry(name);
            positions_[name] = size();
            for (const ipt_rule_t& rule : chain.rules)
                append_rule(rule);
            append_verdict_entry(kernel_return);
        }
        append_error_entry({});
        for (const auto& [at, chain] : jumps_) {
            const auto position = positions_.find(chain);
            if (position == positions_.end())
                throw std::runtime_error("Jump to unknown chain: " + chain);
            store<std::int32_t>(out().data() + at, static_cast<std::int32_t>(position->second));
        }
        return std::move(blob_);
    }

private:
    std::vector<std::uint8_t>& out() { return blob_.entries; }
    std::uint32_t size() { return static_cast<std::uint32_t>(out().size()); }

    // Appends an extension padded to its aligned size, with the size field to match.
    void append_ext(const xt_blob_t& ext)
    {
        const std::size_t at = out().size();
        out().insert(out().end(), ext.begin(), ext.end());
        out().resize(at + abi::align(ext.size()));
        store<std::uint16_t>(out().data() + at, static_cast<std::uint16_t>(out().size() - at));
    }

    std::size_t append_standard_target(std::int32_t verdict)
    {
        xt_blob_t target(abi::standard_target_size);
        store<std::uint16_t>(target.data(), abi::standard_target_size);
        store<std::int32_t>(target.data() + abi::verdict_offset, verdict);
        const std::size_t at = out().size();
        append_ext(target);
        return at + abi::verdict_offset;
    }

    // Opens an entry; finish_entry fills in its offsets once its target is there.
    std::size_t begin_entry(const ipt_rule_t* rule)
    {
        const std::size_t at = out().size();
        out().resize(at + abi::entry_size);
        struct ipt_entry header {};
        if (rule) {
            header.ip = rule->ip;
            header.counters = rule->counters;
        }
        store(out().data() + at, header);
        ++blob_.num_entries;
        return at;
    }

    void finish_entry(std::size_t at, std::size_t target_at)
    {
        const std::size_t length = out().size() - at;
        if (length > std::numeric_limits<std::uint16_t>::max())
            throw std::runtime_error("IP table rule is too large");
        auto header = load<struct ipt_entry>(out().data() + at);
        header.target_offset = static_cast<std::uint16_t>(target_at - at);
        header.next_offset = static_cast<std::uint16_t>(length);
        store(out().data() + at, header);
    }

    void append_verdict_entry(std::int32_t verdict)
    {
        const std::size_t at = begin_entry(nullptr);
        append_standard_target(verdict);
        finish_entry(at, at + abi::entry_size);
    }

    void append_error_entry(const std::string& name)
    {
        const std::size_t at = begin_entry(nullptr);
        xt_blob_t target(abi::error_target_size);
        store<std::uint16_t>(target.data(), abi::error_target_size);
        std::memcpy(target.data() + abi::ext_name_offset, error_target_name, std::strlen(error_target_name));
        std::memcpy(target.data() + abi::errorname_offset, name.data(), name.size());
        append_ext(target);
        finish_entry(at, at + abi::entry_size);
    }

    void append_rule(const ipt_rule_t& rule)
    {
        const std::size_t at = begin_entry(&rule);
        for (const xt_blob_t& match : rule.matches) {
            check_ext(match, "Invalid match size");
            append_ext(match);
        }
        const std::size_t target_at = out().size();
        if (const auto* verdict = std::get_if<ipt_verdict_t>(&rule.target)) {
            append_standard_target(*verdict == ipt_verdict_t::ACCEPT ? kernel_accept
                                   : *verdict == ipt_verdict_t::RETURN ? kernel_return
                                                                       : kernel_drop);
        } else if (const auto* target = std::get_if<xt_blob_t>(&rule.target)) {
            check_ext(*target, "Invalid target size");
            append_ext(*target);
        } else if (const auto* jump = std::get_if<ipt_jump_t>(&rule.target)) {
            jumps_.emplace_back(append_standard_target(0), jump->chain);
        } else if (const auto* other = std::get_if<ipt_other_verdict_t>(&rule.target)) {
            append_standard_target(other->verdict);
        } else {
            // Fall-through: a jump to the very next entry.
            const std::size_t verdict_at = append_standard_target(0);
            store<std::int32_t>(out().data() + verdict_at, static_cast<std::int32_t>(out().size()));
        }
        finish_entry(at, target_at);
    }

    ipt_blob_t blob_;
    std::map<std::string, std::uint32_t> positions_;
    std::vector<std::pair<std::size_t, std::string>> jumps_;
};

} // namespace

ipt_blob_t make_ipt_blob(const ipt_table_t& table) { return blob_writer_t().write(table); }

namespace {

// The counters of one entry of make_ipt_blob(table), and where it was read from.
struct entry_counters_t {
    struct xt_counters counters {};
    std::optional<std::uint32_t> read_entry;
};

std::vector<entry_counters_t> entry_counters(const ipt_table_t& table)
{
    std::vector<entry_counters_t> list;
    for (const auto& [hook, chain] : table.builtin_chains) {
        for (const ipt_rule_t& rule : chain.rules)
            list.push_back({rule.counters, rule.read_entry});
        list.push_back({chain.counters, chain.policy_read_entry});
    }
    for (const auto& [name, chain] : table.user_chains) {
        list.emplace_back();
        for (const ipt_rule_t& rule : chain.rules)
            list.push_back({rule.counters, rule.read_entry});
        list.emplace_back();
    }
    list.emplace_back();
    return list;
}

// The counters to add to the new entries, which start at zero: what the
// model carries, or for an entry read from the table just replaced, what
// the kernel handed back for it, which takes in the packets counted since
// the read. Only while the replaced table is the one read (the xtables lock
// keeps the tools that honour it away) and only where the kernel's counts
// have not gone back.
std::vector<struct xt_counters> counters_to_add(const ipt_table_t& table, const ipt_table_size_t& replaced,
                                                const std::vector<struct xt_counters>& returned)
{
    std::vector<struct xt_counters> list;
    const bool same_table = table.read_size == replaced;
    for (const entry_counters_t& entry : entry_counters(table)) {
        struct xt_counters counters = entry.counters;
        if (same_table && entry.read_entry && *entry.read_entry < returned.size()) {
            const struct xt_counters& now = returned[*entry.read_entry];
            if (now.pcnt >= counters.pcnt && now.bcnt >= counters.bcnt)
                counters = now;
        }
        list.push_back(counters);
    }
    return list;
}

} // namespace

std::vector<struct xt_counters> ipt_counter_list(const ipt_table_t& table)
{
    std::vector<struct xt_counters> list;
    for (const entry_counters_t& entry : entry_counters(table))
        list.push_back(entry.counters);
    return list;
}

// ---- kernel ------------------------------------------------------------------

namespace {

[[noreturn]] void fail(int error, const char* what)
{
    throw boost::system::system_error(error, boost::system::system_category(), what);
}

void check_table_name(const std::string& name)
{
    if (name.size() >= abi::table_name_size)
        throw std::runtime_error("Table name is too long: " + name);
}

struct ipt_getinfo get_info(sockopt_t& socket, const std::string& name)
{
    struct ipt_getinfo info {};
    std::memcpy(info.name, name.data(), name.size());
    socklen_t length = sizeof info;
    if (const int error = socket.get(IPT_SO_GET_INFO, &info, length))
        fail(error, "Cannot get IP table info");
    return info;
}

} // namespace

ipt_table_t read_ipt_table(const std::string& name)
{
    raw_socket_t socket;
    return read_ipt_table(socket, name);
}

ipt_table_t read_ipt_table(sockopt_t& socket, const std::string& name)
{
    check_table_name(name);
    for (int attempt = 1;; ++attempt) {
        const struct ipt_getinfo info = get_info(socket, name);
        std::vector<std::uint8_t> buffer(abi::get_entries_size + info.size);
        struct ipt_get_entries header {};
        std::memcpy(header.name, name.data(), name.size());
        header.size = info.size;
        store(buffer.data(), header);
        socklen_t length = static_cast<socklen_t>(buffer.size());
        // EAGAIN: the table changed between the two calls; its size may differ now.
        if (const int error = socket.get(IPT_SO_GET_ENTRIES, buffer.data(), length)) {
            if (error == EAGAIN && attempt < read_attempts)
                continue;
            fail(error, "Cannot get IP table entries");
        }
        ipt_blob_t blob;
        blob.entries.assign(buffer.begin() + abi::get_entries_size, buffer.end());
        blob.num_entries = info.num_entries;
        for (int hook = 0; hook < NF_INET_NUMHOOKS; ++hook)
            if (info.valid_hooks & (1u << hook))
                blob.hooks[hook] = {info.hook_entry[hook], info.underflow[hook]};
        return parse_ipt_blob(blob, name);
    }
}

void write_ipt_table(const std::string& name, const ipt_table_t& table)
{
    raw_socket_t socket;
    write_ipt_table(socket, name, table);
}

void write_ipt_table(sockopt_t& socket, const std::string& name, const ipt_table_t& table)
{
    const ipt_blob_t blob = make_ipt_blob(table);
    check_table_name(name);

    // The kernel hands back the replaced table's counters through this array.
    const struct ipt_getinfo installed = get_info(socket, name);
    std::vector<struct xt_counters> old_counters(installed.num_entries);
    struct ipt_replace replace {};
    std::memcpy(replace.name, name.data(), name.size());
    replace.num_entries = blob.num_entries;
    replace.size = static_cast<std::uint32_t>(blob.entries.size());
    for (const auto& [hook, where] : blob.hooks) {
        replace.valid_hooks |= 1u << hook;
        replace.hook_entry[hook] = where.first;
        replace.underflow[hook] = where.second;
    }
    replace.num_counters = installed.num_entries;
    replace.counters = old_counters.data();
    std::vector<std::uint8_t> buffer(abi::replace_size + blob.entries.size());
    store(buffer.data(), replace);
    std::memcpy(buffer.data() + abi::replace_size, blob.entries.data(), blob.entries.size());
    if (const int error = socket.set(IPT_SO_SET_REPLACE, buffer.data(), static_cast<socklen_t>(buffer.size())))
        fail(error, "Cannot set IP table entries");

    const std::vector<struct xt_counters> counters
        = counters_to_add(table, {installed.num_entries, installed.size}, old_counters);
    struct xt_counters_info info {};
    std::memcpy(info.name, name.data(), name.size());
    info.num_counters = static_cast<std::uint32_t>(counters.size());
    buffer.assign(abi::counters_info_size + counters.size() * abi::counters_size, 0);
    store(buffer.data(), info);
    std::memcpy(buffer.data() + abi::counters_info_size, counters.data(), counters.size() * abi::counters_size);
    if (const int error = socket.set(IPT_SO_SET_ADD_COUNTERS, buffer.data(), static_cast<socklen_t>(buffer.size())))
        fail(error, "Cannot set IP table counters");
}

const std::string& builtin_chain_name(int hook)
{
    static const std::array<std::string, NF_INET_NUMHOOKS> names{"PREROUTING", "INPUT", "FORWARD", "OUTPUT",
                                                               "POSTROUTING"};
    static const std::string none;
    return hook >= 0 && hook < NF_INET_NUMHOOKS ? names[static_cast<std::size_t>(hook)] : none;
}

bool is_table_missing(const boost::system::error_code& code)
{
    return code == boost::system::errc::no_such_file_or_directory
        || code == boost::system::errc::no_protocol_option;
}

} // namespace fw::linux::iptables
