#pragma once
// One nf_tables transaction: its own NETLINK_NETFILTER socket, a batch for
// changes and single requests for dumps and queries. Each operation builds one,
// uses it and destroys it; destroying it sends nothing.
//
// Replies are matched by sequence number: a batch counts only the
// acknowledgements of its own messages, and a query takes its reply and then
// drains its own acknowledgement, so nothing of one exchange is left on the
// socket to be taken for the answer to the next.
#include "common/scoped_fd.hpp"
#include "linux/netlink/byte_array.hpp"
#include "linux/netlink/sync_link.hpp"
#include "linux/nftables/names.hpp"
#include "linux/nftables/policy.hpp"
#include "linux/nftables/writer.hpp"

#include <cstdint>
#include <list>
#include <optional>
#include <span>
#include <string>

namespace fw::linux::nftables::utils {

class nft_msg_t {
public:
    nft_msg_t();
    // Over a socket the caller opened (NETLINK_NETFILTER).
    explicit nft_msg_t(fw::util::scoped_fd_t socket);
    nft_msg_t(const nft_msg_t&) = delete;
    nft_msg_t& operator=(const nft_msg_t&) = delete;

    // The replies of the last single request, a dump, up to NLMSG_DONE (not included).
    std::list<netlink::netlink_reply_t> receive_all();
    // The reply of the last single request, a query; its acknowledgement is read as well.
    netlink::netlink_reply_t receive_one();

    // Acknowledgements read for batches so far (BEGIN and END included when the kernel sends them).
    std::uint32_t acknowledgements() const noexcept { return acknowledgements_; }
    // Sequence number of the batch message the kernel refused last, if any.
    std::optional<std::uint32_t> refused_sequence() const noexcept { return refused_; }

    netlink::sync_link_t link;
    policy::batch_policy_t batch;
    policy::single_policy_t single;

    // Changes, on the batch.
    message_writer_t chain{batch};
    message_writer_t rule{batch};
    nest_scope_t rule_expressions{rule};
    message_writer_t table{batch};

    // Requests whose replies the caller reads with receive_all or receive_one.
    message_writer_t single_chain{single};
    message_writer_t single_rule{single};
    nest_scope_t single_rule_expressions{single_rule};
    message_writer_t single_table{single};

private:
    void send_batch(std::span<const std::uint8_t> datagram, const policy::batch_info_t& info);
    void send_single(std::span<const std::uint8_t> message);
    std::uint32_t single_seq_ = 0;
    bool single_is_dump_ = false;
    std::uint32_t acknowledgements_ = 0;
    std::optional<std::uint32_t> refused_;
};

// NFT_MSG_NEWRULE with NLM_F_CREATE on the batch rule writer; without
// NLM_F_APPEND the kernel puts the rule at the head of its chain.
message_writer_t& begin_new_rule(nft_msg_t& msg, std::uint8_t family);

// The program the module probe runs, "/sbin/modprobe" unless a test points it elsewhere.
const std::string& modprobe_program();
void set_modprobe_program(std::string path);

// Runs the modprobe program with the module name; a failure throws run_program's error.
void load_kernel_module(const std::string& name);
// Loads "nft_tproxy", "nft_ct", "nft_queue" in this order; false at the first failure.
bool nft_modules_available();

// The replies of a rule dump of one family (ip unless said otherwise).
std::list<netlink::netlink_reply_t> dump_nft_rules(std::uint8_t family = family_ip);
// The mark bits the rules of a dump set or test, leaving out the own rules;
// a rule that cannot be read or followed adds nothing.
std::uint32_t nft_rule_marks(const std::list<netlink::netlink_reply_t>& replies);
// The mark bits that the ip and inet rules of other software set or test;
// the failure of a dump is thrown.
std::uint32_t collect_nft_marks();

} // namespace fw::linux::nftables::utils
