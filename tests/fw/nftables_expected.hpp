#pragma once
// The rules of the nftables service as `nft --debug=netlink` prints them: one
// string per rule, "<family> <table> <chain>" and then one line per expression.
// The kernel tests compare them with what nft reads back; the unit tests with
// what the service sends, decoded (tests/fw/nftables_fake_kernel.hpp).
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace morva_test::nft_expected {

using rule_t = std::string;

inline std::string hex32(std::uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", value);
    return text;
}

inline std::string line(const std::string& text) { return "  [ " + text + " ]\n"; }

inline std::string zero(int reg = 10) { return line("immediate reg " + std::to_string(reg) + " 0x00000000"); }

// <key> mark & mask == value (or !=)
inline std::string match(const std::string& key, std::uint32_t value, std::uint32_t mask, const std::string& op = "eq")
{
    return zero() + line(key + " load mark => reg 10") + line("bitwise reg 10 = ( reg 10 & " + hex32(mask) + " ) ^ 0x00000000")
        + line("cmp " + op + " reg 10 " + hex32(value));
}
inline std::string mark(std::uint32_t value, std::uint32_t mask, const std::string& op = "eq")
{
    return match("meta", value, mask, op);
}
inline std::string ct_mark(std::uint32_t value, std::uint32_t mask, const std::string& op = "eq")
{
    return match("ct", value, mask, op);
}

// <key> mark := (<key> mark & ~mask) ^ value
inline std::string set(const std::string& key, std::uint32_t mask, std::uint32_t value)
{
    return zero() + line(key + " load mark => reg 10")
        + line("bitwise reg 10 = ( reg 10 & " + hex32(~mask) + " ) ^ " + hex32(value))
        + line(key + " set mark with reg 10");
}
inline std::string set_mark_or(std::uint32_t bits) { return set("meta", bits, bits); }
inline std::string set_ct_mark_or(std::uint32_t bits) { return set("ct", bits, bits); }
inline std::string set_ct_mark_to(std::uint32_t value) { return set("ct", 0xffffffffu, value); }

inline std::string meta_is(const std::string& key, std::uint32_t value)
{
    return zero() + line("meta load " + key + " => reg 10") + line("cmp eq reg 10 " + hex32(value));
}
inline std::string tcp() { return meta_is("l4proto", 6); }
inline std::string tcp_flags(std::uint8_t value, std::uint8_t mask)
{
    return zero(9) + line("payload load 1b @ transport header + 13 => reg 9")
        + line("bitwise reg 9 = ( reg 9 & " + hex32(mask) + " ) ^ 0x00000000") + line("cmp eq reg 9 " + hex32(value));
}
// Address and port in network order, as the registers hold them.
inline std::string tproxy(std::uint32_t address_be, std::uint16_t port_be)
{
    return zero() + zero(11) + line("immediate reg 10 " + hex32(address_be))
        + line("immediate reg 11 " + hex32(port_be)) + line("tproxy ip addr reg 10 port reg 11");
}
inline std::string socket_transparent()
{
    return zero() + line("socket load transparent => reg 10") + line("cmp eq reg 10 0x00000001");
}
inline std::string counter() { return line("counter pkts 0 bytes 0"); }
inline std::string accept() { return line("immediate reg 0 accept"); }
inline std::string queue(std::uint16_t number) { return line("queue num " + std::to_string(number) + " bypass"); }

inline rule_t own(const std::string& chain, const std::string& expressions)
{
    return "ip morva-firewall " + chain + "\n" + expressions;
}

// The marks of the tests: LD 0x1, CP 0x2, SP 0x4.
struct test_marks_t {
    std::uint32_t ld = 0x1, cp = 0x2, sp = 0x4;
    std::uint32_t both() const { return cp | sp; }
};

inline rule_t n1(const test_marks_t& m, std::uint32_t dv)
{
    return own("output", mark(m.sp | dv, m.both() | dv) + set_ct_mark_or(dv));
}
inline rule_t n2(const test_marks_t& m, std::uint32_t dv, std::uint16_t q)
{
    return own("input", tcp() + tcp_flags(0x12, 0x12) + mark(0, m.both()) + ct_mark(m.sp | dv, m.both() | dv)
                            + counter() + queue(q));
}
// TPROXY to 127.0.0.1:8080.
inline std::string to_listener(const test_marks_t& m)
{
    return tproxy(0x0100007f, 0x901f) + set_mark_or(m.ld) + counter() + accept();
}
inline rule_t n3(const test_marks_t& m)
{
    return own("prerouting", tcp() + mark(m.both(), m.both(), "neq") + ct_mark(m.cp, m.both()) + to_listener(m));
}
// A client's SYN on a connection marked ours: to the listener while a
// transparent socket answers it, else the connection is no longer ours.
inline std::string client_syn_of_ours(const test_marks_t& m)
{
    return tcp() + tcp_flags(0x02, 0x12) + mark(0, m.both()) + ct_mark(m.cp, m.both());
}
inline rule_t n3_answered(const test_marks_t& m)
{
    return own("prerouting", client_syn_of_ours(m) + socket_transparent() + to_listener(m));
}
inline rule_t n3_unanswered(const test_marks_t& m)
{
    return own("prerouting", client_syn_of_ours(m) + set("ct", m.both(), 0) + counter());
}
inline rule_t n4(const test_marks_t& m)
{
    return own("prerouting", mark(0, m.both()) + ct_mark(m.sp, m.both()) + set_mark_or(m.ld) + counter());
}
// The prerouting chain in its order.
inline std::vector<rule_t> prerouting(const test_marks_t& m)
{
    return {n4(m), n3_answered(m), n3_unanswered(m), n3(m)};
}
inline rule_t n5(const test_marks_t& m)
{
    return own("output", mark(0, m.both()) + ct_mark(0, m.both(), "neq") + set_mark_or(m.ld) + counter());
}
inline rule_t n6(const test_marks_t& m) { return own("output", mark(m.sp, m.both()) + set_ct_mark_to(m.sp) + counter()); }
inline rule_t n7(const test_marks_t& m) { return own("output", mark(m.cp, m.both()) + set_ct_mark_to(m.cp) + counter()); }
// The input divert's queues only SYNs to the host's own addresses (type 2, local).
inline rule_t n8(const test_marks_t& m, const std::string& chain, std::uint16_t q)
{
    const std::string local_destination
        = chain == "input" ? line("fib daddr type => reg 10") + line("cmp eq reg 10 0x00000002") : "";
    return own(chain,
               tcp() + tcp_flags(0x02, 0x12) + mark(0, m.both() | m.ld) + local_destination + counter() + queue(q));
}

// The local-path rule of a foreign chain; loopback has index 1 in every namespace.
inline rule_t local_path(const std::string& family_table_chain, bool outgoing, std::uint32_t ld = 0x1)
{
    const bool inet = family_table_chain.rfind("inet ", 0) == 0;
    return family_table_chain + "\n" + (inet ? meta_is("nfproto", 2) : "") + meta_is(outgoing ? "oif" : "iif", 1)
        + mark(ld, ld) + accept();
}

} // namespace morva_test::nft_expected
