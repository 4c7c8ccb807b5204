#pragma once
// Byte-level writer of nf_tables messages: headers, attributes, nests, the
// chain and rule attributes, and one small builder per expression.
//
// Attributes carry their unpadded length (4 + payload); the kernel refuses a
// padded nla_len with EINVAL for strings and binary values.
#include "linux/nftables/policy.hpp"

#include <cstdint>
#include <string_view>
#include <variant>

namespace fw::linux::nftables {

// Netfilter hook numbers.
enum class hook_t : std::uint32_t { prerouting = 0, input = 1, forward = 2, output = 3, postrouting = 4 };

// Operators of the "cmp" expression.
enum class cmp_op_t : std::uint32_t { eq = 0, neq = 1, lt = 2, lte = 3, gt = 4, gte = 5 };

// Types of NFTA_CHAIN_TYPE.
enum class chain_type_t { filter = 0, nat = 1, route = 2 };

// Registers: 0 the verdict register, 8..23 the 32-bit ones.
inline constexpr std::uint32_t verdict_register = 0;
inline constexpr std::uint32_t tcp_flags_register = 9;
inline constexpr std::uint32_t mark_register = 10;
inline constexpr std::uint32_t port_register = 11;

class message_writer_t {
public:
    using target_t = std::variant<policy::batch_policy_t*, policy::single_policy_t*>;

    explicit message_writer_t(policy::batch_policy_t& batch) noexcept : target_(&batch) {}
    explicit message_writer_t(policy::single_policy_t& single) noexcept : target_(&single) {}
    message_writer_t(const message_writer_t&) = delete;
    message_writer_t& operator=(const message_writer_t&) = delete;

    // Writes nlmsghdr {20, 0x0A00 | msg, flags | NLM_F_REQUEST | NLM_F_ACK, next seq, 0} and nfgenmsg.
    message_writer_t& begin_message(std::uint16_t msg, std::uint8_t family, std::uint16_t flags);
    // Batch: the message joins the batch. Single: the message is sent.
    message_writer_t& end_message();

    message_writer_t& put_string(std::uint16_t type, std::string_view text);
    message_writer_t& put_bytes(std::uint16_t type, const void* data, std::size_t n);
    // The raw forms copy the value's bytes unchanged; the be forms convert to big-endian first.
    message_writer_t& put_u64(std::uint16_t type, std::uint64_t raw) { return put_bytes(type, &raw, sizeof raw); }
    message_writer_t& put_u32(std::uint16_t type, std::uint32_t raw) { return put_bytes(type, &raw, sizeof raw); }
    message_writer_t& put_u16(std::uint16_t type, std::uint16_t raw) { return put_bytes(type, &raw, sizeof raw); }
    message_writer_t& put_u8(std::uint16_t type, std::uint8_t raw) { return put_bytes(type, &raw, sizeof raw); }
    message_writer_t& put_be64(std::uint16_t type, std::uint64_t value);
    message_writer_t& put_be32(std::uint16_t type, std::uint32_t value);
    message_writer_t& put_be16(std::uint16_t type, std::uint16_t value);

    std::uint8_t* begin_nest(std::uint16_t type);
    message_writer_t& end_nest(std::uint8_t* nest);

    bool writing() const noexcept { return header_ != nullptr; }
    // Sequence number of the message being written, or of the last one written.
    std::uint32_t sequence() const noexcept { return sequence_; }

private:
    std::uint8_t* allocate(std::size_t n);

