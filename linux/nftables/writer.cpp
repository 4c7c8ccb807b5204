#include "linux/nftables/writer.hpp"

// glibc's networking headers first: they tell the UAPI headers what not to redefine.
#include <arpa/inet.h>

#include <linux/netfilter.h>
#include <linux/netfilter/nf_tables.h>
#include <linux/netfilter/nfnetlink.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>


#include <algorithm>
#include <cassert>
#include <cstring>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>

namespace fw::linux::nftables {

namespace {

static_assert(sizeof(nlmsghdr) == 16 && sizeof(nfgenmsg) == 4 && sizeof(nlattr) == 4);

constexpr std::uint16_t nested(std::uint16_t type) { return type | NLA_F_NESTED; }

bool valid_register(std::uint32_t reg) { return reg == NFT_REG_VERDICT || (reg >= NFT_REG32_00 && reg <= NFT_REG32_15); }

void add_length(std::uint8_t* header, std::uint32_t n)
{
    std::uint32_t len;
    std::memcpy(&len, header, sizeof len);
    len += n;
    std::memcpy(header, &len, sizeof len);
}

void put_nla_header(std::uint8_t* p, std::uint16_t len, std::uint16_t type)
{
    nlattr nla{len, type};
    std::memcpy(p, &nla, sizeof nla);
}

std::uint64_t to_be64(std::uint64_t v)
{
    return (std::uint64_t{htonl(static_cast<std::uint32_t>(v))} << 32) | htonl(static_cast<std::uint32_t>(v >> 32));
}

} // namespace

std::uint8_t* message_writer_t::allocate(std::size_t n)
{
    return std::visit([n](auto* policy) { return policy->allocate(n); }, target_);
}

message_writer_t& message_writer_t::begin_message(std::uint16_t msg, std::uint8_t family, std::uint16_t flags)
{
    assert(!header_ && "a writer has one message open at a time");
    sequence_ = std::visit([](auto* policy) { return policy->next_sequence(); }, target_);
    std::uint8_t* p = allocate(sizeof(nlmsghdr) + sizeof(nfgenmsg));
    nlmsghdr header{};
    header.nlmsg_len = sizeof(nlmsghdr) + sizeof(nfgenmsg);
    header.nlmsg_type = static_cast<std::uint16_t>((NFNL_SUBSYS_NFTABLES << 8) | msg);
    header.nlmsg_flags = static_cast<std::uint16_t>(flags | NLM_F_REQUEST | NLM_F_ACK);
    header.nlmsg_seq = sequence_;
    nfgenmsg gen{};
    gen.nfgen_family = family;
    gen.version = NFNETLINK_V0;
    gen.res_id = 0;
    std::memcpy(p, &header, sizeof header);
    std::memcpy(p + sizeof header, &gen, sizeof gen);
    header_ = p;
    return *this;
}

message_writer_t& message_writer_t::end_message()
{
    assert(header_);
    header_ = nullptr;
    std::visit(
        [](auto* policy) {
            if constexpr (std::is_same_v<decltype(policy), policy::batch_policy_t*>)
                policy->end_message();
            else
                policy->flush();
        },
        target_);
    return *this;
}

message_writer_t& message_writer_t::put_bytes(std::uint16_t type, const void* data, std::size_t n)
{
    assert(header_ && "attributes belong to an open message");
    std::uint8_t* p = allocate(sizeof(nlattr) + n);
    std::size_t padded = (sizeof(nlattr) + n + 3) & ~std::size_t{3};
    add_length(header_, static_cast<std::uint32_t>(padded));
    put_nla_header(p, static_cast<std::uint16_t>(sizeof(nlattr) + n), type);
    if (n != 0)
        std::memcpy(p + sizeof(nlattr), data, n);
    return *this;
}

message_writer_t& message_writer_t::put_string(std::uint16_t type, std::string_view text)
{
    assert(header_);
    std::uint8_t* p = allocate(sizeof(nlattr) + text.size() + 1);
    std::size_t padded = (sizeof(nlattr) + text.size() + 1 + 3) & ~std::size_t{3};
    add_length(header_, static_cast<std::uint32_t>(padded));
    put_nla_header(p, static_cast<std::uint16_t>(sizeof(nlattr) + text.size() + 1), type);
    std::memcpy(p + sizeof(nlattr), text.data(), text.size()); // the NUL is already zero
    return *this;
}

message_writer_t& message_writer_t::put_be64(std::uint16_t type, std::uint64_t value) { return put_u64(type, to_be64(value)); }
message_writer_t& message_writer_t::put_be32(std::uint16_t type, std::uint32_t value) { return put_u32(type, htonl(value)); }
message_writer_t& message_writer_t::put_be16(std::uint16_t type, std::uint16_t value) { return put_u16(type, htons(value)); }

std::uint8_t* message_writer_t::begin_nest(std::uint16_t type)
{
    assert(header_);
    std::uint8_t* p = allocate(sizeof(nlattr));
    add_length(header_, sizeof(nlattr));
    put_nla_header(p, 0, nested(type));
    return p;
}

message_writer_t& message_writer_t::end_nest(std::uint8_t* nest)
{
    assert(nest);
    std::uint8_t* end = std::visit([](auto* policy) { return policy->end(); }, target_);
    std::uint16_t len = static_cast<std::uint16_t>(end - nest);
    std::memcpy(nest, &len, sizeof len);
    return *this;
}

void nest_scope_t::open(std::uint16_t type)
{
    if (!nest_)
        nest_ = writer_.begin_nest(type);
}

void nest_scope_t::close()
{
    if (nest_)
        writer_.end_nest(std::exchange(nest_, nullptr));
}

expression_scope_t::expression_scope_t(message_writer_t& writer, std::string_view name)
    : writer_(writer), element_(writer.begin_nest(NFTA_LIST_ELEM)), data_(writer)
{
    writer_.put_string(NFTA_EXPR_NAME, name);
    data_.open(NFTA_EXPR_DATA);
}

expression_scope_t::~expression_scope_t()
{
    // After a failed write the message is discarded whole; closing is then harmless.
    data_.close();
    writer_.end_nest(element_);
}

// ---- chains and rules ----

message_writer_t& begin_new_chain(message_writer_t& w, std::uint8_t family, std::uint16_t flags)
{
    return w.begin_message(NFT_MSG_NEWCHAIN, family, flags);
}

message_writer_t& begin_get_chain(message_writer_t& w, std::uint8_t family, std::uint16_t flags)
{
    return w.begin_message(NFT_MSG_GETCHAIN, family, flags);
}

message_writer_t& put_chain_table(message_writer_t& w, std::string_view name) { return w.put_string(NFTA_CHAIN_TABLE, name); }
message_writer_t& put_chain_name(message_writer_t& w, std::string_view name) { return w.put_string(NFTA_CHAIN_NAME, name); }

message_writer_t& put_chain_hook(message_writer_t& w, hook_t hook, std::int32_t priority)
{
    std::uint8_t* nest = w.begin_nest(NFTA_CHAIN_HOOK);
    w.put_be32(NFTA_HOOK_HOOKNUM, static_cast<std::uint32_t>(hook));
    w.put_be32(NFTA_HOOK_PRIORITY, static_cast<std::uint32_t>(priority));
    return w.end_nest(nest);
}

message_writer_t& put_chain_type(message_writer_t& w, chain_type_t type)
{
    static constexpr std::string_view names[] = {"filter", "nat", "route"};
    return w.put_string(NFTA_CHAIN_TYPE, names[static_cast<int>(type)]);
}

message_writer_t& put_rule_handle(message_writer_t& w, std::uint64_t handle) { return w.put_be64(NFTA_RULE_HANDLE, handle); }

message_writer_t& put_rule_comment(message_writer_t& w, std::string_view comment)
{
    constexpr std::size_t max_len = 128;
    std::uint8_t tlv[2 + max_len] = {};
    std::size_t len = std::min(comment.size() + 1, max_len);
    tlv[0] = 0; // NFTNL_UDATA_RULE_COMMENT
    tlv[1] = static_cast<std::uint8_t>(len);
    std::memcpy(tlv + 2, comment.data(), std::min(comment.size(), len));
    return w.put_bytes(NFTA_RULE_USERDATA, tlv, len + 2);
}

// ---- expressions ----

namespace {

// NFTA_<x>_DATA { NFTA_DATA_VALUE = bytes }
void put_data_value(message_writer_t& w, std::uint16_t type, const void* data, std::size_t n)
{
    std::uint8_t* nest = w.begin_nest(type);
    w.put_bytes(NFTA_DATA_VALUE, data, n);
    w.end_nest(nest);
}

void put_register(message_writer_t& w, std::uint16_t type, std::uint32_t reg)
{
    // The kernel would refuse the whole batch; say which register was wrong.
    if (!valid_register(reg))
        throw std::invalid_argument("nf_tables register " + std::to_string(reg) + " is not 0 or 8 to 23");
    w.put_be32(type, reg);
}

// "meta" or "ct" with a key and the register it loads or stores.
message_writer_t& add_key_register(message_writer_t& w, std::string_view name, std::uint16_t key_attr,
                                   std::uint16_t reg_attr, std::uint32_t reg, std::uint32_t key)
{
    expression_scope_t e(w, name);
    w.put_be32(key_attr, key);
    put_register(w, reg_attr, reg);
    return w;
}

} // namespace

message_writer_t& add_counter(message_writer_t& w)
{
    expression_scope_t e(w, "counter");
    return w;
}

message_writer_t& add_queue(message_writer_t& w, std::uint16_t queue, std::uint16_t flags)
{
    expression_scope_t e(w, "queue");
    w.put_be16(NFTA_QUEUE_NUM, queue);
    w.put_be16(NFTA_QUEUE_FLAGS, flags);
    return w;
}

message_writer_t& add_verdict(message_writer_t& w, std::uint32_t code)
{
    expression_scope_t e(w, "immediate");
    put_register(w, NFTA_IMMEDIATE_DREG, NFT_REG_VERDICT);
    std::uint8_t* data = w.begin_nest(NFTA_IMMEDIATE_DATA);
    std::uint8_t* verdict = w.begin_nest(NFTA_DATA_VERDICT);
    w.put_be32(NFTA_VERDICT_CODE, code);
    w.end_nest(verdict);
    return w.end_nest(data);
}

message_writer_t& add_immediate(message_writer_t& w, std::uint32_t reg, std::uint32_t value)
{
    expression_scope_t e(w, "immediate");
    put_register(w, NFTA_IMMEDIATE_DREG, reg);
    put_data_value(w, NFTA_IMMEDIATE_DATA, &value, sizeof value);
    return w;
}

message_writer_t& add_meta_load(message_writer_t& w, std::uint32_t reg, std::uint32_t key) { return add_key_register(w, "meta", NFTA_META_KEY, NFTA_META_DREG, reg, key); }

message_writer_t& add_meta_store(message_writer_t& w, std::uint32_t reg, std::uint32_t key) { return add_key_register(w, "meta", NFTA_META_KEY, NFTA_META_SREG, reg, key); }

message_writer_t& add_ct_load(message_writer_t& w, std::uint32_t reg, std::uint32_t key) { return add_key_register(w, "ct", NFTA_CT_KEY, NFTA_CT_DREG, reg, key); }

message_writer_t& add_ct_store(message_writer_t& w, std::uint32_t reg, std::uint32_t key) { return add_key_register(w, "ct", NFTA_CT_KEY, NFTA_CT_SREG, reg, key); }

message_writer_t& add_socket_load(message_writer_t& w, std::uint32_t reg, std::uint32_t key) { return add_key_register(w, "socket", NFTA_SOCKET_KEY, NFTA_SOCKET_DREG, reg, key); }

message_writer_t& add_bitwise(message_writer_t& w, std::uint32_t mask, std::uint32_t xor_value, std::uint32_t sreg,
                              std::uint32_t dreg)
{
    expression_scope_t e(w, "bitwise");
    put_register(w, NFTA_BITWISE_SREG, sreg);
    put_register(w, NFTA_BITWISE_DREG, dreg);
    w.put_be32(NFTA_BITWISE_LEN, sizeof mask);
    put_data_value(w, NFTA_BITWISE_MASK, &mask, sizeof mask);
    put_data_value(w, NFTA_BITWISE_XOR, &xor_value, sizeof xor_value);
    return w;
}

namespace {

message_writer_t& add_cmp_bytes(message_writer_t& w, std::uint32_t reg, const void* data, std::size_t n, cmp_op_t op)
{
    expression_scope_t e(w, "cmp");
    put_register(w, NFTA_CMP_SREG, reg);
    w.put_be32(NFTA_CMP_OP, static_cast<std::uint32_t>(op));
    put_data_value(w, NFTA_CMP_DATA, data, n);
    return w;
}

} // namespace

message_writer_t& add_cmp(message_writer_t& w, std::uint32_t reg, std::uint32_t data, cmp_op_t op)
{
    return add_cmp_bytes(w, reg, &data, sizeof data, op);
}

message_writer_t& add_cmp_u8(message_writer_t& w, std::uint32_t reg, std::uint8_t data, cmp_op_t op)
{
    return add_cmp_bytes(w, reg, &data, sizeof data, op);
}

message_writer_t& add_tproxy(message_writer_t& w, std::uint32_t address, std::uint16_t port, std::uint32_t family)
{
    // tproxy ip to <address>:<port>
    add_immediate(w, mark_register, 0);
    add_immediate(w, port_register, 0);
    add_immediate(w, mark_register, htonl(address));
    {
        expression_scope_t e(w, "immediate");
        put_register(w, NFTA_IMMEDIATE_DREG, port_register);
        std::uint16_t be_port = htons(port);
        put_data_value(w, NFTA_IMMEDIATE_DATA, &be_port, sizeof be_port);
    }
    expression_scope_t e(w, "tproxy");
    put_register(w, NFTA_TPROXY_REG_ADDR, mark_register);
    w.put_be32(NFTA_TPROXY_FAMILY, family);
    put_register(w, NFTA_TPROXY_REG_PORT, port_register);
    return w;
}

message_writer_t& match_tcp_flags(message_writer_t& w, std::uint8_t mask, std::uint8_t value, cmp_op_t op)
{
    // tcp flags & <mask> == <value>
    add_immediate(w, tcp_flags_register, 0);
    {
        expression_scope_t e(w, "payload");
        w.put_be32(NFTA_PAYLOAD_BASE, NFT_PAYLOAD_TRANSPORT_HEADER);
        w.put_be32(NFTA_PAYLOAD_OFFSET, 13);
        w.put_be32(NFTA_PAYLOAD_LEN, 1);
        put_register(w, NFTA_PAYLOAD_DREG, tcp_flags_register);
    }
    {
        expression_scope_t e(w, "bitwise");
        put_register(w, NFTA_BITWISE_SREG, tcp_flags_register);
        put_register(w, NFTA_BITWISE_DREG, tcp_flags_register);
        w.put_be32(NFTA_BITWISE_LEN, 1);
        const std::uint8_t zero = 0;
        put_data_value(w, NFTA_BITWISE_MASK, &mask, 1);
        put_data_value(w, NFTA_BITWISE_XOR, &zero, 1);
    }
    return add_cmp_u8(w, tcp_flags_register, value, op);
}

namespace {

// The two marks the daemon reads and writes: the packet's and the connection's.
struct mark_access_t {
    message_writer_t& (*load)(message_writer_t&, std::uint32_t, std::uint32_t);
    message_writer_t& (*store)(message_writer_t&, std::uint32_t, std::uint32_t);
    std::uint32_t key;
};

const mark_access_t meta_mark{add_meta_load, add_meta_store, NFT_META_MARK};
const mark_access_t ct_mark{add_ct_load, add_ct_store, NFT_CT_MARK};

message_writer_t& match_mark(message_writer_t& w, const mark_access_t& mark, std::uint32_t value, std::uint32_t mask,
                             std::uint32_t xor_value, cmp_op_t op)
{
    add_immediate(w, mark_register, 0);
    mark.load(w, mark_register, mark.key);
    add_bitwise(w, mask, xor_value, mark_register, mark_register);
    return add_cmp(w, mark_register, value, op);
}

message_writer_t& set_mark(message_writer_t& w, const mark_access_t& mark, std::uint32_t mask, std::uint32_t value)
{
    add_immediate(w, mark_register, 0);
    mark.load(w, mark_register, mark.key);
    add_bitwise(w, ~mask, value, mark_register, mark_register);
    return mark.store(w, mark_register, mark.key);
}

} // namespace

// meta mark & <mask> ^ <xor> <op> <value>
message_writer_t& match_meta_mark(message_writer_t& w, std::uint32_t value, std::uint32_t mask, std::uint32_t xor_value,
                                  cmp_op_t op)
{
    return match_mark(w, meta_mark, value, mask, xor_value, op);
}

// ct mark & <mask> ^ <xor> <op> <value>
message_writer_t& match_ct_mark(message_writer_t& w, std::uint32_t value, std::uint32_t mask, std::uint32_t xor_value,
                                cmp_op_t op)
{
    return match_mark(w, ct_mark, value, mask, xor_value, op);
}

// meta mark set meta mark & ~<mask> ^ <value>
message_writer_t& set_meta_mark(message_writer_t& w, std::uint32_t mask, std::uint32_t value)
{
    return set_mark(w, meta_mark, mask, value);
}

// ct mark set ct mark & ~<mask> ^ <value>
message_writer_t& set_ct_mark(message_writer_t& w, std::uint32_t mask, std::uint32_t value)
{
    return set_mark(w, ct_mark, mask, value);
}

namespace {

message_writer_t& match_meta_u32(message_writer_t& w, std::uint32_t key, std::uint32_t value)
{
    add_immediate(w, mark_register, 0);
    add_meta_load(w, mark_register, key);
    return add_cmp(w, mark_register, value, cmp_op_t::eq);
}

} // namespace

// meta oif <index>
message_writer_t& match_oif(message_writer_t& w, std::uint32_t index) { return match_meta_u32(w, NFT_META_OIF, index); }

// meta iif <index>
message_writer_t& match_iif(message_writer_t& w, std::uint32_t index) { return match_meta_u32(w, NFT_META_IIF, index); }

message_writer_t& match_l4proto(message_writer_t& w, std::uint8_t protocol)
{
    // meta l4proto <protocol>; the register was zeroed above the loaded byte
    const std::uint8_t bytes[4] = {protocol, 0, 0, 0};
    std::uint32_t value;
    std::memcpy(&value, bytes, sizeof value);
    return match_meta_u32(w, NFT_META_L4PROTO, value);
}

message_writer_t& match_nfproto_ipv4(message_writer_t& w)
{
    // meta nfproto ipv4
    const std::uint8_t bytes[4] = {NFPROTO_IPV4, 0, 0, 0};
    std::uint32_t value;
    std::memcpy(&value, bytes, sizeof value);
    return match_meta_u32(w, NFT_META_NFPROTO, value);
}

message_writer_t& match_local_destination(message_writer_t& w)
{
    // fib daddr type local; the type is a 32-bit value in host order
    {
        expression_scope_t e(w, "fib");
        put_register(w, NFTA_FIB_DREG, mark_register);
        w.put_be32(NFTA_FIB_RESULT, NFT_FIB_RESULT_ADDRTYPE);
        w.put_be32(NFTA_FIB_FLAGS, NFTA_FIB_F_DADDR);
    }
    return add_cmp(w, mark_register, RTN_LOCAL, cmp_op_t::eq);
}

message_writer_t& match_transparent_socket(message_writer_t& w)
{
    // socket transparent 1; the one-byte value is stored in a zeroed register
    add_immediate(w, mark_register, 0);
    add_socket_load(w, mark_register, NFT_SOCKET_TRANSPARENT);
    return add_cmp_u8(w, mark_register, 1, cmp_op_t::eq);
}

} // namespace fw::linux::nftables
