#include "fw/steering/iptables_rules.hpp"

#include <algorithm>
#include <array>
#include <iterator>
#include <stdexcept>

#include "common/log.hpp"
#include "linux/iptables/extensions.hpp"

namespace fw::service {

namespace ipt = linux::iptables;

// ---- extensions at the kernel's revisions -----------------------------------

ipt::xt_blob_t ipt_extensions_t::tproxy_target(std::uint32_t address, std::uint16_t port,
                                               std::uint32_t mark_value, std::uint32_t mark_mask) const
{
    return ipt::make_tproxy_target(address, port, mark_value, mark_mask);
}

ipt::xt_blob_t ipt_extensions_t::nfqueue_target(std::uint16_t queue, bool bypass) const
{
    return ipt::make_nfqueue_target(queue, bypass);
}

ipt::xt_blob_t ipt_extensions_t::mark_target(std::uint32_t mark, std::uint32_t mask) const
{
    return ipt::make_mark_target(mark, mask);
}

ipt::xt_blob_t ipt_extensions_t::connmark_target(std::uint8_t mode, std::uint32_t ctmark, std::uint32_t nfmask,
                                                 std::uint32_t ctmask) const
{
    return ipt::make_connmark_target(mode, ctmark, nfmask, ctmask);
}

ipt::xt_blob_t ipt_extensions_t::mark_match(std::uint32_t mark, std::uint32_t mask, bool invert) const
{
    return ipt::make_mark_match(mark, mask, invert);
}

ipt::xt_blob_t ipt_extensions_t::connmark_match(std::uint32_t mark, std::uint32_t mask, bool invert) const
{
    return ipt::make_connmark_match(mark, mask, invert);
}

ipt::xt_blob_t ipt_extensions_t::transparent_socket_match() const
{
    return ipt::make_transparent_socket_match();
}

const ipt_extensions_t& kernel_extensions()
{
    static const ipt_extensions_t extensions;
    return extensions;
}

// ---- names -------------------------------------------------------------------

namespace {

constexpr int prerouting = 0, input = 1, output = 3, postrouting = 4;
constexpr std::uint16_t tcp = 6;
constexpr std::uint8_t syn = 0x02, syn_ack = 0x12;

} // namespace

// ---- rules -------------------------------------------------------------------

namespace {

ipt::ipt_rule_t own_rule(std::uint16_t proto, std::vector<ipt::xt_blob_t> matches, ipt::ipt_target_t target)
{
    ipt::ipt_rule_t rule = ipt::make_own_rule();
    rule.set_proto(proto);
    std::move(matches.begin(), matches.end(), std::back_inserter(rule.matches));
    rule.target = std::move(target);
    return rule;
}

void set_out_interface(ipt::ipt_rule_t& rule, const std::string& name)
{
    if (name.size() > 14)
        throw std::runtime_error("iface name too long: " + name);
    ipt::iface_bytes_t iface{}, mask{};
    std::copy(name.begin(), name.end(), iface.begin());
    std::fill_n(mask.begin(), name.size() + 1, 0xFF);
    rule.set_outiface(iface);
    rule.set_outiface_mask(mask);
}

// With bypass the host keeps its connections while no queue is bound; a kernel
// too old for it still gets the rule.
ipt::xt_blob_t nfqueue_target(const ipt_extensions_t& extensions, std::uint16_t queue)
{
    try {
        return extensions.nfqueue_target(queue, true);
    } catch (const std::runtime_error& e) {
        cf_log_lazy(log_debug, [&] { return std::string("NFQUEUE target: ") + e.what(); });
    }
    return extensions.nfqueue_target(queue, false);
}

} // namespace

void add_nat_rules(ipt::ipt_table_t& table, const steering_params_t& params, const ipt_extensions_t& extensions)
{
    const std::uint32_t ld = params.local_delivery_mark;
    // -o lo -m mark --mark LD/LD -j ACCEPT
    ipt::ipt_rule_t rule = own_rule(0, {extensions.mark_match(ld, ld, false)}, ipt::ipt_verdict_t::ACCEPT);
    set_out_interface(rule, "lo");
    auto& rules = table.builtin_chains[postrouting].rules;
    rules.insert(rules.begin(), std::move(rule));
}

void add_mangle_rules(ipt::ipt_table_t& table, const steering_params_t& params,
                      const ipt_extensions_t& extensions)
{
    const std::uint32_t ld = params.local_delivery_mark;
    const std::uint32_t cp = params.client_packets_mark;
    const std::uint32_t sp = params.server_packets_mark;
    const std::uint32_t ours = cp | sp;
    auto append = [&](int hook, ipt::ipt_rule_t rule) { table.builtin_chains[hook].rules.push_back(std::move(rule)); };
    auto connmark_set = [&](std::uint32_t mark, std::uint32_t mask) {
        return extensions.connmark_target(XT_CONNMARK_SET, mark, 0xFFFFFFFF, mask);
    };

    // -m mark --mark 0/CP|SP -m connmark --mark SP/CP|SP -j MARK --set-xmark LD/LD
    append(prerouting, own_rule(0, {extensions.mark_match(0, ours, false), extensions.connmark_match(sp, ours, false)},
                                extensions.mark_target(ld, ld)));
    auto tproxy = [&] { return extensions.tproxy_target(params.tproxy_address, params.tproxy_port, ld, ld); };
    // A client's SYN on a connection marked ours stays with it only while a
    // socket of the daemon's answers it: the client's port comes again while
    // the checked connection lives here (that socket answers, the client resets
    // it and sends its SYN anew), or the client repeats a SYN the listener is
    // answering. When this host lost the connection without conntrack seeing
    // its end, the entry lives on (ESTABLISHED for days) and the SYN is a new
    // connection: the entry stops being ours, so neither the SYN nor anything
    // after it goes to the listener, whatever the verdict. The match passes
    // over sockets bound to 0.0.0.0, which answer no connection of ours.
    // -p tcp --tcp-flags SYN,ACK SYN -m mark --mark 0/CP|SP -m connmark --mark CP/CP|SP
    //   -m socket --transparent -j TPROXY --tproxy-mark LD/LD
    // -p tcp --tcp-flags SYN,ACK SYN -m mark --mark 0/CP|SP -m connmark --mark CP/CP|SP
    //   -j CONNMARK --set-xmark 0/CP|SP
    const std::vector<ipt::xt_blob_t> client_syn_of_ours{
        ipt::make_tcp_match(syn_ack, syn), extensions.mark_match(0, ours, false),
        extensions.connmark_match(cp, ours, false)};
    std::vector<ipt::xt_blob_t> answered = client_syn_of_ours;
    answered.push_back(extensions.transparent_socket_match());
    append(prerouting, own_rule(tcp, std::move(answered), tproxy()));
    append(prerouting, own_rule(tcp, client_syn_of_ours, connmark_set(0, ours)));
    // The daemon's re-sent SYN and every other packet of the connections it carries.
    // -p tcp -m mark ! --mark CP|SP/CP|SP -m connmark --mark CP/CP|SP -j TPROXY --tproxy-mark LD/LD
    append(prerouting,
           own_rule(tcp, {extensions.mark_match(ours, ours, true), extensions.connmark_match(cp, ours, false)},
                    tproxy()));
    // -p tcp --tcp-flags SYN,ACK SYN -m mark --mark 0/CP|SP|LD -j NFQUEUE --queue-bypass
    // INPUT: -p tcp --tcp-flags SYN,ACK SYN -m mark --mark 0/CP|SP|LD -m addrtype --dst-type LOCAL
    //   -j NFQUEUE --queue-bypass
    // A SYN marked LD was steered above to a socket of the daemon's that
    // answers it: the client, reset by the answer, sends its SYN anew, which
    // then comes here as a new connection.
    // Another program's transparent proxy has its SYNs to foreign addresses
    // delivered here; only connections to the host's own addresses are ours.
    for (const steering_divert_t& divert : params.diverts) {
        ipt::ipt_rule_t rule = own_rule(
            tcp, {ipt::make_tcp_match(syn_ack, syn), extensions.mark_match(0, ours | ld, false)},
            nfqueue_target(extensions, divert.queue));
        if (divert.hook == input)
            rule.matches.push_back(ipt::make_local_destination_match());
        append(divert.hook, std::move(rule));
    }
    // -m mark --mark CP/CP|SP -j CONNMARK --set-xmark CP/0xffffffff
    append(output, own_rule(0, {extensions.mark_match(cp, ours, false)}, connmark_set(cp, 0xFFFFFFFF)));
    // -m mark --mark SP/CP|SP -j CONNMARK --set-xmark SP/0xffffffff
    append(output, own_rule(0, {extensions.mark_match(sp, ours, false)}, connmark_set(sp, 0xFFFFFFFF)));
    // -m mark --mark 0/CP|SP -m connmark ! --mark 0/CP|SP -j MARK --set-xmark LD/LD
    append(output, own_rule(0, {extensions.mark_match(0, ours, false), extensions.connmark_match(0, ours, true)},
                            extensions.mark_target(ld, ld)));

    if (!params.process_ip_security_option)
        return;
    // The server side of a diverted connection is remembered in the connection
    // mark, so that its SYN|ACK can be queued for the IP security option.
    for (const steering_divert_t& divert : params.diverts) {
        const std::uint32_t dv = divert.mark;
        if (dv == 0)
            continue;
        // -m mark --mark SP|DV/CP|SP|DV -j CONNMARK --set-xmark DV/DV
        append(output, own_rule(0, {extensions.mark_match(sp | dv, ours | dv, false)}, connmark_set(dv, dv)));
        // -p tcp --tcp-flags SYN,ACK SYN,ACK -m mark --mark 0/CP|SP -m connmark --mark SP|DV/CP|SP|DV -j NFQUEUE
        append(input, own_rule(tcp,
                               {ipt::make_tcp_match(syn_ack, syn_ack), extensions.mark_match(0, ours, false),
                                extensions.connmark_match(sp | dv, ours | dv, false)},
                               nfqueue_target(extensions, divert.queue)));
    }
}

void remove_own_rules(ipt::ipt_table_t& table)
{
    for (auto& [hook, chain] : table.builtin_chains)
        std::erase_if(chain.rules, ipt::is_own_rule);

    const std::string divert_chain(divert_user_chain);
    if (!table.user_chains.contains(divert_chain))
        return;
    auto refuse_references = [&](const std::string& name, const std::vector<ipt::ipt_rule_t>& rules) {
        for (const ipt::ipt_rule_t& rule : rules) {
            const auto* jump = std::get_if<ipt::ipt_jump_t>(&rule.target);
            if (jump && jump->chain == divert_chain)
                throw std::runtime_error("chain " + divert_chain + " is referenced from chain " + name
                                         + " (this might be caused by improper iptables manual configuration)");
        }
    };
    for (const auto& [hook, chain] : table.builtin_chains)
        refuse_references(ipt::builtin_chain_name(hook), chain.rules);
    for (const auto& [name, chain] : table.user_chains)
        refuse_references(name, chain.rules);
    table.user_chains.erase(divert_chain);
}

} // namespace fw::service
