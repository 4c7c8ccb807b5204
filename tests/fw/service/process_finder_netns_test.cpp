// The process finder against the kernel, in a namespace of its own: sockets
// of this process and of a child in every state a request can meet, through
// sock_diag and through /proc/net/tcp; the ids and executable of the owner.
#include "fw/service/process_finder.hpp"

#include "common/log.hpp"
#include "common/scoped_fd.hpp"
#include "linux/nfqueue/nfqueue_config.hpp"
#include "linux/proc/proc_readers.hpp"
#include "tests/common/fork.hpp"
#include "tests/common/recording_log.hpp"
#include "tests/support/netns.hpp"
#include "tests/support/wait.hpp"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/filesystem/operations.hpp>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/netlink.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <map>
#include <sstream>
#include <thread>

namespace {

using namespace std::chrono_literals;
using fw::service::process_finder_t;
using endpoint_t = boost::asio::ip::tcp::endpoint;
using fw::util::scoped_fd_t;

endpoint_t local_of(int fd)
{
    sockaddr_in a{};
    socklen_t len = sizeof a;
    EXPECT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len), 0);
    return {boost::asio::ip::address_v4(ntohl(a.sin_addr.s_addr)), ntohs(a.sin_port)};
}

sockaddr_in address_of(const endpoint_t& e)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(e.port());
    a.sin_addr.s_addr = htonl(e.address().to_v4().to_uint());
    return a;
}

scoped_fd_t tcp_socket()
{
    scoped_fd_t fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    EXPECT_TRUE(fd);
    return fd;
}

scoped_fd_t listener()
{
    scoped_fd_t fd = tcp_socket();
    const sockaddr_in a = address_of({boost::asio::ip::address_v4::loopback(), 0});
    EXPECT_EQ(::bind(fd.get(), reinterpret_cast<const sockaddr*>(&a), sizeof a), 0);
    EXPECT_EQ(::listen(fd.get(), 256), 0);
    return fd;
}

scoped_fd_t connected_to(const endpoint_t& server)
{
    scoped_fd_t fd = tcp_socket();
    const sockaddr_in a = address_of(server);
    EXPECT_EQ(::connect(fd.get(), reinterpret_cast<const sockaddr*>(&a), sizeof a), 0);
    return fd;
}

const endpoint_t nowhere{boost::asio::ip::address_v4::any(), 0};

std::string message_of(const std::exception_ptr& e)
{
    try {
        std::rethrow_exception(e);
    } catch (const std::exception& x) {
        return x.what();
    }
}

// Drops the SYNs sent to one port, so that a client stays in SYN_SENT.
struct syn_drop_t {
    explicit syn_drop_t(unsigned short port) : rule("INPUT -p tcp --dport " + std::to_string(port) + " --syn -j DROP")
    {
        morva_test::sh("iptables-legacy -w -A " + rule);
    }
    ~syn_drop_t() { morva_test::sh_status("iptables-legacy -w -D " + rule); }
    std::string rule;
};

// In a child: closes every descriptor inherited but `fd`, so that the child
// holds no socket of its parent; returns where `fd` is now.
int keep_only(int fd)
{
    if (fd != 3 && ::dup2(fd, 3) != 3)
        ::_exit(1);
    ::close_range(4, ~0u, 0);
    return 3;
}

// A child process that holds a connection to `server` until it is killed.
// `in_connect`: the child tells its endpoint first and then waits in a
// blocking connect, as a client does while its SYN is held. `uid`: the user
// the child runs as.
struct child_connection_t {
    explicit child_connection_t(const endpoint_t& server, bool in_connect = false, uid_t uid = ::geteuid())
    {
        int ends[2];
        EXPECT_EQ(::pipe(ends), 0);
        pid = ::fork();
        if (pid == 0) {
            ends[1] = keep_only(ends[1]);
            if (uid != ::geteuid() && (::setgid(uid) != 0 || ::setuid(uid) != 0))
                ::_exit(1);
            scoped_fd_t fd(::socket(AF_INET, SOCK_STREAM, 0));
            const auto tell = [&] {
                sockaddr_in self{};
                socklen_t len = sizeof self;
                ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&self), &len);
                if (::write(ends[1], &self, sizeof self) != sizeof self)
                    ::_exit(1);
            };
            if (in_connect) {
                const sockaddr_in any = address_of({server.address(), 0});
                if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0)
                    ::_exit(1);
                tell();
            }
            const sockaddr_in a = address_of(server);
            if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0)
                ::_exit(1);
            if (!in_connect)
                tell();
            for (;;)
                ::pause();
        }
        ::close(ends[1]);
        sockaddr_in self{};
        EXPECT_EQ(::read(ends[0], &self, sizeof self), ssize_t(sizeof self));
        ::close(ends[0]);
        local = {boost::asio::ip::address_v4(ntohl(self.sin_addr.s_addr)), ntohs(self.sin_port)};
    }
    ~child_connection_t()
    {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    pid_t pid = -1;
    endpoint_t local;
};

