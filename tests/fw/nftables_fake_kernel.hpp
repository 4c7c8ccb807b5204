#pragma once
// A stand-in for the kernel's nf_tables behind the transactions of the
// nftables service: the service's socket is one end of a sequenced-packet
// pair (which takes the netlink address and ignores it), a thread on the
// other end records every message, acknowledges it, answers dumps from a
// handler, and keeps the rules of each chain as the kernel would: a new rule
// goes to the head of its chain. Rules are kept decoded in the form of
// `nft --debug=netlink` (tests/fw/nftables_expected.hpp).
#include <linux/netfilter/nf_tables.h>
#include <linux/netfilter/nfnetlink.h>
#include <linux/netlink.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/scoped_fd.hpp"
#include "tests/fw/nftables_expected.hpp"

namespace morva_test {

using bytes_t = std::vector<std::uint8_t>;

// The attributes of one level: type (flags masked off) -> value bytes.
inline std::multimap<std::uint16_t, bytes_t> nft_attributes(const std::uint8_t* p, std::size_t size)
{
    std::multimap<std::uint16_t, bytes_t> out;
    while (size >= sizeof(nlattr)) {
        nlattr a;
        std::memcpy(&a, p, sizeof a);
        if (a.nla_len < sizeof a || a.nla_len > size)
            throw std::runtime_error("bad attribute length");
        out.emplace(static_cast<std::uint16_t>(a.nla_type & NLA_TYPE_MASK), bytes_t(p + sizeof a, p + a.nla_len));
        const std::size_t step = NLA_ALIGN(a.nla_len);
        if (step >= size)
            break;
        p += step;
        size -= step;
    }
    return out;
}

inline std::multimap<std::uint16_t, bytes_t> nft_attributes(const bytes_t& b) { return nft_attributes(b.data(), b.size()); }

inline bytes_t nft_attribute(const std::multimap<std::uint16_t, bytes_t>& attrs, std::uint16_t type)
{
    auto it = attrs.find(type);
    if (it == attrs.end())
        throw std::runtime_error("attribute " + std::to_string(type) + " missing");
    return it->second;
}

inline std::uint32_t be32_of(const bytes_t& b)
{
    if (b.size() != 4)
        throw std::runtime_error("not a 32-bit value");
    return std::uint32_t{b[0]} << 24 | std::uint32_t{b[1]} << 16 | std::uint32_t{b[2]} << 8 | b[3];
}

inline std::string string_of(const bytes_t& b) { return std::string(b.begin(), b.end()).c_str(); }

// Value bytes as the kernel's debug output shows register contents.
inline std::string data_hex(const bytes_t& nest)
{
    const bytes_t value = nft_attribute(nft_attributes(nest), NFTA_DATA_VALUE);
    std::uint32_t v = 0;
    std::memcpy(&v, value.data(), std::min<std::size_t>(value.size(), 4));
    return nft_expected::hex32(v);
}

inline std::string reg(const std::multimap<std::uint16_t, bytes_t>& a, std::uint16_t type)
{
    return "reg " + std::to_string(be32_of(nft_attribute(a, type)));
}

inline std::string meta_key(std::uint32_t key)
{
    switch (key) {
    case NFT_META_MARK:
        return "mark";
    case NFT_META_IIF:
        return "iif";
    case NFT_META_OIF:
        return "oif";
    case NFT_META_NFPROTO:
        return "nfproto";
    case NFT_META_L4PROTO:
        return "l4proto";
    default:
        return "key" + std::to_string(key);
    }
}

// One expression (NFTA_LIST_ELEM) as a debug line.
inline std::string decode_expression(const bytes_t& element)
{
    auto e = nft_attributes(element);
    const std::string name = string_of(nft_attribute(e, NFTA_EXPR_NAME));
    auto d = e.count(NFTA_EXPR_DATA) ? nft_attributes(nft_attribute(e, NFTA_EXPR_DATA))
                                     : std::multimap<std::uint16_t, bytes_t>{};
    using nft_expected::line;
    if (name == "immediate") {
        auto data = nft_attributes(nft_attribute(d, NFTA_IMMEDIATE_DATA));
        if (data.count(NFTA_DATA_VERDICT)) {
            auto v = nft_attributes(nft_attribute(data, NFTA_DATA_VERDICT));
            const std::uint32_t code = be32_of(nft_attribute(v, NFTA_VERDICT_CODE));
            return line("immediate " + reg(d, NFTA_IMMEDIATE_DREG) + " "
                        + (code == 1 ? "accept" : "verdict " + std::to_string(code)));
        }
        return line("immediate " + reg(d, NFTA_IMMEDIATE_DREG) + " " + data_hex(nft_attribute(d, NFTA_IMMEDIATE_DATA)));
    }
    if (name == "meta" || name == "ct") {
        const bool meta = name == "meta";
        const std::uint16_t key = meta ? std::uint16_t{NFTA_META_KEY} : std::uint16_t{NFTA_CT_KEY};
        const std::uint16_t dreg = meta ? std::uint16_t{NFTA_META_DREG} : std::uint16_t{NFTA_CT_DREG};
        const std::uint16_t sreg = meta ? std::uint16_t{NFTA_META_SREG} : std::uint16_t{NFTA_CT_SREG};
        const std::string k = meta ? meta_key(be32_of(nft_attribute(d, key)))
                                             : (be32_of(nft_attribute(d, key)) == NFT_CT_MARK ? "mark" : "key?");
        if (d.count(dreg))
            return line(name + " load " + k + " => " + reg(d, dreg));
        return line(name + " set " + k + " with " + reg(d, sreg));
    }
    if (name == "bitwise")
        return line("bitwise " + reg(d, NFTA_BITWISE_DREG) + " = ( " + reg(d, NFTA_BITWISE_SREG) + " & "
                    + data_hex(nft_attribute(d, NFTA_BITWISE_MASK)) + " ) ^ "
                    + data_hex(nft_attribute(d, NFTA_BITWISE_XOR)));
    if (name == "cmp") {
        static const char* ops[] = {"eq", "neq", "lt", "lte", "gt", "gte"};
        return line("cmp " + std::string(ops[be32_of(nft_attribute(d, NFTA_CMP_OP)) % 6]) + " "
                    + reg(d, NFTA_CMP_SREG) + " " + data_hex(nft_attribute(d, NFTA_CMP_DATA)));
    }
    if (name == "payload") {
        const std::uint32_t base = be32_of(nft_attribute(d, NFTA_PAYLOAD_BASE));
        return line("payload load " + std::to_string(be32_of(nft_attribute(d, NFTA_PAYLOAD_LEN))) + "b @ "
                    + (base == NFT_PAYLOAD_TRANSPORT_HEADER ? "transport" : "other") + " header + "
                    + std::to_string(be32_of(nft_attribute(d, NFTA_PAYLOAD_OFFSET))) + " => "
                    + reg(d, NFTA_PAYLOAD_DREG));
    }
    if (name == "socket")
        return line(std::string("socket load ")
                    + (be32_of(nft_attribute(d, NFTA_SOCKET_KEY)) == NFT_SOCKET_TRANSPARENT ? "transparent" : "key?")
                    + " => " + reg(d, NFTA_SOCKET_DREG));
    if (name == "counter")
        return line("counter pkts 0 bytes 0");
    if (name == "tproxy")
        return line(std::string("tproxy ") + (be32_of(nft_attribute(d, NFTA_TPROXY_FAMILY)) == 2 ? "ip" : "?")
                    + " addr " + reg(d, NFTA_TPROXY_REG_ADDR) + " port " + reg(d, NFTA_TPROXY_REG_PORT));
    if (name == "queue") {
        const bytes_t num = nft_attribute(d, NFTA_QUEUE_NUM);
        const bytes_t flags = nft_attribute(d, NFTA_QUEUE_FLAGS);
        return line("queue num " + std::to_string(num.at(0) << 8 | num.at(1))
                    + ((flags.at(0) << 8 | flags.at(1)) == NFT_QUEUE_FLAG_BYPASS ? " bypass" : " flags?"));
    }
    // Only the form the daemon writes.
    if (name == "fib" && be32_of(nft_attribute(d, NFTA_FIB_RESULT)) == NFT_FIB_RESULT_ADDRTYPE
        && be32_of(nft_attribute(d, NFTA_FIB_FLAGS)) == NFTA_FIB_F_DADDR)
        return line("fib daddr type => " + reg(d, NFTA_FIB_DREG));
    return line("unknown " + name);
}

inline std::string family_name(std::uint8_t family)
{
    return family == 2 ? "ip" : family == 1 ? "inet" : family == 10 ? "ip6" : std::to_string(family);
}

// One message the service sent.
struct nft_sent_t {
    std::uint16_t type = 0; // NFT_MSG_* (the subsystem byte taken off)
    std::uint16_t flags = 0;
    std::uint8_t family = 0;
    std::multimap<std::uint16_t, bytes_t> attributes;

