#pragma once
// The xtables matches and targets the daemon installs, each built at the highest
// revision the running kernel supports (asked once per extension and process),
// readers for the values the daemon looks for in rules found in the kernel, and
// the comment by which the daemon knows its own rules.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "linux/iptables/table.hpp"

namespace fw::linux::iptables {

class sockopt_t;

// Highest revision in [lowest, highest] the kernel knows of the extension;
// option is IPT_SO_GET_REVISION_MATCH or IPT_SO_GET_REVISION_TARGET.
// Throws system_error ENOENT "match 'name'" / "target 'name'" when the kernel
// lacks the extension, EOPNOTSUPP with that text when no revision fits, and
// the errno with "getsockopt" for anything else.
std::uint8_t probe_xt_revision(const std::string& name, std::uint8_t lowest, std::uint8_t highest, int option);
std::uint8_t probe_xt_revision(sockopt_t& socket, const std::string& name, std::uint8_t lowest,
                               std::uint8_t highest, int option);
std::uint8_t probe_match_revision(const std::string& name, std::uint8_t lowest, std::uint8_t highest);
std::uint8_t probe_target_revision(const std::string& name, std::uint8_t lowest, std::uint8_t highest);

// Builders; values in host byte order.
xt_blob_t make_tproxy_target(std::uint32_t address, std::uint16_t port, std::uint32_t mark_value,
                             std::uint32_t mark_mask);
// Bypass needs revision 2 or 3; below that: runtime_error, and the caller may
// build it again without bypass.
xt_blob_t make_nfqueue_target(std::uint16_t queue, bool bypass);
xt_blob_t make_mark_target(std::uint32_t mark, std::uint32_t mask);
xt_blob_t make_connmark_target(std::uint8_t mode, std::uint32_t ctmark, std::uint32_t nfmask,
                               std::uint32_t ctmask);
xt_blob_t make_tcp_match(std::uint8_t flag_mask, std::uint8_t flag_cmp);
xt_blob_t make_mark_match(std::uint32_t mark, std::uint32_t mask, bool invert);
xt_blob_t make_connmark_match(std::uint32_t mark, std::uint32_t mask, bool invert);
// -m addrtype --dst-type LOCAL
xt_blob_t make_local_destination_match();
// -m socket --transparent: a socket the packet belongs to, found by its
// addresses, has IP_TRANSPARENT (sockets bound to 0.0.0.0 are passed over).
xt_blob_t make_transparent_socket_match();
// Texts of 256 bytes or more do not fit the match: runtime_error.
xt_blob_t make_comment_match(std::string_view text);

// The mark value of a "MARK" target / "mark" match; none for anything else.
std::optional<std::uint32_t> read_mark_target(const xt_blob_t& target);
std::optional<std::uint32_t> read_mark_match(const xt_blob_t& match);
// The text of a "comment" match; none for anything else. Asks nothing of the kernel.
std::optional<std::string> get_comment(const xt_blob_t& match);

inline constexpr std::string_view own_comment = "morva-firewall";

// A new rule (matching everything, target DROP) whose first match is the own comment.
ipt_rule_t make_own_rule();
bool is_own_rule(const ipt_rule_t& rule);

// The layouts at a given revision, without asking the kernel.
namespace xt {

xt_blob_t tproxy_target(std::uint8_t revision, std::uint32_t address, std::uint16_t port,
                        std::uint32_t mark_value, std::uint32_t mark_mask);
xt_blob_t nfqueue_target(std::uint8_t revision, std::uint16_t queue, bool bypass);
xt_blob_t mark_target(std::uint8_t revision, std::uint32_t mark, std::uint32_t mask);
xt_blob_t connmark_target(std::uint8_t revision, std::uint8_t mode, std::uint32_t ctmark,
                          std::uint32_t nfmask, std::uint32_t ctmask);
xt_blob_t mark_match(std::uint8_t revision, std::uint32_t mark, std::uint32_t mask, bool invert);
xt_blob_t connmark_match(std::uint8_t revision, std::uint32_t mark, std::uint32_t mask, bool invert);
xt_blob_t transparent_socket_match(std::uint8_t revision);

std::optional<std::uint32_t> mark_of_target(const xt_blob_t& target);
std::optional<std::uint32_t> mark_of_match(const xt_blob_t& match);

} // namespace xt

} // namespace fw::linux::iptables