struct answer_t {
    bool called = false;
    std::exception_ptr error;
    int pid = -1;
};

// Asks for every pair at once and waits for the answers.
std::vector<answer_t> ask(process_finder_t& finder, boost::asio::io_context& io,
                          const std::vector<std::pair<endpoint_t, endpoint_t>>& pairs)
{
    std::vector<answer_t> answers(pairs.size());
    std::size_t answered = 0;
    for (std::size_t i = 0; i < pairs.size(); ++i)
        finder.find_pid({pairs[i].first, pairs[i].second, [&, i](std::exception_ptr error, int pid) {
                             EXPECT_FALSE(answers[i].called) << "answered twice: " << i;
                             answers[i] = {true, error, pid};
                             ++answered;
                         }});
    {
        auto guard = boost::asio::make_work_guard(io);
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (answered < pairs.size() && std::chrono::steady_clock::now() < deadline)
            io.run_one_for(50ms);
    }
    io.restart();
    return answers;
}

unsigned inode_of(int fd)
{
    struct stat st{};
    EXPECT_EQ(::fstat(fd, &st), 0);
    return static_cast<unsigned>(st.st_ino);
}

class process_finder_netns : public testing::TestWithParam<std::string> {
protected:
    std::unique_ptr<process_finder_t> make_finder()
    {
        if (GetParam() == "netlink socket")
            return std::make_unique<process_finder_t>(io);
        return std::make_unique<process_finder_t>(io, std::make_unique<process_finder_t::proc_inode_getter_t>());
    }

    boost::asio::io_context io;
};

INSTANTIATE_TEST_SUITE_P(getters, process_finder_netns, testing::Values("netlink socket", "/proc/net/tcp"),
                         [](const auto& info) { return info.param == "netlink socket" ? "sock_diag" : "procfs"; });

