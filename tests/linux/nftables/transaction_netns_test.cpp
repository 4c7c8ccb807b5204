// nf_tables on the real kernel, in the test's own network namespace: objects
// written by our builders, read back by our parser, witnessed by `nft`.
#include "linux/nftables/names.hpp"
#include "linux/nftables/parser.hpp"
#include "linux/nftables/transaction.hpp"
#include "linux/nftables/writer.hpp"
#include "tests/support/netns.hpp"

#include <boost/system/system_error.hpp>
#include <gtest/gtest.h>

#include <linux/netfilter/nf_tables.h>
#include <linux/netfilter/nfnetlink.h>
#include <linux/netlink.h>

#include <cerrno>
#include <iomanip>
#include <iostream>
#include <map>
#include <net/if.h>
#include <sstream>
#include <sys/socket.h>

using namespace fw::linux::nftables;
using fw::linux::nftables::utils::nft_msg_t;
using morva_test::sh;

namespace {

constexpr std::uint32_t LD = 0x1, CP = 0x2, SP = 0x4;
constexpr std::uint32_t accept_verdict = 1;

struct ruleset_guard_t {
    ruleset_guard_t() { sh("nft flush ruleset"); }
    ~ruleset_guard_t() { morva_test::sh_status("nft flush ruleset"); }
};

// No datagram left on the socket.
bool socket_drained(const nft_msg_t& msg)
{
    char byte;
    return ::recv(msg.link.fd(), &byte, 1, MSG_DONTWAIT | MSG_PEEK) < 0 && errno == EAGAIN;
}

void new_table(nft_msg_t& msg, std::uint8_t family, std::string_view name)
{
    msg.table.begin_message(NFT_MSG_NEWTABLE, family, NLM_F_CREATE).put_string(NFTA_TABLE_NAME, name).end_message();
}

void new_chain(nft_msg_t& msg, std::uint8_t family, std::string_view table, std::string_view name, hook_t hook,
               chain_type_t type)
{
    begin_new_chain(msg.chain, family, NLM_F_CREATE);
    put_chain_table(msg.chain, table);
    put_chain_name(msg.chain, name);
    put_chain_hook(msg.chain, hook, -150);
    put_chain_type(msg.chain, type);
    msg.chain.end_message();
}

template <class F>
void new_rule(nft_msg_t& msg, std::uint8_t family, std::string_view table, std::string_view chain, F&& expressions)
{
    utils::begin_new_rule(msg, family);
    msg.rule.put_string(NFTA_RULE_TABLE, table);
    put_rule_comment(msg.rule, own_rule_comment);
    msg.rule.put_string(NFTA_RULE_CHAIN, chain);
    msg.rule_expressions.open(NFTA_RULE_EXPRESSIONS);
    expressions(msg.rule);
    msg.rule_expressions.close();
    msg.rule.end_message();
}

std::vector<nft_rule_t> dump_rules(std::uint8_t family)
{
    nft_msg_t msg;
    msg.single_rule.begin_message(NFT_MSG_GETRULE, family, NLM_F_DUMP).end_message();
    std::vector<nft_rule_t> rules;
    for (auto& reply : msg.receive_all()) {
        EXPECT_EQ(reply.type, (NFNL_SUBSYS_NFTABLES << 8) | NFT_MSG_NEWRULE);
        nft_rule_t& rule = rules.emplace_back();
        parse_rule(rule, reply.payload.begin() + 4, reply.payload.size - 4);
    }
    return rules;
}

std::string hex32(std::uint32_t v)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08x", v);
    return buf;
}

