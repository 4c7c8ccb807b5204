#include "fw/service/nftables_chain_checker.hpp"

// glibc's networking headers first: they tell the UAPI headers what not to redefine.
#include <arpa/inet.h>

#include <linux/netfilter/nf_tables.h>
#include <linux/netfilter/nfnetlink.h>
#include <linux/netlink.h>

#include <cerrno>
#include <string>

#include <boost/asio/generic/datagram_protocol.hpp>
#include <boost/system/system_error.hpp>

#include "common/log.hpp"
#include "linux/netlink/socket.hpp"
#include "linux/nftables/names.hpp"
#include "linux/nftables/parser.hpp"
#include "linux/nftables/transaction.hpp"
#include "linux/nftables/writer.hpp"

namespace fw::service {

namespace nft = linux::nftables;

namespace {

constexpr int netlink_netfilter = 12;
constexpr std::uint32_t nftables_group = 1u << (NFNLGRP_NFTABLES - 1);
static_assert(nftables_group == 0x40);

void debug(const std::string& line)
{
    if (cf_log_threshold <= 0)
        cf_log(0, line);
}

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

bool is_enoent(const boost::system::system_error& e)
{
    return e.code().category() == boost::system::system_category() && e.code().value() == ENOENT;
}

} // namespace

nft_chain_checker_t::nft_chain_checker_t(boost::asio::io_context& io, nft_socket_source_t sockets)
    : sockets_(std::move(sockets))
{
    if (!nft::utils::nft_modules_available())
        return;
    link_ = std::make_unique<linux::netlink::async::link_t>(io, linux::netlink::open_netlink_socket(netlink_netfilter));
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_pid = 0;
    address.nl_groups = nftables_group;
    link_->bind(boost::asio::generic::datagram_protocol::endpoint(&address, sizeof address));
    link_->start(this);
    debug("chain checker: started");
}

nft_chain_checker_t::~nft_chain_checker_t() = default;

void nft_chain_checker_t::on_error(boost::system::error_code error)
{
    throw chain_check_error_t(error);
}

void nft_chain_checker_t::on_message(std::uint16_t type, const std::uint8_t* payload, std::size_t size)
{
    if ((type >> 8) != NFNL_SUBSYS_NFTABLES || (type & 0xff) != NFT_MSG_NEWRULE)
        return;
    if (size == 0)
        throw nft::parse_error_t("empty nf_tables notification");
    const std::uint8_t family = payload[0];
    if (family != nft::family_ip && family != nft::family_inet)
        return;
    const nft::nft_rule_t rule = nft_rule_of(payload, size);
    debug("receive message (NFT_MSG_NEWRULE) : type=" + std::to_string(type) + ", msg_type="
          + std::to_string(NFT_MSG_NEWRULE) + ", family=" + std::to_string(family)
          + ", chain name = " + name_or_empty(rule.chain));
    const std::string& table = rule.table.value();
    if (table == nft::own_table)
        return;
    // Before the first install there is no local-delivery mark to write; after
    // a switch to manual configuration the rules are the administrator's.
    if (!params_)
        return;
    const std::string& chain = rule.chain.value();
    try {
        react(family, table, chain);
    } catch (const boost::system::system_error& e) {
        // The table or chain went away before we looked: nothing to keep first.
        if (!is_enoent(e))
            throw;
        debug("chain check: chain " + chain + " is gone: " + e.what());
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
        const nft::nft_rule_t dumped = nft_rule_of(reply.payload.begin(), reply.payload.size);
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
        if (cf_log_threshold <= 2)
            cf_log(2, "need NFT_MSG_NEWCHAIN msg type");
        return;
    }
    const nft::nft_chain_t description = nft_chain_of(reply.payload.begin(), reply.payload.size);
    debug("add fix local path rules to chain : " + name_or_empty(description.name));
    add_local_path_rules(*msg, description, family, *params_);
    msg->batch.flush_batch();
}

} // namespace fw::service
