#pragma once
// Shared by the nftables service and its chain checker: what one install
// needs to know, the local-path rule written from it into the base chains of
// other software's tables, and the reading of rule and chain messages.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/scoped_fd.hpp"
#include "fw/steering/steering_params.hpp"

#include "linux/nftables/parser.hpp"

namespace fw::linux::nftables {
namespace utils {
class nft_msg_t;
}
} // namespace fw::linux::nftables

namespace fw::service {

// Where each transaction gets its socket: a new NETLINK_NETFILTER socket unless
// a test gives its own.
using nft_socket_source_t = std::function<util::scoped_fd_t()>;

std::unique_ptr<linux::nftables::utils::nft_msg_t> new_nft_transaction(const nft_socket_source_t& sockets);

// Writes into the transaction's batch the rule that accepts loopback packets
// with the local-delivery mark at the head of `chain`, when the chain is a
// base chain of another table of family ip or inet on hook prerouting, input,
// output or postrouting; otherwise writes nothing. The caller flushes.
// Throws std::bad_optional_access for a chain without table or name.
void add_local_path_rules(linux::nftables::utils::nft_msg_t& msg, const linux::nftables::nft_chain_t& chain,
                          std::uint8_t family, const steering_params_t& params);

// Every chain of one family as the kernel lists them, over the transaction's
// single requests; one that cannot be read is a rate-limited Warning and left out.
std::vector<linux::nftables::nft_chain_t> dump_chains(linux::nftables::utils::nft_msg_t& msg, std::uint8_t family);

// Whether the own table of family ip exists, asked over the transaction's
// single requests; a failure other than its absence is thrown.
bool own_table_exists(linux::nftables::utils::nft_msg_t& msg);

// "ip", "inet", or "family N"; a chain as "<family> <table> <chain>", for log lines.
std::string nft_family_name(std::uint8_t family);
std::string chain_text(std::uint8_t family, const std::string& table, const std::string& chain);

// The rule or chain of a message payload that starts with its nfgenmsg; throws
// parse_error_t when it is malformed or shorter than that.
linux::nftables::nft_rule_t nft_rule_of(const std::uint8_t* payload, std::size_t size);
linux::nftables::nft_chain_t nft_chain_of(const std::uint8_t* payload, std::size_t size);
linux::nftables::nft_table_t nft_table_of(const std::uint8_t* payload, std::size_t size);

} // namespace fw::service
