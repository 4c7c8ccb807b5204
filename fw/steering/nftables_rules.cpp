#include "fw/steering/nftables_rules.hpp"

// glibc's networking headers first: they tell the UAPI headers what not to redefine.
#include <arpa/inet.h>
#include <net/if.h>

#include <linux/netfilter.h>
#include <linux/netfilter/nf_tables.h>
#include <linux/netlink.h>

#include <exception>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "common/log.hpp"
#include "linux/nftables/names.hpp"
#include "linux/nftables/parser.hpp"
#include "linux/nftables/transaction.hpp"
#include "linux/nftables/writer.hpp"

namespace fw::service {

namespace nft = linux::nftables;
using nft::utils::nft_msg_t;

namespace {

constexpr std::size_t nfgenmsg_size = 4;
constexpr std::uint8_t tcp_protocol = 6;
constexpr std::uint16_t queue_bypass = 1; // NFT_QUEUE_FLAG_BYPASS
constexpr std::int32_t base_chain_priority = -150;

std::string name_or_empty(const std::optional<std::string>& name) { return name ? *name : "empty"; }

std::uint32_t loopback_index()
{
    return ::if_nametoindex("lo");
}

// The own rules of one install by the sequence number of their message, so
// that a rule the kernel refuses can be named.
using written_rules_t = std::map<std::uint32_t, std::string>;

// An own rule of the own table, `text` its nft syntax: `expressions` writes its expressions.
template <class F>
void write_rule(nft_msg_t& msg, written_rules_t& written, std::string_view chain, std::string_view text,
                F&& expressions)
{
    nft::utils::begin_new_rule(msg, nft::family_ip);
    written[msg.rule.sequence()] = "rule \"" + std::string(text) + "\" in chain " + std::string(chain);
    msg.rule.put_string(NFTA_RULE_TABLE, nft::own_table);
    msg.rule.put_string(NFTA_RULE_CHAIN, chain);
    nft::put_rule_comment(msg.rule, nft::own_rule_comment);
    msg.rule_expressions.open(NFTA_RULE_EXPRESSIONS);
    expressions(msg.rule);
    msg.rule_expressions.close();
    msg.rule.end_message();
}

nft::nft_chain_t add_base_chain(nft_msg_t& msg, std::string_view name, nft::hook_t hook, nft::chain_type_t type)
{
    nft::begin_new_chain(msg.chain, nft::family_ip, NLM_F_CREATE);
    nft::put_chain_table(msg.chain, nft::own_table);
    nft::put_chain_name(msg.chain, name);
    nft::put_chain_hook(msg.chain, hook, base_chain_priority);
    nft::put_chain_type(msg.chain, type);
    msg.chain.end_message();

    static constexpr std::string_view type_names[] = {"filter", "nat", "route"};
    nft::nft_chain_t chain;
    chain.hooknum = static_cast<std::uint32_t>(hook);
    chain.priority = static_cast<std::uint32_t>(base_chain_priority);
    chain.type = std::string(type_names[static_cast<int>(type)]);
    chain.name = std::string(name);
    chain.table = std::string(nft::own_table);
    return chain;
}

} // namespace

void nft_install_failed(const boost::system::system_error& e, const std::string& step)
{
    throw boost::system::system_error(e.code(), "Cannot install nftables rules: " + step);
}

namespace {

template <class Record, class Parse>
Record record_of(const std::uint8_t* payload, std::size_t size, Parse parse)
{
    if (size < nfgenmsg_size)
        throw nft::parse_error_t("nf_tables message shorter than its nfgenmsg (" + std::to_string(size) + " bytes)");
    Record record;
    parse(record, payload + nfgenmsg_size, size - nfgenmsg_size);
    return record;
}

} // namespace

std::string chain_text(std::uint8_t family, const std::string& table, const std::string& chain)
{
    return nft_family_name(family) + " " + table + " " + chain;
}

std::string nft_family_name(std::uint8_t family)
{
    switch (family) {
    case nft::family_ip: return "ip";
    case nft::family_inet: return "inet";
    default: return "family " + std::to_string(family);
    }
}

nft::nft_rule_t nft_rule_of(const std::uint8_t* payload, std::size_t size)
{
    return record_of<nft::nft_rule_t>(payload, size, nft::parse_rule);
}

nft::nft_chain_t nft_chain_of(const std::uint8_t* payload, std::size_t size)
{
    return record_of<nft::nft_chain_t>(payload, size, nft::parse_chain);
}

nft::nft_table_t nft_table_of(const std::uint8_t* payload, std::size_t size)
{
    return record_of<nft::nft_table_t>(payload, size, nft::parse_table);
}

std::unique_ptr<nft_msg_t> new_nft_transaction(const nft_socket_source_t& sockets)
{
    return sockets ? std::make_unique<nft_msg_t>(sockets()) : std::make_unique<nft_msg_t>();
}

void add_local_path_rules(nft_msg_t& msg, const nft::nft_chain_t& chain, std::uint8_t family,
                          const steering_params_t& params)
{
    if (family != nft::family_ip && family != nft::family_inet)
        return;
    const std::string& table = chain.table.value();
    const std::string& name = chain.name.value();
    if (!chain.hooknum || nft::is_own_table(family, table))
        return;
    bool outgoing;
    switch (static_cast<nft::hook_t>(*chain.hooknum)) {
    case nft::hook_t::output:
    case nft::hook_t::postrouting:
        outgoing = true;
        break;
    case nft::hook_t::prerouting:
    case nft::hook_t::input:
        outgoing = false;
        break;
    default:
        return;
    }
    const std::uint32_t ld = params.local_delivery_mark;
    // [meta nfproto ipv4] (oif|iif) lo meta mark & LD == LD accept
    nft::utils::begin_new_rule(msg, family);
    msg.rule.put_string(NFTA_RULE_TABLE, table);
    nft::put_rule_comment(msg.rule, nft::own_rule_comment);
    msg.rule.put_string(NFTA_RULE_CHAIN, name);
    msg.rule_expressions.open(NFTA_RULE_EXPRESSIONS);
    if (family == nft::family_inet)
        nft::match_nfproto_ipv4(msg.rule);
    if (outgoing)
        nft::match_oif(msg.rule, loopback_index());
    else
        nft::match_iif(msg.rule, loopback_index());
    nft::match_meta_mark(msg.rule, ld, ld, 0, nft::cmp_op_t::eq);
    nft::add_verdict(msg.rule, NF_ACCEPT);
    msg.rule_expressions.close();
    msg.rule.end_message();
}

namespace {

struct own_rule_t {
    std::string table;
    std::string chain;
    std::uint64_t handle;
};

std::vector<own_rule_t> own_rules_of(nft_msg_t& msg, std::uint8_t family)
{
    std::vector<own_rule_t> rules;
    msg.single_rule.begin_message(NFT_MSG_GETRULE, family, NLM_F_DUMP).end_message();
    for (const auto& reply : msg.receive_all()) {
        try {
            const auto rule = nft_rule_of(reply.payload.begin(), reply.payload.size);
            if (rule.comment == nft::own_rule_comment)
                rules.push_back({rule.table.value(), rule.chain.value(), rule.handle.value()});
        } catch (const std::exception& e) {
            cf_log_lazy(log_debug, [&] { return std::string("skip rule because: ") + e.what(); });
        }
    }
    return rules;
}

// One batch: the kernel takes all of it or none.
void delete_rules(nft_msg_t& msg, std::uint8_t family, std::span<const own_rule_t> rules)
{
    for (const own_rule_t& rule : rules) {
        msg.rule.begin_message(NFT_MSG_DELRULE, family, 0);
        msg.rule.put_string(NFTA_RULE_CHAIN, rule.chain);
        msg.rule.put_string(NFTA_RULE_TABLE, rule.table);
        nft::put_rule_handle(msg.rule, rule.handle);
        msg.rule.end_message();
    }
    msg.batch.flush_batch();
}

} // namespace

void clear_nft_rules(nft_msg_t& msg)
{
    cf_log_lazy(log_debug, [] { return "start clear rules"; });
    for (std::uint8_t family : nft::ipv4_families) {
        const std::vector<own_rule_t> rules = own_rules_of(msg, family);
        try {
            delete_rules(msg, family, rules);
        } catch (const boost::system::system_error&) {
            // A rule the kernel will not let us delete (in a table another
            // program owns) must not keep the others: one batch each.
            for (const own_rule_t& rule : rules) {
                try {
                    delete_rules(msg, family, {&rule, 1});
                } catch (const boost::system::system_error& e) {
                    if (e.code() == boost::system::errc::no_such_file_or_directory)
                        continue;
                    cf_log_lazy(log_warning, [&] {
                        return "Cannot remove the own rule from chain " + chain_text(family, rule.table, rule.chain)
                            + ": " + e.what();
                    });
                }
            }
        }
    }
    cf_log_lazy(log_debug, [] { return "rules are cleaned"; });
}

void clear_nft_rules(const nft_socket_source_t& sockets) { clear_nft_rules(*new_nft_transaction(sockets)); }

void clear_nft_tables(nft_msg_t& msg)
{
    cf_log_lazy(log_debug, [] { return "start clear tables"; });
    // Only family ip: a table of our name in family inet is another program's.
    try {
        msg.table.begin_message(NFT_MSG_DELTABLE, nft::family_ip, 0).put_string(NFTA_TABLE_NAME, nft::own_table);
        msg.table.end_message();
        msg.batch.flush_batch();
    } catch (const std::exception& e) {
        cf_log_lazy(log_debug, [&] { return std::string("delete table with error : ") + e.what(); });
    }
    cf_log_lazy(log_debug, [] { return "tables are cleaned"; });
}

void clear_nft_tables(const nft_socket_source_t& sockets) { clear_nft_tables(*new_nft_transaction(sockets)); }

void remove_own_nft_objects(nft_msg_t& msg) noexcept
{
    for (void (*step)(nft_msg_t&) : {+[](nft_msg_t& m) { clear_nft_rules(m); },
                                     +[](nft_msg_t& m) { clear_nft_tables(m); }}) {
        try {
            step(msg);
        } catch (const std::exception& e) {
            cf_log_lazy(log_warning, [&] { return std::string("Cannot remove nftables rules: ") + e.what(); });
        }
    }
}

bool own_table_exists(nft_msg_t& msg)
{
    msg.single_table.begin_message(NFT_MSG_GETTABLE, nft::family_ip, 0)
        .put_string(NFTA_TABLE_NAME, nft::own_table)
        .end_message();
    try {
        msg.receive_one();
        return true;
    } catch (const boost::system::system_error& e) {
        if (e.code() == boost::system::errc::no_such_file_or_directory)
            return false;
        throw;
    }
}

namespace {

bool has_own_rules(nft_msg_t& msg)
{
    bool found = false;
    for (std::uint8_t family : nft::ipv4_families) {
        msg.single_rule.begin_message(NFT_MSG_GETRULE, family, NLM_F_DUMP).end_message();
        for (const auto& reply : msg.receive_all()) {
            try {
                found = found || nft_rule_of(reply.payload.begin(), reply.payload.size).comment == nft::own_rule_comment;
            } catch (const std::exception&) {
                // Ours are always readable.
            }
        }
    }
    return found;
}

} // namespace

void remove_nft_leftovers(const nft_socket_source_t& sockets) noexcept
{
    std::unique_ptr<nft_msg_t> msg;
    try {
        msg = new_nft_transaction(sockets);
        if (!has_own_rules(*msg) && !own_table_exists(*msg))
            return;
    } catch (const std::exception& e) {
        cf_log_lazy(log_debug,
                    [&] { return std::string("nftables not checked for an earlier run's rules: ") + e.what(); });
        return;
    }
    cf_log_lazy(log_info, [] { return "Removing the nftables rules an earlier run left"; });
    remove_own_nft_objects(*msg);
}

std::vector<nft::nft_chain_t> dump_chains(nft_msg_t& msg, std::uint8_t family)
{
    std::vector<nft::nft_chain_t> chains;
    nft::begin_get_chain(msg.single_chain, family, NLM_F_DUMP).end_message();
    for (const auto& reply : msg.receive_all()) {
        try {
            chains.push_back(nft_chain_of(reply.payload.begin(), reply.payload.size));
        } catch (const std::exception& e) {
            // Another program's chain we cannot read is not ours to fix.
            cf_log_rate_limited(log_warning, [&] {
                return "A chain of family " + nft_family_name(family) + " cannot be read and is skipped: " + e.what();
            });
        }
    }
    return chains;
}

void fix_local_path(const steering_params_t& params, const nft_socket_source_t& sockets)
{
    cf_log_lazy(log_debug, [] { return "start fix local path"; });
    auto msg = new_nft_transaction(sockets);
    for (std::uint8_t family : nft::ipv4_families) {
        for (const nft::nft_chain_t& chain : dump_chains(*msg, family)) {
            cf_log_lazy(log_debug, [&] { return "check chain : " + name_or_empty(chain.name); });
            // One batch per chain: the kernel refuses a whole batch for one
            // chain it will not let us change (a table another program owns).
            try {
                add_local_path_rules(*msg, chain, family, params);
                msg->batch.flush_batch();
            } catch (const boost::system::system_error& e) {
                cf_log_lazy(log_warning, [&] {
                    return "Cannot add the local-path rule to chain "
                           + chain_text(family, name_or_empty(chain.table), name_or_empty(chain.name))
                           + ", the chain is skipped: " + e.what();
                });
            } catch (const std::bad_optional_access&) {
                cf_log_lazy(log_warning, [&] {
                    return "A chain of family " + nft_family_name(family) + " without table or name is skipped";
                });
            }
        }
    }
    cf_log_lazy(log_debug, [] { return "end fix local path"; });
}

void install_nft_rules(const steering_params_t& params, const nft_socket_source_t& sockets)
{
    std::optional<nft::nft_chain_t> prerouting, output, input, forward;
    {
        auto msg = new_nft_transaction(sockets);
        try {
            msg->table.begin_message(NFT_MSG_NEWTABLE, nft::family_ip, NLM_F_CREATE)
                .put_string(NFTA_TABLE_NAME, nft::own_table);
            msg->table.end_message();
            msg->batch.flush_batch();
        } catch (const boost::system::system_error& e) {
            nft_install_failed(e, "the kernel refused table " + std::string(nft::own_table));
        }
        try {
            prerouting = add_base_chain(*msg, nft::prerouting_chain, nft::hook_t::prerouting, nft::chain_type_t::filter);
            output = add_base_chain(*msg, nft::output_chain, nft::hook_t::output, nft::chain_type_t::route);
            input = add_base_chain(*msg, nft::input_chain, nft::hook_t::input, nft::chain_type_t::filter);
            forward = add_base_chain(*msg, nft::forward_chain, nft::hook_t::forward, nft::chain_type_t::filter);
            msg->batch.flush_batch();
        } catch (const boost::system::system_error& e) {
            nft_install_failed(e, "the kernel refused the base chains of table " + std::string(nft::own_table));
        }
    }

    const std::uint32_t ld = params.local_delivery_mark;
    const std::uint32_t cp = params.client_packets_mark;
    const std::uint32_t sp = params.server_packets_mark;
    const std::uint32_t both = cp | sp;
    using nft::cmp_op_t;
    auto mark = [](nft::message_writer_t& w, std::uint32_t value, std::uint32_t mask, cmp_op_t op = cmp_op_t::eq) {
        nft::match_meta_mark(w, value, mask, 0, op);
    };
    auto ct_mark = [](nft::message_writer_t& w, std::uint32_t value, std::uint32_t mask, cmp_op_t op = cmp_op_t::eq) {
        nft::match_ct_mark(w, value, mask, 0, op);
    };
    auto tcp = [](nft::message_writer_t& w) { nft::match_l4proto(w, tcp_protocol); };

    // Each rule goes to the head of its chain: the chains end up in the reverse
    // of the order written here.
    auto msg = new_nft_transaction(sockets);
    written_rules_t written;
    auto rule = [&](const std::string& chain, std::string_view text, auto&& expressions) {
        write_rule(*msg, written, chain, text, expressions);
    };
    try {
        if (params.process_ip_security_option) {
            for (const steering_divert_t& divert : params.diverts) {
                const std::uint32_t dv = divert.mark;
                if (dv == 0)
                    continue;
                rule(output->name.value(), "mark & (CP|SP|DV) == SP|DV ct mark set ct mark | DV",
                     [&](nft::message_writer_t& w) {
                         mark(w, sp | dv, both | dv);
                         nft::set_ct_mark(w, dv, dv);
                     });
                rule(input->name.value(),
                     "tcp flags & (syn|ack) == syn|ack mark & (CP|SP) == 0 ct mark & (CP|SP|DV) == SP|DV counter queue",
                     [&](nft::message_writer_t& w) {
                         tcp(w);
                         nft::match_tcp_flags(w, 0x12, 0x12);
                         mark(w, 0, both);
                         ct_mark(w, sp | dv, both | dv);
                         nft::add_counter(w);
                         nft::add_queue(w, divert.queue, queue_bypass);
                     });
            }
        }
        auto to_listener = [&](nft::message_writer_t& w) {
            nft::add_tproxy(w, params.tproxy_address, params.tproxy_port, NFPROTO_IPV4);
            nft::set_meta_mark(w, ld, ld);
            nft::add_counter(w);
            nft::add_verdict(w, NF_ACCEPT);
        };
        // The daemon's re-sent SYN and every other packet of the connections it carries.
        rule(prerouting->name.value(),
             "tcp mark & (CP|SP) != CP|SP ct mark & (CP|SP) == CP tproxy meta mark set mark | LD counter accept",
             [&](nft::message_writer_t& w) {
                 tcp(w);
                 mark(w, both, both, cmp_op_t::neq);
                 ct_mark(w, cp, both);
                 to_listener(w);
             });
        // A client's SYN on a connection marked ours stays with it only while a
        // socket of the daemon's answers it (the iptables rules say why);
        // otherwise the entry is no longer ours. Sockets bound to 0.0.0.0
        // count here, unlike in the iptables match: nf_tables can pass them
        // over only for full sockets, and a SYN met by the handshake of the
        // daemon's listener must stay with it.
        auto client_syn_of_ours = [&](nft::message_writer_t& w) {
            tcp(w);
            nft::match_tcp_flags(w, 0x12, 0x02);
            mark(w, 0, both);
            ct_mark(w, cp, both);
        };
        rule(prerouting->name.value(),
             "tcp flags & (syn|ack) == syn mark & (CP|SP) == 0 ct mark & (CP|SP) == CP ct mark set ct mark & ~(CP|SP) "
             "counter",
             [&](nft::message_writer_t& w) {
                 client_syn_of_ours(w);
                 nft::set_ct_mark(w, both, 0);
                 nft::add_counter(w);
             });
        rule(prerouting->name.value(),
             "tcp flags & (syn|ack) == syn mark & (CP|SP) == 0 ct mark & (CP|SP) == CP socket transparent 1 tproxy "
             "meta mark set mark | LD counter accept",
             [&](nft::message_writer_t& w) {
                 client_syn_of_ours(w);
                 nft::match_transparent_socket(w);
                 to_listener(w);
             });
        rule(prerouting->name.value(), "mark & (CP|SP) == 0 ct mark & (CP|SP) == SP meta mark set mark | LD counter",
             [&](nft::message_writer_t& w) {
                 mark(w, 0, both);
                 ct_mark(w, sp, both);
                 nft::set_meta_mark(w, ld, ld);
                 nft::add_counter(w);
             });
        rule(output->name.value(), "mark & (CP|SP) == 0 ct mark & (CP|SP) != 0 meta mark set mark | LD counter",
             [&](nft::message_writer_t& w) {
                 mark(w, 0, both);
                 ct_mark(w, 0, both, cmp_op_t::neq);
                 nft::set_meta_mark(w, ld, ld);
                 nft::add_counter(w);
             });
        rule(output->name.value(), "mark & (CP|SP) == SP ct mark set SP counter", [&](nft::message_writer_t& w) {
            mark(w, sp, both);
            nft::set_ct_mark(w, 0xffffffffu, sp);
            nft::add_counter(w);
        });
        rule(output->name.value(), "mark & (CP|SP) == CP ct mark set CP counter", [&](nft::message_writer_t& w) {
            mark(w, cp, both);
            nft::set_ct_mark(w, 0xffffffffu, cp);
            nft::add_counter(w);
        });
        for (const steering_divert_t& divert : params.diverts) {
            const auto hook = static_cast<nft::hook_t>(divert.hook);
            const nft::nft_chain_t& chain = hook == nft::hook_t::output ? *output
                                            : hook == nft::hook_t::input ? *input
                                                                         : *forward;
            // A SYN marked LD was steered to a socket of the daemon's that
            // answers it: the client, reset by the answer, sends its SYN anew
            // as a new connection.
            // Another program's transparent proxy has its SYNs to foreign
            // addresses delivered to the input chain too; only connections to
            // the host's own addresses are ours.
            const bool local_only = hook == nft::hook_t::input;
            rule(chain.name.value(),
                 std::string("tcp flags & (syn|ack) == syn mark & (CP|SP|LD) == 0 ")
                     + (local_only ? "fib daddr type local " : "") + "counter queue " + std::to_string(divert.queue),
                 [&](nft::message_writer_t& w) {
                     tcp(w);
                     nft::match_tcp_flags(w, 0x12, 0x02);
                     mark(w, 0, both | ld);
                     if (local_only)
                         nft::match_local_destination(w);
                     nft::add_counter(w);
                     nft::add_queue(w, divert.queue, queue_bypass);
                 });
        }
        msg->batch.flush_batch();
    } catch (const boost::system::system_error& e) {
        const auto refused = msg->refused_sequence();
        const auto it = refused ? written.find(*refused) : written.end();
        nft_install_failed(e, it == written.end() ? std::string("the kernel refused the steering rules")
                                              : "the kernel refused " + it->second);
    }
}

} // namespace fw::service
