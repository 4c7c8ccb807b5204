#include "linux/nftables/parser.hpp"

#include <linux/netfilter/nf_tables.h>
#include <linux/netfilter/nf_tables_compat.h>
#include <linux/netlink.h>

#include <algorithm>
#include <cstring>
#include <string_view>

namespace fw::linux::nftables {

namespace {

constexpr std::size_t align4(std::size_t n) { return (n + 3) & ~std::size_t{3}; }

[[noreturn]] void wrong_length(std::size_t expected, std::size_t actual)
{
    throw parse_error_t("parse_route nla is wrong " + std::to_string(expected) + " != " + std::to_string(actual));
}

struct attr_t {
    std::uint16_t type;           // without the nested and byte-order flags
    std::uint16_t len;            // nla_len as sent
    const std::uint8_t* payload;  // len - 4 bytes, all inside the container
    std::size_t payload_len() const { return len - 4u; }
    std::size_t aligned() const { return align4(len); }
};

struct walk_result_t {
    std::size_t walked;
    bool overrun; // the last attribute claims more bytes than the container holds
};

// Gives each attribute of [data, data + length) to handle(). An attribute that
// runs past the end is not handed out; its claimed end is reported instead.
template <class F>
walk_result_t walk(const std::uint8_t* data, std::size_t length, F&& handle)
{
    std::size_t offset = 0;
    while (offset < length) {
        if (length - offset < 4)
            wrong_length(offset + 4, length);
        std::uint16_t nla_len, nla_type;
        std::memcpy(&nla_len, data + offset, 2);
        std::memcpy(&nla_type, data + offset + 2, 2);
        if (nla_len < 4)
            wrong_length(4, nla_len);
        if (nla_len > length - offset)
            return {offset + align4(nla_len), true};
        handle(attr_t{static_cast<std::uint16_t>(nla_type & NLA_TYPE_MASK), nla_len, data + offset + 4});
        offset += align4(nla_len);
    }
    return {offset, false};
}

template <class F>
void walk_nested(const attr_t& a, F&& handle)
{
    walk_result_t r = walk(a.payload, a.payload_len(), handle);
    std::size_t implied = align4(4 + r.walked);
    if (implied != a.aligned() || r.overrun)
        wrong_length(implied, a.aligned());
}

// The first n bytes of the payload in a zeroed word, in memory order.
template <std::size_t N>
void copy_prefix(const attr_t& a, std::uint8_t (&out)[N])
{
    std::memset(out, 0, N);
    std::memcpy(out, a.payload, std::min(a.payload_len(), N));
}

void read_u32(const attr_t& a, opt_u32& target)
{
    std::uint8_t bytes[4];
    copy_prefix(a, bytes);
    target = (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) | (std::uint32_t{bytes[2]} << 8) | bytes[3];
    // Stored before the check, as the value is read in any case.
    if (a.aligned() != 8)
        wrong_length(8, a.aligned());
}

void read_u64(const attr_t& a, std::optional<std::uint64_t>& target)
{
    std::uint8_t bytes[8];
    copy_prefix(a, bytes);
    std::uint64_t v = 0;
    for (std::uint8_t b : bytes)
        v = (v << 8) | b;
    target = v;
    if (a.aligned() != 12)
        wrong_length(12, a.aligned());
}

void read_string(const attr_t& a, std::optional<std::string>& target)
{
    if (a.payload_len() == 0)
        wrong_length(8, a.aligned()); // not even the NUL
    target.emplace(reinterpret_cast<const char*>(a.payload), a.payload_len() - 1);
}

void read_data_value(const attr_t& a, opt_u32& target)
{
    std::uint8_t bytes[4];
    copy_prefix(a, bytes);
    std::uint32_t v;
    std::memcpy(&v, bytes, sizeof v);
    target = v;
}

// NFTA_<x>_DATA { NFTA_DATA_VALUE }
void read_nested_value(const attr_t& a, opt_u32& target)
{
    walk_nested(a, [&](const attr_t& c) {
        if (c.type == NFTA_DATA_VALUE)
            read_data_value(c, target);
    });
}

// User data is a TLV list {8-bit type, 8-bit length, value}. Other software
// stores more than the comment there (nft and the kernel accept any TLVs): the
// first comment TLV (type 0) is read, the others are stepped over.
void read_comment(const attr_t& a, std::optional<std::string>& target)
{
    const std::size_t size = a.payload_len();
    bool found = false;
    for (std::size_t pos = 0; pos < size;) {
        if (size - pos < 2) // not even a TLV header
            wrong_length(4 + pos + 2, a.len);
        const std::uint8_t type = a.payload[pos];
        const std::uint8_t len = a.payload[pos + 1];
        if (len > size - pos - 2)
            wrong_length(align4(4 + pos + 2 + len), a.aligned());
        if (type == 0 && !found) { // NFTNL_UDATA_RULE_COMMENT
            if (len == 0)
                throw parse_error_t("incorrect comment");
            target.emplace(reinterpret_cast<const char*>(a.payload + pos + 2), len - 1u);
            found = true;
        }
        pos += 2u + len;
    }
}

void read_meta_like(const attr_t& a, opt_u32& dreg, opt_u32& key, opt_u32& sreg, std::uint16_t sreg_type)
{
    walk_nested(a, [&](const attr_t& c) {
        if (c.type == NFTA_META_DREG) // NFTA_CT_DREG is 1 as well
            read_u32(c, dreg);
        else if (c.type == NFTA_META_KEY) // NFTA_CT_KEY is 2 as well
            read_u32(c, key);
        else if (c.type == sreg_type)
            read_u32(c, sreg);
    });
}

static_assert(int{NFTA_META_DREG} == int{NFTA_CT_DREG} && int{NFTA_META_KEY} == int{NFTA_CT_KEY});

struct data_reader_t {
    const attr_t& a;

