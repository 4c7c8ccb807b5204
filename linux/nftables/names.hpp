#pragma once
// Names of the daemon's own nf_tables objects.
#include <cstdint>
#include <string_view>

namespace fw::linux::nftables {

inline constexpr std::string_view own_table = "morva-firewall";
// Every rule the daemon adds carries this comment; it finds its rules by it alone.
inline constexpr std::string_view own_rule_comment = "morva-firewall";

inline constexpr std::string_view prerouting_chain = "prerouting";
inline constexpr std::string_view input_chain = "input";
inline constexpr std::string_view forward_chain = "forward";
inline constexpr std::string_view output_chain = "output";

// Families the daemon writes and reads (NFPROTO_IPV4, NFPROTO_INET).
inline constexpr std::uint8_t family_ip = 2;
inline constexpr std::uint8_t family_inet = 1;
// The families whose tables see IPv4 packets: where foreign chains and marks
// that concern the daemon stand.
inline constexpr std::uint8_t ipv4_families[] = {family_ip, family_inet};

// Only the ip table of our name is ours: one of that name in another family
// is another program's, with chains like any other.
inline constexpr bool is_own_table(std::uint8_t family, std::string_view table)
{
    return family == family_ip && table == own_table;
}

} // namespace fw::linux::nftables
