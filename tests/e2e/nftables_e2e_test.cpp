// The daemon on the nftables backend next to other software that uses
// nftables and iptables-nft. The binary runs in a mount namespace of its own
// whose /usr/sbin (and so /sbin) holds a modprobe that succeeds; this kernel
// has nf_tables built in but no "queue" expression, so every divert stays off.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <regex>
#include <string>
#include <thread>

#include <boost/filesystem/operations.hpp>

#include "linux/nftables/names.hpp"
#include "tests/e2e/stack.hpp"
#include "tests/fw/nftables_foreign.hpp"

namespace {

using morva_test::topology_t;

// Runs `f` with this thread in the named network namespace; sockets made
// there stay in it.
template <class F>
auto in_netns(const std::string& ns, F&& f)
{
    const int self = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    const int target = ::open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
    if (self < 0 || target < 0 || ::setns(target, CLONE_NEWNET) != 0)
        throw std::runtime_error("cannot enter namespace " + ns);
    ::close(target);
    struct back_t {
        int fd;
        ~back_t()
        {
            ::setns(fd, CLONE_NEWNET);
            ::close(fd);
        }
    } back{self};
    return f();
}

// True once `done` holds, checked every 100 ms for at most 20 s.
bool eventually(const std::function<bool()>& done)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return true;
}

class nftables_e2e : public testing::Test {
protected:
    // The stand-in, and so the daemon, in a mount namespace where /usr/sbin
    // is overlaid with a modprobe that exits 0.
    std::vector<std::string> launcher() const
    {
        const std::string stub = stack.path("sbin");
        boost::filesystem::create_directories(stub);
        std::ofstream(stub + "/modprobe") << "#!/bin/sh\nexit 0\n";
        boost::filesystem::permissions(stub + "/modprobe", boost::filesystem::perms(0755));
        return {"/usr/bin/unshare", "-m", "--propagation", "private", "/bin/sh", "-c",
                "mount -t overlay overlay -o lowerdir=" + stub + ":/usr/sbin /usr/sbin && exec \"$0\" \"$@\""};
    }

    std::string nft(const std::string& command) const { return topology_t::sh_in(stack.hosts.firewall, "nft " + command); }
    void nft_file(const std::string& rules) const
    {
        std::ofstream(stack.path("rules.nft")) << rules;
        nft("-f " + stack.path("rules.nft"));
    }
    // The first rule of a chain as `nft list` prints it.
    std::string first_rule(const std::string& chain) const
    {
        std::istringstream in(nft("list chain " + chain));
        for (std::string line; std::getline(in, line);)
            if (line.starts_with("\t\t") && !line.starts_with("\t\ttype "))
                return line.substr(2);
        return "";
    }
    bool local_path_first(const std::string& chain) const
    {
        return first_rule(chain).find("comment \"morva-firewall\"") != std::string::npos;
    }
    bool running() { return !stack.marend().wait(std::chrono::milliseconds(0)); }

    morva_test::stack_t stack;
};

const char* const host_tables = R"(table inet host {
	chain input {
		type filter hook input priority filter; policy accept;
		meta mark set 0x2
	}
}
)";