// A parsed rule in the notation of `nft --debug=netlink`, one line per
// expression; kinds our parser does not read are "other".
std::string render(const nft_rule_t& rule)
{
    static const char* ops[] = {"eq", "neq", "lt", "lte", "gt", "gte"};
    static const std::map<std::uint32_t, const char*> meta_keys = {
        {NFT_META_MARK, "mark"}, {NFT_META_IIF, "iif"}, {NFT_META_OIF, "oif"},
        {NFT_META_NFPROTO, "nfproto"}, {NFT_META_L4PROTO, "l4proto"}};
    std::ostringstream out;
    for (const expression_t& e : rule.expressions) {
        out << "[ ";
        if (auto* m = std::get_if<meta_t>(&e)) {
            if (m->dreg)
                out << "meta load " << meta_keys.at(*m->key) << " => reg " << *m->dreg;
            else
                out << "meta set " << meta_keys.at(*m->key) << " with reg " << *m->sreg;
        } else if (auto* c = std::get_if<ct_t>(&e)) {
            if (c->dreg)
                out << "ct load mark => reg " << *c->dreg;
            else
                out << "ct set mark with reg " << *c->sreg;
        } else if (auto* b = std::get_if<bitwise_t>(&e)) {
            out << "bitwise reg " << *b->dreg << " = ( reg " << *b->sreg << " & " << hex32(*b->mask) << " ) ^ "
                << hex32(*b->xor_value);
        } else if (auto* c = std::get_if<cmp_t>(&e)) {
            out << "cmp " << ops[*c->op] << " reg " << *c->sreg << " " << hex32(*c->data);
        } else if (auto* i = std::get_if<immediate_t>(&e)) {
            if (i->verdict)
                out << "immediate reg " << *i->dreg << " " << (*i->verdict == accept_verdict ? "accept" : "?");
            else
                out << "immediate reg " << *i->dreg << " " << hex32(*i->value);
        } else {
            out << "other";
        }
        out << " ]\n";
    }
    return out.str();
}

// `nft --debug=netlink list ruleset`: per rule ("family table chain handle [position]"), its expression lines.
std::map<std::string, std::string> witness_rules()
{
    std::map<std::string, std::string> rules;
    std::istringstream in(sh("nft --debug=netlink list ruleset"));
    std::string line, current;
    while (std::getline(in, line)) {
        if (line.rfind("ip ", 0) == 0 || line.rfind("inet ", 0) == 0) {
            current = line;
            rules[current];
        } else if (!current.empty() && line.rfind("  [ ", 0) == 0) {
            std::string e = line.substr(2);
            for (const char* other : {"[ payload", "[ counter", "[ tproxy", "[ queue", "[ lookup"})
                if (e.rfind(other, 0) == 0)
                    e = "[ other ]";
            rules[current] += e + "\n";
        } else if (line.empty() || line[0] != ' ') {
            current.clear();
        }
    }
    return rules;
}

std::string rule_key(std::uint8_t family, const nft_rule_t& r)
{
    std::string key = (family == family_ip ? "ip " : "inet ") + r.table.value() + " " + r.chain.value() + " "
                      + std::to_string(r.handle.value());
    if (r.position)
        key += " " + std::to_string(*r.position);
    return key;
}

// Asks for one chain of the own table on the single chain writer.
void query_chain(nft_msg_t& msg, std::string_view name)
{
    begin_get_chain(msg.single_chain, family_ip, 0);
    put_chain_table(msg.single_chain, own_table);
    put_chain_name(msg.single_chain, name);
    msg.single_chain.end_message();
}

void install_own_objects()
{
    nft_msg_t msg;
    new_table(msg, family_ip, own_table);
    new_table(msg, family_inet, "foreign");
    msg.batch.flush_batch();
    new_chain(msg, family_ip, own_table, prerouting_chain, hook_t::prerouting, chain_type_t::filter);
    new_chain(msg, family_ip, own_table, output_chain, hook_t::output, chain_type_t::route);
    new_chain(msg, family_ip, own_table, input_chain, hook_t::input, chain_type_t::filter);
    new_chain(msg, family_ip, own_table, forward_chain, hook_t::forward, chain_type_t::filter);
    new_chain(msg, family_inet, "foreign", "in", hook_t::input, chain_type_t::filter);
    msg.batch.flush_batch();
}