TEST_P(process_finder_netns, finds_the_owner_of_each_kind_of_socket)
{
    ASSERT_TRUE(morva_test::in_private_netns());
    scoped_fd_t server = listener();
    const endpoint_t server_ep = local_of(server.get());
    scoped_fd_t client = connected_to(server_ep);
    scoped_fd_t accepted(::accept4(server.get(), nullptr, nullptr, SOCK_CLOEXEC));
    ASSERT_TRUE(accepted);

    scoped_fd_t unreachable = listener();
    const endpoint_t unreachable_ep = local_of(unreachable.get());
    syn_drop_t drop(unreachable_ep.port());
    scoped_fd_t syn_sent = tcp_socket();
    ::fcntl(syn_sent.get(), F_SETFL, O_NONBLOCK);
    const sockaddr_in a = address_of(unreachable_ep);
    ASSERT_EQ(::connect(syn_sent.get(), reinterpret_cast<const sockaddr*>(&a), sizeof a), -1);
    ASSERT_EQ(errno, EINPROGRESS);
    const endpoint_t syn_sent_ep = local_of(syn_sent.get());
    // Witness: the kernel holds it in SYN_SENT.
    EXPECT_NE(morva_test::sh("ss -tn state syn-sent").find(":" + std::to_string(syn_sent_ep.port())),
              std::string::npos);

    child_connection_t child(server_ep);
    constexpr uid_t nobody = 65534;
    child_connection_t other_user(server_ep, false, nobody);
    const bool by_proc = GetParam() == "/proc/net/tcp";

    // A client that sent its SYN from an address of no interface here, as a
    // transparent proxy connecting upstream as its client does: sock_diag's
    // exact lookup finds it; /proc/net/tcp, which has no such lookup, is not
    // read for another host's address.
    const endpoint_t foreign_ep(boost::asio::ip::make_address("10.9.9.9"), 5555);
    scoped_fd_t foreign = tcp_socket();
    const int one = 1;
    ASSERT_EQ(::setsockopt(foreign.get(), IPPROTO_IP, IP_TRANSPARENT, &one, sizeof one), 0);
    const sockaddr_in foreign_a = address_of(foreign_ep);
    ASSERT_EQ(::bind(foreign.get(), reinterpret_cast<const sockaddr*>(&foreign_a), sizeof foreign_a), 0);
    ::fcntl(foreign.get(), F_SETFL, O_NONBLOCK);
    ASSERT_EQ(::connect(foreign.get(), reinterpret_cast<const sockaddr*>(&a), sizeof a), -1);
    ASSERT_EQ(errno, EINPROGRESS);

    // A client bound to a device, which the kernel's lookup of one
    // connection passes over.
    scoped_fd_t bound = tcp_socket();
    ASSERT_EQ(::setsockopt(bound.get(), SOL_SOCKET, SO_BINDTODEVICE, "lo", 3), 0);
    const sockaddr_in server_a = address_of(server_ep);
    ASSERT_EQ(::connect(bound.get(), reinterpret_cast<const sockaddr*>(&server_a), sizeof server_a), 0);
    scoped_fd_t bound_accepted(::accept4(server.get(), nullptr, nullptr, SOCK_CLOEXEC));

    auto finder = make_finder();
    EXPECT_EQ(finder->inode_getter().name(), GetParam());

    struct case_t {
        const char* name;
        std::pair<endpoint_t, endpoint_t> pair;
        int pid;               // 0: not found
        const char* error;     // when not found
    };
    const std::string not_found = "Cannot find inode in " + GetParam();
    const std::vector<case_t> cases = {
        {"established client", {local_of(client.get()), server_ep}, ::getpid(), nullptr},
        {"SYN_SENT client", {syn_sent_ep, unreachable_ep}, ::getpid(), nullptr},
        {"client in a child", {child.local, server_ep}, child.pid, nullptr},
        {"client of another user", {other_user.local, server_ep}, other_user.pid, nullptr},
        {"client bound to a device", {local_of(bound.get()), server_ep}, ::getpid(), nullptr},
        {"transparent client with another host's address", {foreign_ep, unreachable_ep}, by_proc ? 0 : ::getpid(),
         not_found.c_str()},
        // Only ESTABLISHED and SYN_SENT sockets are asked of sock_diag; /proc/net/tcp lists all.
        {"listening socket", {server_ep, nowhere}, by_proc ? ::getpid() : 0, not_found.c_str()},
        {"client on another host", {endpoint_t(boost::asio::ip::make_address("10.9.9.9"), 5555), server_ep}, 0,
         not_found.c_str()},
        {"reversed pair", {server_ep, endpoint_t(boost::asio::ip::make_address("10.9.9.9"), 5555)}, 0,
         not_found.c_str()},
    };
    std::vector<std::pair<endpoint_t, endpoint_t>> pairs;
    for (const auto& c : cases)
        pairs.push_back(c.pair);
    const auto answers = ask(*finder, io, pairs);

    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto& c = cases[i];
        ASSERT_TRUE(answers[i].called) << c.name;
        EXPECT_EQ(answers[i].pid, c.pid) << c.name;
        if (c.pid) {
            EXPECT_FALSE(answers[i].error) << c.name << ": " << message_of(answers[i].error);
        } else {
            ASSERT_TRUE(answers[i].error) << c.name;
            EXPECT_EQ(message_of(answers[i].error), c.error) << c.name;
        }
    }

    // Witness: the kernel holds the foreign client's socket in SYN_SENT.
    EXPECT_NE(morva_test::sh("ss -Htn state syn-sent").find("10.9.9.9:5555"), std::string::npos);

    // What the connection context reads next about the owner.
    const std::pair<unsigned, unsigned> own_ids(::geteuid(), ::getegid());
    for (const auto& [pid, ids] : {std::make_pair(int(::getpid()), own_ids), std::make_pair(int(child.pid), own_ids),
                                   std::make_pair(int(other_user.pid), std::make_pair(nobody, nobody))}) {
        EXPECT_EQ(fw::linux::read_proc_status_ids(pid), ids);
        EXPECT_EQ(fw::linux::read_proc_exe(pid), boost::filesystem::read_symlink("/proc/self/exe"));
    }
}