    void operator()(other_expr_t&) const {}

    void operator()(meta_t& e) const { read_meta_like(a, e.dreg, e.key, e.sreg, NFTA_META_SREG); }
    void operator()(ct_t& e) const { read_meta_like(a, e.dreg, e.key, e.sreg, NFTA_CT_SREG); }

    void operator()(bitwise_t& e) const
    {
        walk_nested(a, [&](const attr_t& c) {
            switch (c.type) {
            case NFTA_BITWISE_SREG: read_u32(c, e.sreg); break;
            case NFTA_BITWISE_DREG: read_u32(c, e.dreg); break;
            case NFTA_BITWISE_LEN: read_u32(c, e.len); break;
            case NFTA_BITWISE_MASK: read_nested_value(c, e.mask); break;
            case NFTA_BITWISE_XOR: read_nested_value(c, e.xor_value); break;
            default: break;
            }
        });
    }

    void operator()(cmp_t& e) const
    {
        walk_nested(a, [&](const attr_t& c) {
            switch (c.type) {
            case NFTA_CMP_SREG: read_u32(c, e.sreg); break;
            case NFTA_CMP_OP: read_u32(c, e.op); break;
            case NFTA_CMP_DATA: read_nested_value(c, e.data); break;
            default: break;
            }
        });
    }

    void operator()(compat_t& e) const
    {
        static_assert(int{NFTA_TARGET_NAME} == int{NFTA_MATCH_NAME} && int{NFTA_TARGET_REV} == int{NFTA_MATCH_REV}
                      && int{NFTA_TARGET_INFO} == int{NFTA_MATCH_INFO});
        walk_nested(a, [&](const attr_t& c) {
            switch (c.type) {
            case NFTA_TARGET_NAME: read_string(c, e.name); break;
            case NFTA_TARGET_REV: read_u32(c, e.revision); break;
            case NFTA_TARGET_INFO: e.info.assign(c.payload, c.payload + c.payload_len()); break;
            default: break;
            }
        });
    }