TEST(nft_transaction, rules_with_every_expression_kind_read_back_as_nft_reads_them)
{
    ruleset_guard_t guard;
    install_own_objects();
    const std::uint32_t lo = ::if_nametoindex("lo");
    ASSERT_NE(lo, 0u);
    nft_msg_t msg;
    // tcp; mark != (CP|SP)/(CP|SP); ct mark CP/(CP|SP); tproxy; set mark |= LD; counter; accept
    new_rule(msg, family_ip, own_table, prerouting_chain, [&](message_writer_t& w) {
        match_l4proto(w, 6);
        match_meta_mark(w, CP | SP, CP | SP, 0, cmp_op_t::neq);
        match_ct_mark(w, CP, CP | SP, 0, cmp_op_t::eq);
        add_tproxy(w, 0x7f000001, 8080, family_ip);
        set_meta_mark(w, LD, LD);
        add_counter(w);
        add_verdict(w, accept_verdict);
    });
    // mark SP/(CP|SP); set ct mark := SP; counter
    new_rule(msg, family_ip, own_table, output_chain, [&](message_writer_t& w) {
        match_meta_mark(w, SP, CP | SP, 0, cmp_op_t::eq);
        set_ct_mark(w, 0xffffffff, SP);
        add_counter(w);
    });
    // tcp; tcp flags 0x12/0x12; mark 0/(CP|SP); ct mark != 0/(CP|SP); set ct mark |= SP; counter
    new_rule(msg, family_ip, own_table, input_chain, [&](message_writer_t& w) {
        match_l4proto(w, 6);
        match_tcp_flags(w, 0x12, 0x12);
        match_meta_mark(w, 0, CP | SP, 0, cmp_op_t::eq);
        match_ct_mark(w, 0, CP | SP, 0, cmp_op_t::neq);
        set_ct_mark(w, SP, SP);
        add_counter(w);
    });
    // oif lo; mark LD/LD; accept
    new_rule(msg, family_ip, own_table, output_chain, [&](message_writer_t& w) {
        match_oif(w, lo);
        match_meta_mark(w, LD, LD, 0, cmp_op_t::eq);
        add_verdict(w, accept_verdict);
    });
    // meta nfproto ipv4; iif lo; mark LD/LD; accept
    new_rule(msg, family_inet, "foreign", "in", [&](message_writer_t& w) {
        match_nfproto_ipv4(w);
        match_iif(w, lo);
        match_meta_mark(w, LD, LD, 0, cmp_op_t::eq);
        add_verdict(w, accept_verdict);
    });
    msg.batch.flush_batch();

    std::map<std::string, std::string> witness = witness_rules();
    std::size_t compared = 0;
    for (std::uint8_t family : {family_ip, family_inet}) {
        for (const nft_rule_t& rule : dump_rules(family)) {
            std::string key = rule_key(family, rule);
            ASSERT_TRUE(witness.count(key)) << key;
            EXPECT_EQ(render(rule), witness[key]) << key;
            EXPECT_EQ(rule.comment, own_rule_comment);
            ++compared;
        }
    }
    EXPECT_EQ(compared, 5u);
    EXPECT_EQ(witness.size(), 5u);
    // The rules went to the head of their chains: the later output rule comes first.
    std::string listing = sh("nft list chain ip morva-firewall output");
    EXPECT_LT(listing.find("oif \"lo\""), listing.find("ct mark set"));
}

TEST(nft_transaction, chains_read_back_with_hook_priority_and_type)
{
    ruleset_guard_t guard;
    install_own_objects();
    nft_msg_t msg;
    begin_get_chain(msg.single_chain, family_ip, NLM_F_DUMP).end_message();
    std::map<std::string, nft_chain_t> chains;
    for (auto& reply : msg.receive_all()) {
        nft_chain_t chain;
        parse_chain(chain, reply.payload.begin() + 4, reply.payload.size - 4);
        chains[chain.name.value()] = chain;
    }
    struct {
        std::string_view name;
        hook_t hook;
        const char* type;
    } expected[] = {{prerouting_chain, hook_t::prerouting, "filter"},
                    {output_chain, hook_t::output, "route"},
                    {input_chain, hook_t::input, "filter"},
                    {forward_chain, hook_t::forward, "filter"}};
    ASSERT_EQ(chains.size(), 4u);
    for (auto& e : expected) {
        const nft_chain_t& c = chains.at(std::string(e.name));
        EXPECT_EQ(c.table, own_table);
        EXPECT_EQ(c.hooknum, static_cast<std::uint32_t>(e.hook));
        EXPECT_EQ(c.priority, static_cast<std::uint32_t>(-150));
        EXPECT_EQ(c.type, e.type);
    }
    // The witness agrees (priority -150 is nft's "mangle").
    std::string listing = sh("nft list table ip morva-firewall");
    EXPECT_NE(listing.find("chain output {\n\t\ttype route hook output priority mangle;"), std::string::npos) << listing;
    EXPECT_NE(listing.find("chain prerouting {\n\t\ttype filter hook prerouting priority mangle;"), std::string::npos);
}