    std::string str(std::uint16_t attr) const { return string_of(nft_attribute(attributes, attr)); }

    // A NEWRULE as "<family> <table> <chain>" and its expressions.
    nft_expected::rule_t rule() const
    {
        std::string text = family_name(family) + " " + str(NFTA_RULE_TABLE) + " " + str(NFTA_RULE_CHAIN) + "\n";
        for (const auto& [type, element] : nft_attributes(nft_attribute(attributes, NFTA_RULE_EXPRESSIONS)))
            text += decode_expression(element);
        return text;
    }
    // The comment of a NEWRULE (userdata TLV 0).
    std::string comment() const
    {
        const bytes_t u = nft_attribute(attributes, NFTA_RULE_USERDATA);
        return u.size() > 2 && u[0] == 0 ? string_of(bytes_t(u.begin() + 2, u.begin() + 2 + u[1])) : "";
    }
};

// ---- replies the stand-in kernel gives ----

inline bytes_t attr(std::uint16_t type, const bytes_t& value)
{
    bytes_t out(4);
    const std::uint16_t len = static_cast<std::uint16_t>(4 + value.size());
    std::memcpy(out.data(), &len, 2);
    std::memcpy(out.data() + 2, &type, 2);
    out.insert(out.end(), value.begin(), value.end());
    out.resize(NLA_ALIGN(out.size()));
    return out;
}

inline bytes_t text(const std::string& s)
{
    bytes_t b(s.begin(), s.end());
    b.push_back(0);
    return b;
}

inline bytes_t be(std::uint64_t value, int bytes)
{
    bytes_t out(static_cast<std::size_t>(bytes));
    for (int i = 0; i < bytes; ++i)
        out[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (8 * (bytes - 1 - i)));
    return out;
}

inline bytes_t& operator+=(bytes_t& a, const bytes_t& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// An nf_tables message of type NFT_MSG_<msg> with nfgenmsg and `attributes`.
inline bytes_t nft_message(std::uint16_t msg, std::uint16_t flags, std::uint32_t seq, std::uint8_t family,
                           const bytes_t& attributes)
{
    bytes_t m(NLMSG_HDRLEN + 4);
    nlmsghdr h{};
    h.nlmsg_len = static_cast<std::uint32_t>(m.size() + attributes.size());
    h.nlmsg_type = static_cast<std::uint16_t>((NFNL_SUBSYS_NFTABLES << 8) | msg);
    h.nlmsg_flags = flags;
    h.nlmsg_seq = seq;
    std::memcpy(m.data(), &h, sizeof h);
    m[NLMSG_HDRLEN] = family;
    return m += attributes;
}

// A rule of a dump.
inline bytes_t rule_reply(std::uint32_t seq, std::uint8_t family, const bytes_t& attributes)
{
    return nft_message(NFT_MSG_NEWRULE, NLM_F_MULTI, seq, family, attributes);
}

// A NEWRULE reply whose payload is `payload` (no nfgenmsg is added).
inline bytes_t raw_reply(std::uint32_t seq, const bytes_t& payload)
{
    bytes_t m = rule_reply(seq, 2, {});
    m.resize(NLMSG_HDRLEN);
    m += payload;
    const std::uint32_t len = static_cast<std::uint32_t>(m.size());
    std::memcpy(m.data(), &len, 4);
    return m;
}

inline bytes_t rule_attributes(const std::string& table, const std::string& chain,
                               std::optional<std::uint64_t> handle, const std::string& comment,
                               std::optional<std::uint64_t> position = std::nullopt)
{
    bytes_t a = attr(NFTA_RULE_TABLE, text(table));
    a += attr(NFTA_RULE_CHAIN, text(chain));
    if (handle)
        a += attr(NFTA_RULE_HANDLE, be(*handle, 8));
    if (position)
        a += attr(NFTA_RULE_POSITION, be(*position, 8));
    bytes_t udata = {0, static_cast<std::uint8_t>(comment.size() + 1)};
    udata += text(comment);
    return a += attr(NFTA_RULE_USERDATA, udata);
}

inline bytes_t base_chain_attributes(const std::string& table, const std::string& chain, std::uint32_t hook)
{
    bytes_t a = attr(NFTA_CHAIN_TABLE, text(table));
    a += attr(NFTA_CHAIN_NAME, text(chain));
    bytes_t h = attr(NFTA_HOOK_HOOKNUM, be(hook, 4));
    h += attr(NFTA_HOOK_PRIORITY, be(0, 4));
    return a += attr(NFTA_CHAIN_HOOK | NLA_F_NESTED, h);
}

class nft_fake_kernel_t {
public:
    // Replies to a single request (a dump or a query), each a whole netlink
    // message; NLMSG_DONE is added to dumps. By default dumps are empty.
    using responder_t = std::function<std::vector<bytes_t>(const nft_sent_t& request, std::uint32_t seq)>;

    // The errno with which a message is refused; 0 acknowledges it.
    using refuser_t = std::function<int(const nft_sent_t& message)>;

    explicit nft_fake_kernel_t(responder_t responder = {}, refuser_t refuser = {})
        : responder_(std::move(responder)), refuser_(std::move(refuser))
    {
    }
    ~nft_fake_kernel_t()
    {
        for (auto& t : threads_)
            t.join();
    }

    // A socket for one transaction; its thread ends when the service closes it.
    fw::util::scoped_fd_t socket()
    {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0)
            throw std::runtime_error("socketpair");
        threads_.emplace_back([this, fd = fds[1]] { serve(fd); });
        return fw::util::scoped_fd_t(fds[0]);
    }

    std::vector<nft_sent_t> sent()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return sent_;
    }
    // The rules of "<family> <table> <chain>" in chain order.
    std::vector<nft_expected::rule_t> chain(const std::string& key)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return {chains_[key].begin(), chains_[key].end()};
    }
    // Datagrams sent as batches, with their sizes.
    std::vector<std::size_t> batch_sizes()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return batch_sizes_;
    }