// The packets waiting in an NFQUEUE queue, from the kernel's own table.
unsigned long queued_packets(std::uint16_t queue)
{
    std::ifstream in("/proc/net/netfilter/nfnetlink_queue");
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        unsigned long number = 0, port_id = 0, waiting = 0;
        if (fields >> number >> port_id >> waiting && number == queue)
            return waiting;
    }
    return 0;
}

// The SYNs to one port go to an NFQUEUE queue bound here and never read, so
// they stay held at OUTPUT as the diverter holds them while its hook runs.
struct held_syns_t {
    held_syns_t(unsigned short port, std::uint16_t queue)
        : number(queue), rule("OUTPUT -o lo -p tcp --syn --dport " + std::to_string(port)
                              + " -j NFQUEUE --queue-num " + std::to_string(queue)),
          socket(fw::linux::nfqueue::open_queue(queue, 128))
    {
        morva_test::sh("iptables-legacy -w -t mangle -A " + rule);
    }
    ~held_syns_t() { morva_test::sh_status("iptables-legacy -w -t mangle -D " + rule); }

    bool wait_for(unsigned long count) const
    {
        morva_test::wait_until([&] { return queued_packets(number) >= count; });
        return queued_packets(number) == count;
    }

    std::uint16_t number;
    std::string rule;
    scoped_fd_t socket;
};

TEST_P(process_finder_netns, finds_clients_whose_syn_is_held_in_a_queue)
{
    ASSERT_TRUE(morva_test::in_private_netns());
    scoped_fd_t server = listener();
    const endpoint_t server_ep = local_of(server.get());
    held_syns_t held(server_ep.port(), 41);

    // One client of this process that went on after connect, one in a child
    // still inside a blocking connect.
    scoped_fd_t own = tcp_socket();
    ::fcntl(own.get(), F_SETFL, O_NONBLOCK);
    const sockaddr_in a = address_of(server_ep);
    ASSERT_EQ(::connect(own.get(), reinterpret_cast<const sockaddr*>(&a), sizeof a), -1);
    ASSERT_EQ(errno, EINPROGRESS);
    child_connection_t child(server_ep, true);
    ASSERT_TRUE(held.wait_for(2));

    // Witnesses: both in SYN_SENT for ss and in /proc/net/tcp (state 02).
    const std::string ss = morva_test::sh("ss -Htn state syn-sent");
    const std::string proc_net_tcp = morva_test::sh("cat /proc/net/tcp");
    for (const endpoint_t& client : {local_of(own.get()), child.local}) {
        EXPECT_NE(ss.find(client.address().to_string() + ":" + std::to_string(client.port())), std::string::npos)
            << ss;
        char hex[32];
        std::snprintf(hex, sizeof hex, "0100007F:%04X 0100007F:%04X 02", client.port(), server_ep.port());
        EXPECT_NE(proc_net_tcp.find(hex), std::string::npos) << proc_net_tcp;
    }

    auto finder = make_finder();
    const auto answers = ask(*finder, io, {{local_of(own.get()), server_ep}, {child.local, server_ep}});
    const int pids[] = {::getpid(), child.pid};
    for (std::size_t i = 0; i < answers.size(); ++i) {
        ASSERT_TRUE(answers[i].called) << i;
        EXPECT_FALSE(answers[i].error) << i << ": " << message_of(answers[i].error);
        EXPECT_EQ(answers[i].pid, pids[i]) << i;
    }
    // The SYNs were still held while the finder looked.
    EXPECT_EQ(queued_packets(held.number), 2u);
}

TEST_P(process_finder_netns, the_getter_gives_the_socket_inodes)
{
    scoped_fd_t server = listener();
    const endpoint_t server_ep = local_of(server.get());
    scoped_fd_t first = connected_to(server_ep);
    scoped_fd_t second = connected_to(server_ep);
    std::unique_ptr<process_finder_t::inode_getter_t> getter;
    if (GetParam() == "netlink socket")
        getter = std::make_unique<process_finder_t::netlink_inode_getter_t>();
    else
        getter = std::make_unique<process_finder_t::proc_inode_getter_t>();
    std::vector<process_finder_t::endpoint_pair_t> pairs = {{local_of(first.get()), server_ep},
                                                            {local_of(second.get()), server_ep},
                                                            {local_of(second.get()), server_ep}};
    std::sort(pairs.begin(), pairs.end());
    std::map<endpoint_t, unsigned> inode_by_client = {{local_of(first.get()), inode_of(first.get())},
                                                      {local_of(second.get()), inode_of(second.get())}};
    const auto sockets = getter->get_inodes(pairs, [](const boost::asio::ip::address_v4&) { return true; });
    ASSERT_EQ(sockets.size(), 3u);
    // Only sock_diag tells the owning uid.
    const std::optional<unsigned> uid = GetParam() == "netlink socket" ? std::optional<unsigned>(::geteuid())
                                                                       : std::nullopt;
    for (std::size_t i = 0; i < pairs.size(); ++i)
        EXPECT_EQ(sockets[i], (process_finder_t::socket_id_t{inode_by_client[pairs[i].first], uid})) << i;
}

