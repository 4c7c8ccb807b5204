#pragma once
// The own nf_tables rules of the daemon, shared by the service and its chain
// checker: the install and removal of the own table and rules, the local-path
// rule written into the base chains of other software's tables, and the
// reading of rule and chain messages.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <boost/system/system_error.hpp>

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

// The steps of configure and of the destructor, each one transaction (two for
// the install) over sockets from `sockets`.

// Adds the local-path rules to the base chains of every table of families ip
// and inet; a chain the kernel does not let us change is a Warning and skipped.
void fix_local_path(const steering_params_t& params, const nft_socket_source_t& sockets = {});
// The own table, its four base chains and the steering rules; a refusal of the
// kernel is thrown as "Cannot install nftables rules: " naming what was refused.
void install_nft_rules(const steering_params_t& params, const nft_socket_source_t& sockets = {});
// Removes every rule with the own comment from the tables of families ip and
// inet; a rule the kernel refuses to delete is a Warning and the others go.
void clear_nft_rules(const nft_socket_source_t& sockets = {});
void clear_nft_rules(linux::nftables::utils::nft_msg_t& msg);
// Removes the own table (family ip), where there is one.
void clear_nft_tables(const nft_socket_source_t& sockets = {});
void clear_nft_tables(linux::nftables::utils::nft_msg_t& msg);
// The own rules, then the own table, which goes also when its rules could not
// be taken out one by one. Failures are Warnings; never throws.
void remove_own_nft_objects(linux::nftables::utils::nft_msg_t& msg) noexcept;
// Removes the own rules and table that a run ended without its stop left,
// whatever the mode and backend of this run: they would still steer and mark
// its packets. Loads no module: where nf_tables does not answer, nothing of
// ours can be there. Failures are logged; never throws.
void remove_nft_leftovers(const nft_socket_source_t& sockets = {}) noexcept;

// Throws `e` again as "Cannot install nftables rules: " + step, the kernel's
// error after the step that failed.
[[noreturn]] void nft_install_failed(const boost::system::system_error& e, const std::string& step);

} // namespace fw::service
