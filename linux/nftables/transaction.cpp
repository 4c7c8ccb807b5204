#include "linux/nftables/transaction.hpp"

#include "common/log.hpp"
#include "common/run_program.hpp"
#include "linux/netlink/reply.hpp"
#include "linux/netlink/socket.hpp"
#include "linux/nftables/mark_eval.hpp"
#include "linux/nftables/names.hpp"
#include "linux/nftables/parser.hpp"

#include <boost/system/system_error.hpp>

#include <linux/netfilter/nf_tables.h>
#include <linux/netfilter/nfnetlink.h>
#include <linux/netlink.h>

#include <algorithm>
#include <exception>
#include <optional>
#include <vector>

namespace fw::linux::nftables::utils {

namespace {

constexpr int netlink_netfilter = 12;
constexpr std::size_t nfgenmsg_size = 4;

std::string& modprobe_path()
{
    static std::string path = "/sbin/modprobe";
    return path;
}

[[noreturn]] void throw_error_reply(const std::uint8_t* message)
{
    throw boost::system::system_error(netlink::errno_of(netlink::error_field(message)),
                                      boost::system::system_category(), "NETLINK error received");
}

// Calls visit(header, message) for each whole message of a received datagram.
template <class F>
void for_each_message(const std::uint8_t* p, std::size_t size, F&& visit)
{
    for (std::size_t remaining = size; remaining >= NLMSG_HDRLEN;) {
        nlmsghdr header = netlink::read_header(p);
        if (header.nlmsg_len < NLMSG_HDRLEN || header.nlmsg_len > remaining)
            return;
        if (header.nlmsg_type == NLMSG_ERROR && header.nlmsg_len < netlink::error_message_size)
            throw netlink::truncated_reply_t();
        if (!visit(header, p))
            return;
        std::size_t step = NLMSG_ALIGN(header.nlmsg_len);
        if (step >= remaining)
            return;
        p += step;
        remaining -= step;
    }
}

} // namespace

nft_msg_t::nft_msg_t() : nft_msg_t(netlink::open_netlink_socket(netlink_netfilter)) {}

nft_msg_t::nft_msg_t(fw::util::scoped_fd_t socket)
    : link(std::move(socket)),
      batch([this](std::span<const std::uint8_t> d, const policy::batch_info_t& info) { send_batch(d, info); }),
      single([this](std::span<const std::uint8_t> m) { send_single(m); })
{
}

void nft_msg_t::send_batch(std::span<const std::uint8_t> datagram, const policy::batch_info_t& info)
{
    // The sequence numbers of the messages between BEGIN and END, in order.
    std::vector<std::uint32_t> inner;
    inner.reserve(info.count);
    std::uint32_t end_seq = 0;
    for_each_message(datagram.data(), datagram.size(), [&](const nlmsghdr& h, const std::uint8_t*) {
        if (h.nlmsg_type == NFNL_MSG_BATCH_END)
            end_seq = h.nlmsg_seq;
        else if (h.nlmsg_type != NFNL_MSG_BATCH_BEGIN)
            inner.push_back(h.nlmsg_seq);
        return true;
    });
    std::vector<bool> acked(inner.size(), false);
    std::size_t missing = inner.size();
    // A kernel that acknowledges BEGIN acknowledges END as well.
    bool end_expected = false;

    link.send_raw(datagram.data(), datagram.size());
    while (missing > 0 || end_expected) {
        const auto received = link.receive_datagram();
        for_each_message(received.data(), received.size(), [&](const nlmsghdr& h, const std::uint8_t* p) {
            if (h.nlmsg_type != NLMSG_ERROR)
                return true; // a late reply of an earlier request
            bool ours = false;
            if (h.nlmsg_seq == info.first_seq) {
                ours = true;
                end_expected = true;
            } else if (end_expected && h.nlmsg_seq == end_seq) {
                ours = true;
                end_expected = false;
            } else {
                auto it = std::find(inner.begin(), inner.end(), h.nlmsg_seq);
                auto i = static_cast<std::size_t>(it - inner.begin());
                if (it != inner.end() && !acked[i]) {
                    ours = true;
                    acked[i] = true;
                    --missing;
                }
            }
            if (!ours)
                return true; // an acknowledgement of an earlier exchange
            if (netlink::error_field(p) != 0) {
                refused_ = h.nlmsg_seq;
                throw_error_reply(p); // the acknowledgements after it are not read
            }
            ++acknowledgements_;
            return true;
        });
    }
}

void nft_msg_t::send_single(std::span<const std::uint8_t> message)
{
    nlmsghdr header = netlink::read_header(message.data());
    single_seq_ = header.nlmsg_seq;
    single_is_dump_ = (header.nlmsg_flags & NLM_F_DUMP) == NLM_F_DUMP;
    link.send_raw(message.data(), message.size());
}

std::list<netlink::netlink_reply_t> nft_msg_t::receive_all()
{
    std::list<netlink::netlink_reply_t> replies;
    for (bool done = false; !done;) {
        const auto received = link.receive_datagram();
        for_each_message(received.data(), received.size(), [&](const nlmsghdr& h, const std::uint8_t* p) {
            if (h.nlmsg_seq != single_seq_)
                return true; // left over from an earlier exchange
            if (h.nlmsg_type == NLMSG_DONE) {
                done = true;
                return false;
            }
            if (h.nlmsg_type == NLMSG_ERROR) {
                if (netlink::error_field(p) != 0)
                    throw_error_reply(p);
            } else if (!(h.nlmsg_flags & NLM_F_MULTI)) {
                throw netlink::unexpected_reply_t();
            }
            replies.push_back({h.nlmsg_type, netlink::byte_array_t(p + NLMSG_HDRLEN, h.nlmsg_len - NLMSG_HDRLEN)});
            return true;
        });
    }
    return replies;
}

netlink::netlink_reply_t nft_msg_t::receive_one()
{
    std::optional<netlink::netlink_reply_t> reply;
    bool acknowledged = false;
    while (!acknowledged) {
        const auto received = link.receive_datagram();
        for_each_message(received.data(), received.size(), [&](const nlmsghdr& h, const std::uint8_t* p) {
            if (h.nlmsg_seq != single_seq_)
                return true; // left over from an earlier exchange
            if (h.nlmsg_type == NLMSG_ERROR) {
                if (netlink::error_field(p) != 0)
                    throw_error_reply(p);
                acknowledged = true; // the reply, if any, came first
            }
            if (!reply) {
                reply.emplace(netlink::netlink_reply_t{
                    h.nlmsg_type, netlink::byte_array_t(p + NLMSG_HDRLEN, h.nlmsg_len - NLMSG_HDRLEN)});
                // A dump request is not acknowledged; its first reply is all we take.
                if (single_is_dump_)
                    acknowledged = true;
            }
            return !acknowledged;
        });
    }
    return std::move(*reply);
}

message_writer_t& begin_new_rule(nft_msg_t& msg, std::uint8_t family)
{
    return msg.rule.begin_message(NFT_MSG_NEWRULE, family, NLM_F_CREATE);
}

const std::string& modprobe_program() { return modprobe_path(); }

void set_modprobe_program(std::string path) { modprobe_path() = std::move(path); }

void load_kernel_module(const std::string& name)
{
    run_program({modprobe_path(), name});
    cf_log_lazy(log_debug, [&] { return "Kernel module " + name + " loaded"; });
}

bool nft_modules_available()
{
    for (const char* module : {"nft_tproxy", "nft_ct", "nft_queue"}) {
        try {
            load_kernel_module(module);
        } catch (const std::exception&) {
            return false;
        }
    }
    return true;
}

std::list<netlink::netlink_reply_t> dump_nft_rules(std::uint8_t family)
{
    nft_msg_t msg;
    msg.single_rule.begin_message(NFT_MSG_GETRULE, family, NLM_F_DUMP).end_message();
    return msg.receive_all();
}

std::uint32_t nft_rule_marks(const std::list<netlink::netlink_reply_t>& replies)
{
    std::uint32_t marks = 0;
    for (const netlink::netlink_reply_t& reply : replies) {
        try {
            if (reply.payload.size < nfgenmsg_size)
                throw parse_error_t("parse_route nla is wrong " + std::to_string(nfgenmsg_size) + " != "
                                    + std::to_string(reply.payload.size));
            nft_rule_t rule;
            parse_rule(rule, reply.payload.begin() + nfgenmsg_size, reply.payload.size - nfgenmsg_size);
            if (rule.comment == own_rule_comment)
                continue;
            marks |= eval_rule_mark_bits(rule);
        } catch (const std::exception& e) {
            cf_log_lazy(log_debug, [&] { return std::string("skip rule because: ") + e.what(); });
        }
    }
    return marks;
}

std::uint32_t collect_nft_marks()
{
    // inet tables see IPv4 packets as well; ip6, arp, bridge and netdev do not mark them.
    return nft_rule_marks(dump_nft_rules(family_ip)) | nft_rule_marks(dump_nft_rules(family_inet));
}

} // namespace fw::linux::nftables::utils
