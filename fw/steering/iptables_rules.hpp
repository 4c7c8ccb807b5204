#pragma once
// The own iptables rules of the daemon as edits of a table model: what each
// table gets for a set of parameters, and how the previous own rules go.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fw/steering/steering_params.hpp"
#include "linux/iptables/table.hpp"

namespace fw::service {

// The extension blobs the rules are made of. The default builds them at the
// revisions the running kernel supports; tests substitute fixed revisions.
class ipt_extensions_t {
public:
    virtual ~ipt_extensions_t() = default;
    virtual linux::iptables::xt_blob_t tproxy_target(std::uint32_t address, std::uint16_t port,
                                                     std::uint32_t mark_value, std::uint32_t mark_mask) const;
    virtual linux::iptables::xt_blob_t nfqueue_target(std::uint16_t queue, bool bypass) const;
    virtual linux::iptables::xt_blob_t mark_target(std::uint32_t mark, std::uint32_t mask) const;
    virtual linux::iptables::xt_blob_t connmark_target(std::uint8_t mode, std::uint32_t ctmark,
                                                       std::uint32_t nfmask, std::uint32_t ctmask) const;
    virtual linux::iptables::xt_blob_t mark_match(std::uint32_t mark, std::uint32_t mask, bool invert) const;
    virtual linux::iptables::xt_blob_t connmark_match(std::uint32_t mark, std::uint32_t mask, bool invert) const;
    virtual linux::iptables::xt_blob_t transparent_socket_match() const;
};

const ipt_extensions_t& kernel_extensions();

// Never created by the daemon, but removed whenever it is found unreferenced.
inline constexpr std::string_view divert_user_chain = "morva-firewall-divert";

// The one "nat" rule, put first in POSTROUTING: locally delivered packets
// leave "lo" untranslated.
void add_nat_rules(linux::iptables::ipt_table_t& table, const steering_params_t& params,
                   const ipt_extensions_t& extensions);

// The steering rules of "mangle", appended to their chains.
void add_mangle_rules(linux::iptables::ipt_table_t& table, const steering_params_t& params,
                      const ipt_extensions_t& extensions);

// Drops every own rule of the built-in chains and the chain divert_user_chain.
// Throws runtime_error, leaving that chain, when some rule still jumps to it.
void remove_own_rules(linux::iptables::ipt_table_t& table);

} // namespace fw::service
