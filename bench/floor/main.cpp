// morva-bench-floor MARK QUEUE...: the floor of the daemon's PASS path. It
// binds the queues as the daemon does (packet copies of 120 bytes, the owner's
// uid and gid) and answers every queued packet at once with the verdict of the
// daemon's PASS: repeat with MARK. Prints "ready" once bound; runs until killed.
#include <arpa/inet.h>
#include <sys/socket.h>

#include <linux/netfilter.h>
#include <linux/netfilter/nfnetlink.h>
#include <linux/netfilter/nfnetlink_queue.h>
#include <linux/netlink.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <utility>

namespace {

int fd;
char buffer[1 << 16];

// One nfnetlink message of `type` for `queue` with its attributes (type, (size, value)).
using attributes_t = std::initializer_list<std::pair<int, std::pair<std::size_t, const void*>>>;
int send(std::uint16_t type, std::uint16_t queue, std::uint16_t flags, attributes_t attributes)
{
    char out[128] = {};
    auto* header = reinterpret_cast<nlmsghdr*>(out);
    *header = {NLMSG_LENGTH(sizeof(nfgenmsg)), static_cast<std::uint16_t>(NFNL_SUBSYS_QUEUE << 8 | type),
               static_cast<std::uint16_t>(NLM_F_REQUEST | flags), 0, 0};
    *reinterpret_cast<nfgenmsg*>(NLMSG_DATA(header)) = {AF_UNSPEC, NFNETLINK_V0, htons(queue)};
    for (const auto& [kind, value] : attributes) {
        auto* a = reinterpret_cast<nlattr*>(out + header->nlmsg_len);
        *a = {static_cast<std::uint16_t>(NLA_HDRLEN + value.first), static_cast<std::uint16_t>(kind)};
        std::memcpy(out + header->nlmsg_len + NLA_HDRLEN, value.second, value.first);
        header->nlmsg_len += NLA_ALIGN(a->nla_len);
    }
    sockaddr_nl kernel{AF_NETLINK, 0, 0, 0};
    return static_cast<int>(
        ::sendto(fd, out, header->nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel));
}

// The verdict of the daemon's PASS for every queued packet in the datagram.
void answer(ssize_t n, std::uint32_t mark)
{
    int left = static_cast<int>(n);
    for (auto* m = reinterpret_cast<nlmsghdr*>(buffer); n > 0 && NLMSG_OK(m, left); m = NLMSG_NEXT(m, left)) {
        if (m->nlmsg_type != (NFNL_SUBSYS_QUEUE << 8 | NFQNL_MSG_PACKET))
            continue;
        const auto queue = ntohs(static_cast<const nfgenmsg*>(NLMSG_DATA(m))->res_id);
        const auto* a = reinterpret_cast<const nlattr*>(static_cast<const char*>(NLMSG_DATA(m))
                                                        + NLMSG_ALIGN(sizeof(nfgenmsg)));
        if (a->nla_type != NFQA_PACKET_HDR)  // always the first attribute
            continue;
        nfqnl_msg_verdict_hdr verdict{htonl(NF_REPEAT), 0};
        std::memcpy(&verdict.id, reinterpret_cast<const char*>(a) + NLA_HDRLEN, sizeof verdict.id);
        send(NFQNL_MSG_VERDICT, queue, 0, {{NFQA_VERDICT_HDR, {sizeof verdict, &verdict}}, {NFQA_MARK, {4, &mark}}});
    }
}

} // namespace

int main(int argc, char** argv)
{
    fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_NETFILTER);
    int size = 2 << 20, on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
    ::setsockopt(fd, SOL_NETLINK, NETLINK_NO_ENOBUFS, &on, sizeof on);
    const std::uint32_t mark = htonl(static_cast<std::uint32_t>(std::strtoul(argv[1], nullptr, 0)));
    for (int i = 2; i < argc; ++i) {
        const auto queue = static_cast<std::uint16_t>(std::atoi(argv[i]));
        const nfqnl_msg_config_cmd bind{NFQNL_CFG_CMD_BIND, 0, htons(AF_INET)};
        const nfqnl_msg_config_params params{htonl(120), NFQNL_COPY_PACKET};
        const std::uint32_t length = htonl(1024), uid_gid = htonl(NFQA_CFG_F_UID_GID);
        send(NFQNL_MSG_CONFIG, queue, NLM_F_ACK,
             {{NFQA_CFG_CMD, {sizeof bind, &bind}}, {NFQA_CFG_PARAMS, {sizeof params, &params}},
              {NFQA_CFG_QUEUE_MAXLEN, {4, &length}}, {NFQA_CFG_MASK, {4, &uid_gid}}, {NFQA_CFG_FLAGS, {4, &uid_gid}}});
        for (bool acked = false; !acked;) {
            const auto* reply = reinterpret_cast<const nlmsghdr*>(buffer);
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n < 0
                || (reply->nlmsg_type == NLMSG_ERROR && static_cast<const nlmsgerr*>(NLMSG_DATA(reply))->error != 0))
                return std::fprintf(stderr, "morva-bench-floor: cannot bind queue %d\n", queue), 1;
            acked = reply->nlmsg_type == NLMSG_ERROR;
            answer(n, mark);
        }
    }
    std::printf("ready\n");
    std::fflush(stdout);
    for (;;)
        answer(::recv(fd, buffer, sizeof buffer, 0), mark);
}