    std::uint8_t* header_ = nullptr;
    target_t target_;
    std::uint32_t sequence_ = 0;
};

// An open nested attribute of a writer; open() begins it only if none is open.
class nest_scope_t {
public:
    explicit nest_scope_t(message_writer_t& writer) noexcept : writer_(writer) {}
    void open(std::uint16_t type);
    void close();
    bool is_open() const noexcept { return nest_ != nullptr; }

private:
    message_writer_t& writer_;
    std::uint8_t* nest_ = nullptr;
};

// NFTA_LIST_ELEM { NFTA_EXPR_NAME = name; NFTA_EXPR_DATA { ... } } around one expression.
class expression_scope_t {
public:
    expression_scope_t(message_writer_t& writer, std::string_view name);
    ~expression_scope_t();
    expression_scope_t(const expression_scope_t&) = delete;
    expression_scope_t& operator=(const expression_scope_t&) = delete;

private:
    message_writer_t& writer_;
    std::uint8_t* element_;
    nest_scope_t data_;
};

// Chain and rule messages.
message_writer_t& begin_new_chain(message_writer_t& w, std::uint8_t family, std::uint16_t flags);
message_writer_t& begin_get_chain(message_writer_t& w, std::uint8_t family, std::uint16_t flags);
message_writer_t& put_chain_table(message_writer_t& w, std::string_view name);
message_writer_t& put_chain_name(message_writer_t& w, std::string_view name);
message_writer_t& put_chain_hook(message_writer_t& w, hook_t hook, std::int32_t priority);
message_writer_t& put_chain_type(message_writer_t& w, chain_type_t type);
message_writer_t& put_rule_handle(message_writer_t& w, std::uint64_t handle);
// Userdata TLV {0, len, comment + NUL}, cut to 128 bytes.
message_writer_t& put_rule_comment(message_writer_t& w, std::string_view comment);

// Expression builders; the 4-byte values are written in memory order, as the
// kernel keeps them in its registers.
message_writer_t& add_counter(message_writer_t& w);
message_writer_t& add_queue(message_writer_t& w, std::uint16_t queue, std::uint16_t flags);
message_writer_t& add_verdict(message_writer_t& w, std::uint32_t code);
message_writer_t& add_immediate(message_writer_t& w, std::uint32_t reg, std::uint32_t value);
message_writer_t& add_meta_load(message_writer_t& w, std::uint32_t reg, std::uint32_t key);
message_writer_t& add_meta_store(message_writer_t& w, std::uint32_t reg, std::uint32_t key);
message_writer_t& add_ct_load(message_writer_t& w, std::uint32_t reg, std::uint32_t key);
message_writer_t& add_ct_store(message_writer_t& w, std::uint32_t reg, std::uint32_t key);
// Looks up the socket the packet belongs to; no socket ends the rule.
message_writer_t& add_socket_load(message_writer_t& w, std::uint32_t reg, std::uint32_t key);
message_writer_t& add_bitwise(message_writer_t& w, std::uint32_t mask, std::uint32_t xor_value,
                              std::uint32_t sreg, std::uint32_t dreg);
message_writer_t& add_cmp(message_writer_t& w, std::uint32_t reg, std::uint32_t data, cmp_op_t op);
message_writer_t& add_cmp_u8(message_writer_t& w, std::uint32_t reg, std::uint8_t data, cmp_op_t op);
// Address and port in host order; family NFPROTO_IPV4 for the daemon.
message_writer_t& add_tproxy(message_writer_t& w, std::uint32_t address, std::uint16_t port, std::uint32_t family);

// Compound matches and statements (each first zeroes its register).
message_writer_t& match_tcp_flags(message_writer_t& w, std::uint8_t mask, std::uint8_t value,
                                  cmp_op_t op = cmp_op_t::eq);
message_writer_t& match_meta_mark(message_writer_t& w, std::uint32_t value, std::uint32_t mask,
                                  std::uint32_t xor_value, cmp_op_t op);
message_writer_t& match_ct_mark(message_writer_t& w, std::uint32_t value, std::uint32_t mask,
                                std::uint32_t xor_value, cmp_op_t op);
// new mark = (old mark & ~mask) ^ value
message_writer_t& set_meta_mark(message_writer_t& w, std::uint32_t mask, std::uint32_t value);
message_writer_t& set_ct_mark(message_writer_t& w, std::uint32_t mask, std::uint32_t value);
message_writer_t& match_oif(message_writer_t& w, std::uint32_t index);
message_writer_t& match_iif(message_writer_t& w, std::uint32_t index);
message_writer_t& match_l4proto(message_writer_t& w, std::uint8_t protocol);
message_writer_t& match_nfproto_ipv4(message_writer_t& w);
// fib daddr type local
message_writer_t& match_local_destination(message_writer_t& w);
// socket transparent 1: the packet's socket, found by its addresses, has IP_TRANSPARENT.
message_writer_t& match_transparent_socket(message_writer_t& w);

} // namespace fw::linux::nftables