private:
    static bytes_t header(std::uint16_t type, std::uint16_t flags, std::uint32_t seq, std::size_t payload)
    {
        nlmsghdr h{};
        h.nlmsg_len = static_cast<std::uint32_t>(NLMSG_HDRLEN + payload);
        h.nlmsg_type = type;
        h.nlmsg_flags = flags;
        h.nlmsg_seq = seq;
        bytes_t b(NLMSG_HDRLEN);
        std::memcpy(b.data(), &h, sizeof h);
        return b;
    }

    static void send(int fd, const bytes_t& b) { (void)::send(fd, b.data(), b.size(), MSG_NOSIGNAL); }

    void serve(int fd)
    {
        fw::util::scoped_fd_t owned(fd);
        std::vector<std::uint8_t> buffer(1 << 16);
        for (;;) {
            const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
            if (n <= 0)
                return;
            handle(fd, buffer.data(), static_cast<std::size_t>(n));
        }
    }

    void handle(int fd, const std::uint8_t* p, std::size_t size)
    {
        std::vector<bytes_t> replies;
        bool batch = false;
        for (std::size_t off = 0; off + NLMSG_HDRLEN <= size;) {
            nlmsghdr h;
            std::memcpy(&h, p + off, sizeof h);
            if (h.nlmsg_len < NLMSG_HDRLEN || off + h.nlmsg_len > size)
                break;
            if (h.nlmsg_type == NFNL_MSG_BATCH_BEGIN || h.nlmsg_type == NFNL_MSG_BATCH_END) {
                batch = true;
            } else {
                nft_sent_t m;
                m.type = h.nlmsg_type & 0xff;
                m.flags = h.nlmsg_flags;
                m.family = p[off + NLMSG_HDRLEN];
                m.attributes = nft_attributes(p + off + NLMSG_HDRLEN + 4, h.nlmsg_len - NLMSG_HDRLEN - 4);
                record(m);
                if ((h.nlmsg_flags & NLM_F_DUMP) == NLM_F_DUMP || m.type == NFT_MSG_GETCHAIN) {
                    for (bytes_t& r : responder_ ? responder_(m, h.nlmsg_seq) : std::vector<bytes_t>{})
                        replies.push_back(std::move(r));
                    if ((h.nlmsg_flags & NLM_F_DUMP) == NLM_F_DUMP)
                        replies.push_back(header(NLMSG_DONE, NLM_F_MULTI, h.nlmsg_seq, 0));
                }
                if ((h.nlmsg_flags & NLM_F_ACK) && (h.nlmsg_flags & NLM_F_DUMP) != NLM_F_DUMP) {
                    bytes_t ack = header(NLMSG_ERROR, 0, h.nlmsg_seq, sizeof(nlmsgerr));
                    nlmsgerr err{};
                    err.error = refuser_ ? -refuser_(m) : 0;
                    err.msg = h;
                    ack.resize(ack.size() + sizeof err);
                    std::memcpy(ack.data() + NLMSG_HDRLEN, &err, sizeof err);
                    replies.push_back(std::move(ack));
                }
            }
            off += NLMSG_ALIGN(h.nlmsg_len);
        }
        if (batch) {
            std::lock_guard<std::mutex> lock(mutex_);
            batch_sizes_.push_back(size);
        }
        for (const bytes_t& r : replies)
            send(fd, r);
    }

    void record(const nft_sent_t& m)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        sent_.push_back(m);
        if (m.type == NFT_MSG_NEWRULE) {
            const std::string key = family_name(m.family) + " " + m.str(NFTA_RULE_TABLE) + " " + m.str(NFTA_RULE_CHAIN);
            chains_[key].push_front(m.rule());
        }
    }

    responder_t responder_;
    refuser_t refuser_;
    std::mutex mutex_;
    std::vector<nft_sent_t> sent_;
    std::map<std::string, std::deque<nft_expected::rule_t>> chains_;
    std::vector<std::size_t> batch_sizes_;
    std::vector<std::thread> threads_;
};

} // namespace morva_test
