#include "linux/netlink/sock_diag.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

namespace fw::linux::sock_diag {

namespace {

using boost::asio::ip::address_v4;
using boost::asio::ip::tcp;

// A condition and its endpoint take 16 bytes, a pair's block 36.
constexpr std::uint8_t condition_step = 16;
constexpr std::size_t block_size = 36;

void put_op(std::vector<std::uint8_t>& out, std::uint8_t code, std::uint8_t yes, std::uint16_t no)
{
    inet_diag_bc_op op{code, yes, no};
    auto* p = reinterpret_cast<const std::uint8_t*>(&op);
    out.insert(out.end(), p, p + sizeof op);
}

void put_condition(std::vector<std::uint8_t>& out, std::uint8_t code, std::uint16_t no, const tcp::endpoint& endpoint)
{
    put_op(out, code, condition_step, no);
    std::vector<std::uint8_t> condition = host_condition(endpoint);
    out.insert(out.end(), condition.begin(), condition.end());
}

// Pair i: S_COND, D_COND, then a JMP to the end of the program. A failed
// condition goes on with the next pair; in the last pair it lands 4 bytes
// past the end, which rejects the socket.
std::vector<std::uint8_t> pairs_program(const std::vector<endpoint_pair_t>& pairs)
{
    std::vector<std::uint8_t> program;
    program.reserve(block_size * pairs.size());
    for (std::size_t i = 0, n = pairs.size(); i < n; ++i) {
        bool last = i + 1 == n;
        put_condition(program, INET_DIAG_BC_S_COND, last ? 40 : 36, pairs[i].first);
        put_condition(program, INET_DIAG_BC_D_COND, last ? 24 : 20, pairs[i].second);
        put_op(program, INET_DIAG_BC_JMP, 4, static_cast<std::uint16_t>(block_size * (n - i) - 32));
    }
    return program;
}

tcp::endpoint endpoint_of(const __be32* addr, __be16 port) noexcept
{
    return {address_v4(ntohl(addr[0])), ntohs(port)};
}

} // namespace

std::vector<std::uint8_t> host_condition(const tcp::endpoint& endpoint)
{
    address_v4::bytes_type addr = endpoint.address().to_v4().to_bytes();
    std::vector<std::uint8_t> out(sizeof(inet_diag_hostcond) + addr.size());
    inet_diag_hostcond condition{};
    condition.family = AF_INET;
    condition.prefix_len = 32;
    condition.port = endpoint.port();
    std::memcpy(out.data(), &condition, sizeof condition);
    std::memcpy(out.data() + sizeof condition, addr.data(), addr.size());
    return out;
}

request_message_t::request_message_t(std::uint8_t family, const std::vector<endpoint_pair_t>& pairs,
                                     std::uint32_t states)
    : request_message_t(family, states, pairs_program(pairs))
{
}

request_message_t request_message_t::marked(std::uint8_t family, std::uint32_t states, std::uint32_t value,
                                            std::uint32_t mask)
{
    // One condition; failed, it lands 4 bytes past the end, which rejects the socket.
    constexpr std::uint8_t size = sizeof(inet_diag_bc_op) + sizeof(inet_diag_markcond);
    std::vector<std::uint8_t> program;
    put_op(program, INET_DIAG_BC_MARK_COND, size, size + 4);
    const inet_diag_markcond condition{value, mask};
    auto* p = reinterpret_cast<const std::uint8_t*>(&condition);
    program.insert(program.end(), p, p + sizeof condition);
    return request_message_t(family, states, program);
}

request_message_t::request_message_t(std::uint8_t family, std::uint32_t states,
                                     const std::vector<std::uint8_t>& program)
{
    header_.sdiag_family = family;
    header_.sdiag_protocol = IPPROTO_TCP;
    header_.idiag_states = states;
    attributes_.add_bytes(INET_DIAG_REQ_BYTECODE) = netlink::byte_array_t(program.data(), program.size());
}

std::vector<std::uint8_t> request_message_t::serialize() const
{
    std::vector<std::uint8_t> out(sizeof header_);
    std::memcpy(out.data(), &header_, sizeof header_);
    attributes_.serialize(out);
    return out;
}

exact_request_message_t::exact_request_message_t(std::uint8_t family, const endpoint_pair_t& pair)
{
    header_.sdiag_family = family;
    header_.sdiag_protocol = IPPROTO_TCP;
    // The kernel reports the socket it finds whatever its state.
    header_.idiag_states = ~0u;
    header_.id.idiag_sport = htons(pair.first.port());
    header_.id.idiag_dport = htons(pair.second.port());
    header_.id.idiag_src[0] = htonl(pair.first.address().to_v4().to_uint());
    header_.id.idiag_dst[0] = htonl(pair.second.address().to_v4().to_uint());
    header_.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    header_.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
}

exact_request_message_t::exact_request_message_t(const response_message_t& socket)
{
    header_.sdiag_family = socket.family();
    header_.sdiag_protocol = IPPROTO_TCP;
    header_.idiag_states = ~0u;
    header_.id = socket.id();
}

response_message_t::response_message_t(const void* data, std::size_t size)
{
    if (size < sizeof msg_)
        throw parse_error_t("Truncated message");
    std::memcpy(&msg_, data, sizeof msg_);
    attributes_ =
        netlink::compound_attribute_t::parse(static_cast<const std::uint8_t*>(data) + sizeof msg_, size - sizeof msg_);
}

tcp::endpoint response_message_t::source() const noexcept
{
    return endpoint_of(msg_.id.idiag_src, msg_.id.idiag_sport);
}

tcp::endpoint response_message_t::destination() const noexcept
{
    return endpoint_of(msg_.id.idiag_dst, msg_.id.idiag_dport);
}

} // namespace fw::linux::sock_diag