TEST(nft_transaction, every_message_of_a_batch_is_acknowledged_and_counted)
{
    ruleset_guard_t guard;
    nft_msg_t msg;
    new_table(msg, family_ip, "t1");
    new_table(msg, family_ip, "t2");
    new_table(msg, family_ip, "t3");
    const std::uint32_t count = msg.batch.info().count + 1; // with the END still to come
    msg.batch.flush_batch();
    // Either the kernel acknowledges BEGIN and END as well, or only the three tables.
    EXPECT_TRUE(msg.acknowledgements() == count || msg.acknowledgements() == count - 2) << msg.acknowledgements();
    EXPECT_TRUE(socket_drained(msg));
    EXPECT_NE(sh("nft list tables").find("table ip t3"), std::string::npos);
}

TEST(nft_transaction, error_acknowledgement_inside_a_batch_is_reported_with_its_errno)
{
    ruleset_guard_t guard;
    nft_msg_t msg;
    new_table(msg, family_ip, "kept-out");
    new_rule(msg, family_ip, "kept-out", "no-such-chain", [](message_writer_t& w) { add_counter(w); });
    new_table(msg, family_ip, "also-kept-out");
    try {
        msg.batch.flush_batch();
        FAIL() << "the kernel's refusal was not reported";
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(e.code().value(), ENOENT);
        EXPECT_EQ(std::string(e.what()).rfind("NETLINK error received", 0), 0u) << e.what();
    }
    // The batch is one transaction: nothing of it was applied.
    EXPECT_EQ(sh("nft list tables"), "");
    // The acknowledgements left behind by the failed batch do not confuse the next one.
    new_table(msg, family_ip, "after");
    const std::uint32_t before = msg.acknowledgements();
    msg.batch.flush_batch();
    EXPECT_GE(msg.acknowledgements() - before, 1u);
    EXPECT_NE(sh("nft list tables").find("table ip after"), std::string::npos);
}

// Fault: a single query asked for an acknowledgement but took only its reply; the
// acknowledgement stayed on the socket, the next batch counted it as its own,
// stopped early and reported success although the kernel refused a rule.
TEST(nft_transaction, a_query_drains_its_acknowledgement_so_the_next_batch_sees_its_own_error)
{
    ruleset_guard_t guard;
    install_own_objects();
    nft_msg_t msg;

    // What the query leaves behind when only its reply is read: one acknowledgement.
    query_chain(msg, output_chain);
    auto naive = msg.link.receive_one();
    EXPECT_EQ(naive.type, (NFNL_SUBSYS_NFTABLES << 8) | NFT_MSG_NEWCHAIN);
    EXPECT_FALSE(socket_drained(msg));

    // A batch whose rule the kernel refuses must still fail, stale acknowledgement or not.
    new_rule(msg, family_ip, own_table, "no-such-chain", [](message_writer_t& w) { add_counter(w); });
    try {
        msg.batch.flush_batch();
        FAIL() << "the refused rule was reported as success";
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(e.code().value(), ENOENT);
    }

    // Our query takes its reply and its acknowledgement.
    nft_msg_t fresh;
    query_chain(fresh, output_chain);
    auto reply = fresh.receive_one();
    ASSERT_EQ(reply.type, (NFNL_SUBSYS_NFTABLES << 8) | NFT_MSG_NEWCHAIN);
    nft_chain_t chain;
    parse_chain(chain, reply.payload.begin() + 4, reply.payload.size - 4);
    EXPECT_EQ(chain.name, output_chain);
    EXPECT_TRUE(socket_drained(fresh));

    new_rule(fresh, family_ip, own_table, "no-such-chain", [](message_writer_t& w) { add_counter(w); });
    EXPECT_THROW(fresh.batch.flush_batch(), boost::system::system_error);
    new_rule(fresh, family_ip, own_table, output_chain, [](message_writer_t& w) { add_counter(w); });
    fresh.batch.flush_batch();
    EXPECT_EQ(dump_rules(family_ip).size(), 1u);
}

TEST(nft_transaction, query_for_a_missing_chain_reports_enoent)
{
    ruleset_guard_t guard;
    install_own_objects();
    nft_msg_t msg;
    query_chain(msg, "missing");
    try {
        msg.receive_one();
        FAIL();
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(e.code().value(), ENOENT);
    }
    EXPECT_TRUE(socket_drained(msg));
}

} // namespace