TEST_F(nftables_e2e, other_softwares_changes_leave_the_daemon_steering)
{
    // Marks other software uses: an iptables-nft MARK target and an inet rule.
    topology_t::sh_in(stack.hosts.firewall, "iptables-nft -t mangle -A PREROUTING -j MARK --set-mark 0x1");
    nft_file(host_tables);

    stack.start(stack.config({.output = false, .input = false, .forward = false}), launcher());
    const std::string out = stack.daemon_output();
    EXPECT_NE(out.find("nftables rules installed"), std::string::npos) << out;
    // Automatic marks avoid 0x1 and 0x2: local delivery is 0x4.
    EXPECT_NE(stack.ip_rules().find("fwmark 0x4/0x4 lookup"), std::string::npos) << stack.ip_rules();
    EXPECT_NE(nft("list tables").find("table ip morva-firewall"), std::string::npos);
    EXPECT_TRUE(local_path_first("inet host input")) << nft("list ruleset");
    EXPECT_TRUE(local_path_first("ip mangle PREROUTING")) << nft("list ruleset");
    const std::string save = stack.iptables_save();
    const auto mangle = save.find("*mangle");
    EXPECT_EQ(mangle == std::string::npos ? std::string::npos
                                          : save.substr(mangle, save.find("COMMIT", mangle) - mangle).find("morva-firewall"),
              std::string::npos)
        << "nftables steers, not iptables' mangle table\n" << save;

    // A table another program owns refuses the local path: a Warning, the
    // daemon goes on, also when its owner adds a rule.
    auto owned = in_netns(stack.hosts.firewall, [] { return std::make_unique<morva_test::owner_table_t>("owned"); });
    owned->add_rule();
    // A foreign rule whose user data holds another TLV behind its comment, ahead of a local path.
    in_netns(stack.hosts.firewall, [] {
        morva_test::add_rule_with_two_tlvs(fw::linux::nftables::family_inet, "host", "input", "foreign");
        return 0;
    });
    EXPECT_TRUE(eventually([&] { return local_path_first("inet host input"); })) << nft("list ruleset");
    // One transaction of 3000 rules, more notifications than the daemon's socket holds.
    std::string burst = "table ip burst {\n\tchain c {\n\t\ttype filter hook output priority filter; policy accept;\n";
    for (int i = 0; i < 3000; ++i)
        burst += "\t\tcounter\n";
    nft_file(burst + "\t}\n}\n");
    EXPECT_TRUE(eventually([&] { return local_path_first("ip burst c"); })) << stack.daemon_output();
    EXPECT_TRUE(running()) << stack.daemon_output();

    // An administrator's reload that begins with "flush ruleset" takes the own table too.
    nft_file("flush ruleset\n" + std::string(host_tables));
    EXPECT_TRUE(eventually([&] {
        return nft("list tables").find("table ip morva-firewall") != std::string::npos
               && local_path_first("inet host input");
    })) << stack.daemon_output();
    EXPECT_TRUE(running()) << stack.daemon_output();

    // A new revision with the owned table still there.
    owned->add_rule();
    stack.marend().signal(SIGHUP);
    ASSERT_TRUE(stack.marend().wait_for("MY_INFO_NOTIFICATION: revision 2")) << stack.daemon_output();
    EXPECT_TRUE(local_path_first("inet host input"));

    const std::string log = stack.daemon_output();
    for (const char* line :
         {"Warning: Cannot add the local-path rule to chain ip owned inbound, the chain is skipped: NETLINK error "
          "received: Operation not permitted",
          "Warning: nftables table morva-firewall was deleted by another program; installing it again"})
        EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
    EXPECT_EQ(log.find("Cannot apply configuration"), std::string::npos) << log;

    EXPECT_EQ(stack.stop(), 0) << stack.daemon_output();
    EXPECT_NE(stack.daemon_output().find("daemon exited with status 107"), std::string::npos)
        << stack.daemon_output();
    stack.expect_nothing_left();
    EXPECT_EQ(nft("list ruleset").find("morva-firewall"), std::string::npos) << nft("list ruleset");
    owned.reset();
}

TEST_F(nftables_e2e, a_kernel_without_the_queue_expression_is_named_in_the_refusal)
{
    stack.start(stack.config({.output = false, .input = false, .forward = false}), launcher());
    stack.write_config(stack.config({.output = true, .input = false, .forward = false}));
    stack.marend().signal(SIGHUP);
    const auto status = stack.marend().wait();
    ASSERT_TRUE(status) << stack.daemon_output();
    EXPECT_EQ(*status, 102) << stack.daemon_output();
    EXPECT_TRUE(std::regex_search(
        stack.daemon_output(),
        std::regex("Error: Cannot apply configuration \\(revision 2\\): Cannot install nftables rules: the kernel "
                   "refused rule \"tcp flags & \\(syn\\|ack\\) == syn mark & \\(CP\\|SP\\|LD\\) == 0 counter queue "
                   "[0-9]+\" in chain output: No such file or directory")))
        << stack.daemon_output();
    stack.expect_nothing_left();
}

