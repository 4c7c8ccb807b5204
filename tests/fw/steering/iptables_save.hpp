#pragma once
// Writes a table model as the host's iptables-save prints it ("-A OUTPUT -p tcp
// -m comment --comment morva-firewall ..."), decoding the extension blobs from
// their kernel layouts, so unit tests state the rules in the same lines the
// kernel tests read back from the real tools.
#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "linux/iptables/table.hpp"

namespace morva_test {

namespace ipt_save {

using fw::linux::iptables::xt_blob_t;

inline std::string hex(std::uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", value);
    return text;
}

inline std::string name_of(const xt_blob_t& blob)
{
    return blob.size() >= 32 ? std::string(reinterpret_cast<const char*>(blob.data() + 2)) : "?";
}

template <class Data>
Data data_of(const xt_blob_t& blob)
{
    Data data{};
    std::memcpy(&data, blob.data() + 32, std::min(sizeof data, blob.size() - 32));
    return data;
}

inline std::string mark_text(std::uint32_t mark, std::uint32_t mask)
{
    return hex(mark) + (mask == 0xFFFFFFFF ? "" : "/" + hex(mask));
}

inline std::string tcp_flags(std::uint8_t flags)
{
    static const char* names[] = {"FIN", "SYN", "RST", "PSH", "ACK", "URG"};
    std::string out;
    for (int bit = 0; bit < 6; ++bit)
        if (flags & (1 << bit))
            out += (out.empty() ? "" : ",") + std::string(names[bit]);
    return out.empty() ? "NONE" : out;
}

inline std::string match(const xt_blob_t& blob)
{
    const std::string name = name_of(blob);
    if (name == "comment")
        return "-m comment --comment " + std::string(data_of<xt_comment_info>(blob).comment);
    if (name == "mark" || name == "connmark") {
        const auto info = data_of<xt_mark_mtinfo1>(blob);
        return "-m " + name + (info.invert ? " ! --mark " : " --mark ") + mark_text(info.mark, info.mask);
    }
    if (name == "tcp") {
        const auto info = data_of<xt_tcp>(blob);
        return "-m tcp --tcp-flags " + tcp_flags(info.flg_mask) + " " + tcp_flags(info.flg_cmp);
    }
    if (name == "socket" && blob[31] >= 1)
        return data_of<xt_socket_mtinfo1>(blob).flags == XT_SOCKET_TRANSPARENT ? "-m socket --transparent"
                                                                                : "-m socket (unexpected flags)";
    // Only the form the daemon writes.
    if (name == "addrtype" && blob[31] == 1) {
        const auto info = data_of<xt_addrtype_info_v1>(blob);
        if (info.dest == XT_ADDRTYPE_LOCAL && info.source == 0 && info.flags == 0)
            return "-m addrtype --dst-type LOCAL";
    }
    return "-m " + name + " (unknown)";
}

inline std::string target(const fw::linux::iptables::ipt_target_t& target)
{
    using namespace fw::linux::iptables;
    if (const auto* verdict = std::get_if<ipt_verdict_t>(&target))
        return *verdict == ipt_verdict_t::ACCEPT ? " -j ACCEPT" : *verdict == ipt_verdict_t::DROP ? " -j DROP"
                                                                                                   : " -j RETURN";
    if (const auto* jump = std::get_if<ipt_jump_t>(&target))
        return " -j " + jump->chain;
    if (std::holds_alternative<ipt_fall_through_t>(target))
        return "";
    const xt_blob_t& blob = std::get<xt_blob_t>(target);
    const std::string name = name_of(blob);
    const std::uint8_t revision = blob[31];
    if (name == "MARK") {
        const auto info = data_of<xt_mark_tginfo2>(blob);
        return " -j MARK --set-xmark " + hex(info.mark) + "/" + hex(info.mask);
    }
    if (name == "CONNMARK") {
        const auto info = data_of<xt_connmark_tginfo1>(blob);
        if (info.mode != XT_CONNMARK_SET || info.nfmask != 0xFFFFFFFF)
            return " -j CONNMARK (unexpected mode)";
        return " -j CONNMARK --set-xmark " + hex(info.ctmark) + "/" + hex(info.ctmask);
    }
    if (name == "TPROXY") {
        std::uint32_t address, mask, value;
        std::uint16_t port;
        if (revision == 1) {
            const auto info = data_of<xt_tproxy_target_info_v1>(blob);
            address = info.laddr.ip, port = info.lport, mask = info.mark_mask, value = info.mark_value;
        } else {
            const auto info = data_of<xt_tproxy_target_info>(blob);
            address = info.laddr, port = info.lport, mask = info.mark_mask, value = info.mark_value;
        }
        char ip[INET_ADDRSTRLEN];
        ::inet_ntop(AF_INET, &address, ip, sizeof ip);
        return " -j TPROXY --on-port " + std::to_string(ntohs(port)) + " --on-ip " + ip + " --tproxy-mark "
            + hex(value) + "/" + hex(mask);
    }
    if (name == "NFQUEUE") {
        const auto info = data_of<xt_NFQ_info_v3>(blob);
        const bool bypass = revision == 3 ? (info.flags & NFQ_FLAG_BYPASS) != 0
                                          : revision == 2 && data_of<xt_NFQ_info_v2>(blob).bypass;
        return " -j NFQUEUE --queue-num " + std::to_string(info.queuenum) + (bypass ? " --queue-bypass" : "");
    }
    return " -j " + name + " (unknown)";
}

inline std::string rule(const std::string& chain, const fw::linux::iptables::ipt_rule_t& rule)
{
    std::string out = "-A " + chain;
    if (rule.smsk() != 0) {
        char ip[INET_ADDRSTRLEN];
        const std::uint32_t address = htonl(rule.src());
        ::inet_ntop(AF_INET, &address, ip, sizeof ip);
        out += " -s " + std::string(ip) + "/" + std::to_string(__builtin_popcount(rule.smsk()));
    }
    const auto outiface = rule.outiface();
    if (outiface[0] != 0)
        out += " -o " + std::string(reinterpret_cast<const char*>(outiface.data()));
    if (rule.proto() == 6)
        out += " -p tcp";
    else if (rule.proto() != 0)
        out += " -p " + std::to_string(rule.proto());
    for (const xt_blob_t& blob : rule.matches)
        out += " " + match(blob);
    return out + target(rule.target);
}

} // namespace ipt_save

// Every user chain as ":name -", then the rules of every chain, built-in
// chains by hook, user chains by name.
inline std::vector<std::string> save_lines(const fw::linux::iptables::ipt_table_t& table)
{
    static const char* hooks[] = {"PREROUTING", "INPUT", "FORWARD", "OUTPUT", "POSTROUTING"};
    std::vector<std::string> lines;
    for (const auto& [name, chain] : table.user_chains)
        lines.push_back(":" + name + " -");
    for (const auto& [hook, chain] : table.builtin_chains)
        for (const auto& rule : chain.rules)
            lines.push_back(ipt_save::rule(hooks[hook], rule));
    for (const auto& [name, chain] : table.user_chains)
        for (const auto& rule : chain.rules)
            lines.push_back(ipt_save::rule(name, rule));
    return lines;
}

} // namespace morva_test
