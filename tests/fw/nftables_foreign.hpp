#pragma once
// Objects of other software that the nft tool does not make: a table flagged
// owner, which lives as long as the socket that made it and refuses every
// change from another socket, and a rule whose user data holds another TLV
// behind its comment (both accepted by the kernel and by nft).
#include <linux/netfilter/nf_tables.h>
#include <linux/netlink.h>

#include <cstdint>
#include <string>
#include <vector>

#include "linux/nftables/names.hpp"
#include "linux/nftables/transaction.hpp"
#include "linux/nftables/writer.hpp"

namespace morva_test {

// A table of family ip flagged owner, with a base chain "inbound" on hook
// input holding one rule.
class owner_table_t {
public:
    explicit owner_table_t(std::string name) : name_(std::move(name))
    {
        namespace nft = fw::linux::nftables;
        msg_.table.begin_message(NFT_MSG_NEWTABLE, nft::family_ip, NLM_F_CREATE)
            .put_string(NFTA_TABLE_NAME, name_)
            .put_be32(NFTA_TABLE_FLAGS, NFT_TABLE_F_OWNER)
            .end_message();
        nft::begin_new_chain(msg_.chain, nft::family_ip, NLM_F_CREATE);
        nft::put_chain_table(msg_.chain, name_);
        nft::put_chain_name(msg_.chain, "inbound");
        nft::put_chain_hook(msg_.chain, nft::hook_t::input, 0);
        nft::put_chain_type(msg_.chain, nft::chain_type_t::filter);
        msg_.chain.end_message();
        msg_.batch.flush_batch();
        add_rule();
    }

    // Inserts "counter" at the head of the chain, with `comment` when not empty.
    void add_rule(const std::string& comment = {})
    {
        namespace nft = fw::linux::nftables;
        nft::utils::begin_new_rule(msg_, nft::family_ip);
        msg_.rule.put_string(NFTA_RULE_TABLE, name_).put_string(NFTA_RULE_CHAIN, "inbound");
        if (!comment.empty())
            nft::put_rule_comment(msg_.rule, comment);
        msg_.rule_expressions.open(NFTA_RULE_EXPRESSIONS);
        nft::add_counter(msg_.rule);
        msg_.rule_expressions.close();
        msg_.rule.end_message();
        msg_.batch.flush_batch();
    }

private:
    std::string name_;
    fw::linux::nftables::utils::nft_msg_t msg_;
};

// Inserts "counter" at the head of a chain, its user data the comment TLV
// followed by a TLV of type 1.
inline void add_rule_with_two_tlvs(std::uint8_t family, const std::string& table, const std::string& chain,
                                   const std::string& comment)
{
    namespace nft = fw::linux::nftables;
    nft::utils::nft_msg_t msg;
    nft::utils::begin_new_rule(msg, family);
    msg.rule.put_string(NFTA_RULE_TABLE, table).put_string(NFTA_RULE_CHAIN, chain);
    std::vector<std::uint8_t> udata = {0, static_cast<std::uint8_t>(comment.size() + 1)};
    udata.insert(udata.end(), comment.begin(), comment.end());
    udata.insert(udata.end(), {0, 1, 4, 0, 0, 0, 1});
    msg.rule.put_bytes(NFTA_RULE_USERDATA, udata.data(), udata.size());
    msg.rule_expressions.open(NFTA_RULE_EXPRESSIONS);
    nft::add_counter(msg.rule);
    msg.rule_expressions.close();
    msg.rule.end_message();
    msg.batch.flush_batch();
}

} // namespace morva_test
