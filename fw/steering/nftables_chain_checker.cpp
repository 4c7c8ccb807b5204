#include "fw/steering/nftables_chain_checker.hpp"

// glibc's networking headers first: they tell the UAPI headers what not to redefine.
#include <arpa/inet.h>

#include <linux/netfilter/nf_tables.h>
#include <linux/netfilter/nfnetlink.h>
#include <linux/netlink.h>

#include <cerrno>
#include <exception>
#include <string>

#include <boost/asio/generic/datagram_protocol.hpp>
#include <boost/asio/post.hpp>
#include <boost/system/system_error.hpp>

#include "common/error.hpp"
#include "common/log.hpp"
#include "fw/steering/nftables_rules.hpp"
#include "linux/netlink/socket.hpp"
#include "linux/nftables/names.hpp"
#include "linux/nftables/parser.hpp"
#include "linux/nftables/transaction.hpp"
#include "linux/nftables/writer.hpp"

namespace fw::service {

namespace nft = linux::nftables;

namespace {

constexpr std::uint32_t nftables_group = 1u << (NFNLGRP_NFTABLES - 1);
static_assert(nftables_group == 0x40);

std::string name_or_empty(const std::optional<std::string>& name) { return name ? *name : "empty"; }

// The link's failure, described with its category and value.
class chain_check_error_t : public boost::system::system_error {
public:
    explicit chain_check_error_t(boost::system::error_code error)
        : boost::system::system_error(error, "chain check netlink"),
          text_("chain check netlink: " + error.message() + " [" + error.category().name() + ":"
                + std::to_string(error.value()) + "]")
    {
    }
    const char* what() const noexcept override { return text_.c_str(); }

private:
    std::string text_;
};

bool gets_local_path(std::uint8_t family, const nft::nft_chain_t& chain)
{
    if (!chain.hooknum || !chain.table || !chain.name || nft::is_own_table(family, *chain.table))
        return false;
    switch (static_cast<nft::hook_t>(*chain.hooknum)) {
    case nft::hook_t::prerouting:
    case nft::hook_t::input:
    case nft::hook_t::output:
    case nft::hook_t::postrouting: return true;
    default: return false;
    }
}

} // namespace

nft_chain_checker_t::nft_chain_checker_t(boost::asio::io_context& io, nft_socket_source_t sockets)
    : io_(io), sockets_(std::move(sockets))
{
    if (!nft::utils::nft_modules_available())
        return;
    listen();
    cf_log_lazy(log_debug, [] { return "chain checker: started"; });
}

nft_chain_checker_t::~nft_chain_checker_t() = default;

void nft_chain_checker_t::listen()
{
    auto link = std::make_unique<linux::netlink::async::link_t>(io_, linux::netlink::open_netlink_socket(NETLINK_NETFILTER));
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_pid = 0;
    address.nl_groups = nftables_group;
    link->bind(boost::asio::generic::datagram_protocol::endpoint(&address, sizeof address));
    link->start(this);
    link_ = std::move(link);
}

void nft_chain_checker_t::on_error(boost::system::error_code error)
{
    if (error != boost::system::error_code(ENOBUFS, boost::system::system_category()))
        throw chain_check_error_t(error);
    // The socket overflowed: what was changed meanwhile is unknown. The failed
    // link is replaced once its own handler has returned.
    boost::asio::post(io_, guard_.wrap([this] {
        cf_log_lazy(log_warning, [&] {
            return "chain check: nf_tables notifications were lost (No buffer space available); "
                "checking every chain again";
        });
        try {
            listen();
        } catch (const std::exception& e) {
            link_.reset();
            cf_log_lazy(log_warning, [&] {
                return std::string("chain check: cannot listen again, local paths are no longer kept first: ")
                    + e.what();
            });
        }
        resync();
    }));
}

// Other programs' changes can come in floods: what the checker skips is
// warned about rate-limited, one line per window.
void nft_chain_checker_t::on_message(std::uint16_t type, const std::uint8_t* payload, std::size_t size)
{
    if ((type >> 8) != NFNL_SUBSYS_NFTABLES)
        return;
    const std::uint8_t msg = type & 0xff;
    if (msg != NFT_MSG_NEWRULE && msg != NFT_MSG_DELTABLE)
        return;
    if (size == 0) {
        cf_log_rate_limited(log_warning, [] { return "chain check: empty nf_tables notification skipped"; });
        return;
    }
    const std::uint8_t family = payload[0];
    if (family != nft::family_ip && family != nft::family_inet)
        return;
    if (msg == NFT_MSG_NEWRULE)
        on_new_rule(family, payload, size);
    else
        on_deleted_table(family, payload, size);
}

void nft_chain_checker_t::on_new_rule(std::uint8_t family, const std::uint8_t* payload, std::size_t size)
{
    nft::nft_rule_t rule;
    try {
        rule = nft_rule_of(payload, size);
    } catch (const std::exception& e) {
        cf_log_rate_limited(log_warning, [&] {
            return "chain check: a rule of family " + nft_family_name(family) + " cannot be read and is skipped: "
                + e.what();
        });
        return;
    }
    cf_log_lazy(log_debug, [&] {
        return "receive message (NFT_MSG_NEWRULE) : type="
            + std::to_string((NFNL_SUBSYS_NFTABLES << 8) | NFT_MSG_NEWRULE)
            + ", msg_type=" + std::to_string(NFT_MSG_NEWRULE) + ", family=" + std::to_string(family)
            + ", chain name = " + name_or_empty(rule.chain);
    });
    if (!rule.table || !rule.chain) {
        cf_log_rate_limited(log_warning, [&] {
            return "chain check: a rule of family " + nft_family_name(family) + " without table or chain is skipped";
        });
        return;
    }
    if (nft::is_own_table(family, *rule.table))
        return;
    // Before the first install there is no local-delivery mark to write; after
    // a switch to manual configuration the rules are the administrator's.
    if (!params_)
        return;
    keep_first(family, *rule.table, *rule.chain);
}

void nft_chain_checker_t::on_deleted_table(std::uint8_t family, const std::uint8_t* payload, std::size_t size)
{
    if (family != nft::family_ip || !params_)
        return;
    try {
        if (nft_table_of(payload, size).name != nft::own_table)
            return;
    } catch (const std::exception& e) {
        cf_log_rate_limited(log_warning, [&] {
            return std::string("chain check: a deleted table cannot be read: ") + e.what();
        });
        return;
    }
    // Our own deletions (a configuration replacing everything) arrive here
    // after the table was made again; only a table still missing was taken.
    // Whoever took it may have reloaded the other tables as well, with base
    // chains that no rule notification will name.
    if (restore_own_table())
        keep_every_chain_first();
}

void nft_chain_checker_t::keep_first(std::uint8_t family, const std::string& table, const std::string& chain)
{
    try {
        react(family, table, chain);
    } catch (const boost::system::system_error& e) {
        // The table or chain went away before we looked: nothing to keep first.
        if (kv::is_errno(e.code(), ENOENT))
            cf_log_lazy(log_debug, [&] { return "chain check: chain " + chain + " is gone: " + e.what(); });
        else
            cf_log_rate_limited(log_warning, [&] {
                return "chain check: cannot keep the local path first in chain " + chain_text(family, table, chain)
                    + ", the chain is skipped: " + e.what();
            });
    } catch (const std::exception& e) {
        cf_log_rate_limited(log_warning, [&] {
            return "chain check: chain " + chain_text(family, table, chain) + " cannot be read and is skipped: "
                + e.what();
        });
    }
}

void nft_chain_checker_t::react(std::uint8_t family, const std::string& table, const std::string& chain)
{
    auto msg = new_nft_transaction(sockets_);
    msg->single_rule.begin_message(NFT_MSG_GETRULE, family, NLM_F_DUMP);
    msg->single_rule.put_string(NFTA_RULE_TABLE, table);
    msg->single_rule.put_string(NFTA_RULE_CHAIN, chain);
    msg->single_rule.end_message();
    for (const auto& reply : msg->receive_all()) {
        nft::nft_rule_t dumped;
        try {
            dumped = nft_rule_of(reply.payload.begin(), reply.payload.size);
        } catch (const std::exception& e) {
            // Not one of ours: ours are always readable.
            cf_log_rate_limited(log_warning, [&] {
                return "chain check: a rule of chain " + chain + " cannot be read and is skipped: " + e.what();
            });
            continue;
        }
        if (dumped.comment != nft::own_rule_comment)
            continue;
        // An own rule first in its chain: the local path stands.
        if (!dumped.position)
            return;
        const std::uint64_t handle = dumped.handle.value();
        msg->rule.begin_message(NFT_MSG_DELRULE, family, 0);
        msg->rule.put_string(NFTA_RULE_TABLE, dumped.table.value());
        msg->rule.put_string(NFTA_RULE_CHAIN, dumped.chain.value());
        nft::put_rule_handle(msg->rule, handle);
        msg->rule.end_message();
    }
    msg->batch.flush_batch();

    nft::begin_get_chain(msg->single_chain, family, 0);
    nft::put_chain_table(msg->single_chain, table);
    nft::put_chain_name(msg->single_chain, chain);
    msg->single_chain.end_message();
    const auto reply = msg->receive_one();
    if ((reply.type & 0xff) != NFT_MSG_NEWCHAIN) {
        cf_log_lazy(log_notice, [] { return "need NFT_MSG_NEWCHAIN msg type"; });
        return;
    }
    const nft::nft_chain_t description = nft_chain_of(reply.payload.begin(), reply.payload.size);
    cf_log_lazy(log_debug, [&] { return "add fix local path rules to chain : " + name_or_empty(description.name); });
    add_local_path_rules(*msg, description, family, *params_);
    msg->batch.flush_batch();
}

bool nft_chain_checker_t::restore_own_table()
{
    try {
        if (own_table_exists(*new_nft_transaction(sockets_)))
            return false;
    } catch (const boost::system::system_error& e) {
        cf_log_rate_limited(log_warning, [&] {
            return std::string("chain check: cannot look for the own table: ") + e.what();
        });
        return false;
    }
    cf_log_lazy(log_warning, [&] {
        return "nftables table " + std::string(nft::own_table)
            + " was deleted by another program; installing it again";
    });
    try {
        install_nft_rules(*params_, sockets_);
        cf_log_lazy(log_debug, [] { return "nftables rules installed"; });
    } catch (const std::exception& e) {
        cf_log_lazy(log_warning, [&] {
            return "Cannot install nftables table " + std::string(nft::own_table) + " again: " + e.what();
        });
    }
    return true;
}

void nft_chain_checker_t::resync()
{
    if (!params_)
        return;
    restore_own_table();
    keep_every_chain_first();
}

void nft_chain_checker_t::keep_every_chain_first()
{
    std::vector<std::pair<std::uint8_t, nft::nft_chain_t>> chains;
    try {
        auto msg = new_nft_transaction(sockets_);
        for (std::uint8_t family : nft::ipv4_families)
            for (nft::nft_chain_t& chain : dump_chains(*msg, family))
                if (gets_local_path(family, chain))
                    chains.emplace_back(family, std::move(chain));
    } catch (const std::exception& e) {
        cf_log_rate_limited(log_warning, [&] {
            return std::string("chain check: cannot list the chains: ") + e.what();
        });
        return;
    }
    for (const auto& [family, chain] : chains)
        keep_first(family, *chain.table, *chain.name);
}

} // namespace fw::service