// A new SYN on a connection that still carries the daemon's client mark,
// where no socket of the daemon's answers it (the firewall host lost a
// checked connection without conntrack seeing its end): the connection is no
// longer the daemon's and goes its own way, not to the listener, which would
// reset it. This kernel cannot queue, so a rule of the test's own puts the
// mark on, between conntrack and the daemon's rules.
TEST_F(nftables_e2e, a_syn_no_socket_of_the_daemons_answers_takes_the_daemons_mark_off_its_connection)
{
    std::string config = stack.config({.output = false, .input = false, .forward = false});
    for (const auto& [name, value] : {std::pair{"local_delivery_mark", "256"}, std::pair{"client_packets_mark", "512"},
                                      std::pair{"server_packets_mark", "1024"}})
        config = std::regex_replace(config, std::regex(std::string(name) + " \\{ auto \\{\\} \\}"),
                                    std::string(name) + " { manual: " + value + " }");
    stack.start(config, launcher());
    const std::string from = "46001";
    nft_file(std::string("table ip stale {\n\tchain pre {\n")
             + "\t\ttype filter hook prerouting priority -180; policy accept;\n"
             + "\t\tip saddr " + topology_t::client_address + " tcp sport " + from
             + " tcp flags & (syn | ack) == syn ct mark set 0x200\n\t}\n}\n");

    const auto c = stack.connect(stack.hosts.client, topology_t::server_address, "8080", "its own way", "10",
                                 {"--from", from, "--server-closes"});
    ASSERT_EQ(c.status, 0) << c.output << stack.daemon_output();
    EXPECT_EQ(c.reply, "peer " + std::string(topology_t::client_address) + ":" + from + " sent \"its own way\"");
    EXPECT_TRUE(std::regex_search(nft("list chain ip morva-firewall prerouting"),
                                  std::regex("ct mark set ct mark & 0xfffff9ff counter packets 1 ")))
        << nft("list chain ip morva-firewall prerouting");
    EXPECT_EQ(stack.stop(), 0) << stack.daemon_output();
    stack.expect_nothing_left();
}

// A run killed on the nftables backend leaves its table and its local paths.
// The next run removes them at its first configuration also on the iptables
// backend (there is no modprobe outside the launcher) and with iptables left
// to the administrator, where nothing else of it would; other software's
// table stays as it was.
TEST_F(nftables_e2e, what_a_killed_run_left_goes_with_the_next_run_on_either_backend_and_mode)
{
    nft_file(host_tables);
    const std::string others = nft("list ruleset");
    struct next_run_t {
        const char* name;
        std::string config;
        std::vector<std::string> launcher;
    };
    for (const next_run_t& next : {next_run_t{"iptables backend", stack.config(), {}},
                                   next_run_t{"manual configuration", stack.manual_config(), launcher()}}) {
        SCOPED_TRACE(next.name);
        stack.start(stack.config({.output = false, .input = false, .forward = false}), launcher());
        ASSERT_TRUE(local_path_first("inet host input")) << nft("list ruleset");
        stack.kill_daemon();
        ASSERT_NE(nft("list ruleset").find("morva-firewall"), std::string::npos);

        stack.start(next.config, next.launcher);
        EXPECT_EQ(nft("list ruleset"), others);
        EXPECT_NE(stack.daemon_output().find("Removing the nftables rules an earlier run left"), std::string::npos)
            << stack.daemon_output();
        EXPECT_EQ(stack.stop(), 0) << stack.daemon_output();
        EXPECT_EQ(nft("list ruleset"), others);
    }
    stack.expect_nothing_left();
}

} // namespace