TEST_P(process_finder_netns, answers_more_than_a_batch_of_connections)
{
    scoped_fd_t server = listener();
    const endpoint_t server_ep = local_of(server.get());
    std::vector<scoped_fd_t> clients;
    std::vector<std::pair<endpoint_t, endpoint_t>> pairs;
    for (int i = 0; i < 150; ++i) {
        clients.push_back(connected_to(server_ep));
        pairs.emplace_back(local_of(clients.back().get()), server_ep);
    }
    auto finder = make_finder();
    const auto answers = ask(*finder, io, pairs);
    for (std::size_t i = 0; i < answers.size(); ++i) {
        ASSERT_TRUE(answers[i].called) << i;
        EXPECT_EQ(answers[i].pid, ::getpid()) << i;
    }
}

// A child that takes one descriptor passed over a UNIX socket and holds it
// until it is killed.
struct descriptor_keeper_t {
    descriptor_keeper_t()
    {
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
        pid = ::fork();
        if (pid == 0) {
            ends[1] = keep_only(ends[1]);
            char byte;
            iovec part{&byte, 1};
            alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
            msghdr msg{};
            msg.msg_iov = &part;
            msg.msg_iovlen = 1;
            msg.msg_control = control;
            msg.msg_controllen = sizeof control;
            if (::recvmsg(ends[1], &msg, 0) != 1 || ::write(ends[1], "k", 1) != 1)
                ::_exit(1);
            for (;;)
                ::pause();
        }
        ::close(ends[1]);
    }
    ~descriptor_keeper_t()
    {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        ::close(ends[0]);
    }
    // Returns once the child holds it.
    void pass(int fd)
    {
        char byte = 'p';
        iovec part{&byte, 1};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))]{};
        msghdr msg{};
        msg.msg_iov = &part;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        cmsghdr* header = CMSG_FIRSTHDR(&msg);
        header->cmsg_level = SOL_SOCKET;
        header->cmsg_type = SCM_RIGHTS;
        header->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(header), &fd, sizeof fd);
        ASSERT_EQ(::sendmsg(ends[0], &msg, 0), 1);
        ASSERT_EQ(::read(ends[0], &byte, 1), 1);
    }
    int ends[2] = {-1, -1};
    pid_t pid = -1;
};

TEST_P(process_finder_netns, an_owner_found_before_counts_only_while_it_holds_the_socket)
{
    scoped_fd_t server = listener();
    const endpoint_t server_ep = local_of(server.get());
    scoped_fd_t client = connected_to(server_ep);
    scoped_fd_t accepted(::accept4(server.get(), nullptr, nullptr, SOCK_CLOEXEC));
    const std::pair<endpoint_t, endpoint_t> pair(local_of(client.get()), server_ep);
    auto finder = make_finder();

    auto answers = ask(*finder, io, {pair});
    ASSERT_TRUE(answers[0].called);
    EXPECT_EQ(answers[0].pid, ::getpid());

    // The socket moves to another process; its descriptor number here now
    // names another socket.
    descriptor_keeper_t keeper;
    keeper.pass(client.get());
    scoped_fd_t other = tcp_socket();
    ASSERT_EQ(::dup2(other.get(), client.get()), client.get());
    answers = ask(*finder, io, {pair});
    ASSERT_TRUE(answers[0].called);
    EXPECT_FALSE(answers[0].error) << message_of(answers[0].error);
    EXPECT_EQ(answers[0].pid, keeper.pid);

    // Asked again, the new owner is still the answer.
    answers = ask(*finder, io, {pair});
    EXPECT_EQ(answers[0].pid, keeper.pid);
}