    void operator()(immediate_t& e) const
    {
        walk_nested(a, [&](const attr_t& c) {
            if (c.type == NFTA_IMMEDIATE_DREG) {
                read_u32(c, e.dreg);
            } else if (c.type == NFTA_IMMEDIATE_DATA) {
                walk_nested(c, [&](const attr_t& d) {
                    if (d.type == NFTA_DATA_VALUE) {
                        read_data_value(d, e.value);
                    } else if (d.type == NFTA_DATA_VERDICT) {
                        walk_nested(d, [&](const attr_t& v) {
                            if (v.type == NFTA_VERDICT_CODE)
                                read_u32(v, e.verdict);
                            else if (v.type == NFTA_VERDICT_CHAIN)
                                read_string(v, e.chain);
                        });
                    }
                });
            }
        });
    }
};

expression_t make_expression(std::string_view name)
{
    if (name == "meta")
        return meta_t{};
    if (name == "cmp")
        return cmp_t{};
    if (name == "bitwise")
        return bitwise_t{};
    if (name == "immediate")
        return immediate_t{};
    if (name == "ct")
        return ct_t{};
    if (name == "target" || name == "match")
        return compat_t{name == "target", {}, {}, {}};
    return other_expr_t{};
}

void read_list_element(nft_rule_t& rule, const attr_t& a)
{
    if (a.type == NFTA_EXPR_NAME) {
        std::optional<std::string> name;
        read_string(a, name);
        rule.current.reset();
        rule.expressions.push_back(make_expression(*name));
        if (!std::holds_alternative<other_expr_t>(rule.expressions.back()))
            rule.current = rule.expressions.size() - 1;
    } else if (a.type == NFTA_EXPR_DATA) {
        if (rule.current) // the data of an unrecognised expression is stepped over
            std::visit(data_reader_t{a}, rule.expressions[*rule.current]);
    }
}

template <class F>
std::size_t walk_message(const std::uint8_t* attributes, std::size_t length, F&& handle)
{
    walk_result_t r = walk(attributes, length, handle);
    if (r.overrun)
        wrong_length(r.walked, align4(length));
    return r.walked;
}

} // namespace

std::size_t parse_rule(nft_rule_t& rule, const std::uint8_t* attributes, std::size_t length)
{
    return walk_message(attributes, length, [&](const attr_t& a) {
        switch (a.type) {
        case NFTA_RULE_TABLE: read_string(a, rule.table); break;
        case NFTA_RULE_CHAIN: read_string(a, rule.chain); break;
        case NFTA_RULE_HANDLE: read_u64(a, rule.handle); break;
        case NFTA_RULE_POSITION: read_u64(a, rule.position); break;
        case NFTA_RULE_USERDATA: read_comment(a, rule.comment); break;
        case NFTA_RULE_EXPRESSIONS:
            walk_nested(a, [&](const attr_t& element) {
                if (element.type == NFTA_LIST_ELEM)
                    walk_nested(element, [&](const attr_t& x) { read_list_element(rule, x); });
            });
            break;
        default: break;
        }
    });
}

std::size_t parse_chain(nft_chain_t& chain, const std::uint8_t* attributes, std::size_t length)
{
    return walk_message(attributes, length, [&](const attr_t& a) {
        switch (a.type) {
        case NFTA_CHAIN_TABLE: read_string(a, chain.table); break;
        case NFTA_CHAIN_NAME: read_string(a, chain.name); break;
        case NFTA_CHAIN_TYPE: read_string(a, chain.type); break;
        case NFTA_CHAIN_HOOK:
            walk_nested(a, [&](const attr_t& h) {
                if (h.type == NFTA_HOOK_HOOKNUM)
                    read_u32(h, chain.hooknum);
                else if (h.type == NFTA_HOOK_PRIORITY)
                    read_u32(h, chain.priority);
            });
            break;
        default: break;
        }
    });
}

std::size_t parse_table(nft_table_t& table, const std::uint8_t* attributes, std::size_t length)
{
    return walk_message(attributes, length, [&](const attr_t& a) {
        if (a.type == NFTA_TABLE_NAME)
            read_string(a, table.name);
    });
}

} // namespace fw::linux::nftables