// Makes the kernel refuse `syscall` (for socket: only netlink sockets of
// protocol 4) with `error`, or answer it with another seccomp `action`, for
// the calling thread and the threads it starts later.
bool refuse(long syscall, int error, std::uint32_t action = SECCOMP_RET_ERRNO)
{
    const bool socket_call = syscall == SYS_socket;
    std::vector<sock_filter> program = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned>(syscall), 0, static_cast<__u8>(socket_call ? 5 : 1)),
    };
    if (socket_call) {
        program.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])));
        program.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AF_NETLINK, 0, 3));
        program.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[2])));
        program.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, NETLINK_SOCK_DIAG, 0, 1));
    }
    program.push_back(BPF_STMT(BPF_RET | BPF_K, action | (action == SECCOMP_RET_ERRNO ? static_cast<unsigned>(error) : 0)));
    program.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    sock_fprog fprog{static_cast<unsigned short>(program.size()), program.data()};
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &fprog) == 0;
}

TEST(process_finder_netns_default, falls_back_to_procfs_when_the_kernel_refuses_sock_diag)
{
    struct case_t {
        const char* name;
        long syscall;
        int error;
        const char* reason;
    };
    const std::vector<case_t> cases = {
        {"no NETLINK_SOCK_DIAG", SYS_socket, EPROTONOSUPPORT, "Kernel does not support NETLINK_SOCK_DIAG"},
        {"probe refused", SYS_sendmsg, EOPNOTSUPP, "Kernel does not support SOCK_DIAG_BY_FAMILY"},
    };
    for (const auto& c : cases) {
        const auto result = morva_test::run_in_child([&] {
            auto log = std::make_shared<morva_test::recording_log_t>();
            cf_log_install(log);
            cf_log_threshold = 0;
            if (!refuse(c.syscall, c.error))
                ::_exit(2);
            boost::asio::io_context io;
            process_finder_t finder(io);
            const auto lines = log->taken();
            std::fprintf(stderr, "%s\n", finder.inode_getter().name().c_str());
            for (const auto& line : lines)
                std::fprintf(stderr, "%s\n", line.c_str());
            ::_exit(0);
        });
        EXPECT_EQ(result.status, 0) << c.name;
        EXPECT_EQ(result.err, std::string("/proc/net/tcp\n0 Cannot create NETLINK inode getter: ") + c.reason
                                  + "; /proc will be parsed instead\n")
            << c.name;
    }
    // Any other failure to open the socket stops the service from being built.
    const auto result = morva_test::run_in_child([] {
        if (!refuse(SYS_socket, EMFILE))
            ::_exit(2);
        boost::asio::io_context io;
        try {
            process_finder_t finder(io);
        } catch (const boost::system::system_error& e) {
            ::_exit(e.code().value() == EMFILE ? 0 : 3);
        }
        ::_exit(1);
    });
    EXPECT_EQ(result.status, 0);
}

TEST(process_finder_netns_default, prefers_sock_diag)
{
    boost::asio::io_context io;
    process_finder_t finder(io);
    EXPECT_EQ(finder.inode_getter().name(), "netlink socket");
}

// The event loop reads no process's descriptor links: reading one holds the
// file for an instant, and should its owner close it then, the socket's close
// (up to a lingering socket's timeout) would run on the loop. Here the loop's
// thread dies on a readlink; the worker, started before the filter, may read.
TEST(process_finder_netns_default, the_event_loop_reads_no_descriptor_link)
{
    const auto result = morva_test::run_in_child([] {
        scoped_fd_t server = listener();
        const endpoint_t server_ep = local_of(server.get());
        scoped_fd_t client = connected_to(server_ep);
        boost::asio::io_context io;
        process_finder_t finder(io);
        if (!refuse(SYS_readlinkat, 0, SECCOMP_RET_KILL_PROCESS) || !refuse(SYS_readlink, 0, SECCOMP_RET_KILL_PROCESS))
            ::_exit(2);
        // One connection at a time from one client: after the first, the
        // socket is where the last one was found. Past a pause after a miss.
        for (int i = 0; i < 40; ++i) {
            const auto answers = ask(finder, io, {{local_of(client.get()), server_ep}});
            if (!answers[0].called || answers[0].pid != ::getpid())
                ::_exit(3);
        }
        ::_exit(0);
    });
    EXPECT_EQ(result.status, 0) << result.err;
}

} // namespace
