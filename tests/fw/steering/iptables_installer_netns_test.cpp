// The own rules in the kernel's tables of this program's own network namespace,
// with the host's legacy iptables tools as the witness: exactly the expected
// lines, foreign rules and their counters kept across changes, the divert chain
// removed, and every change waiting for the xtables lock.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <future>
#include <regex>
#include <thread>

#include <boost/filesystem.hpp>

#include "fw/steering/iptables_installer.hpp"
#include "tests/fw/steering/iptables_expected.hpp"
#include "tests/fw/steering/iptables_fakes.hpp"
#include "tests/fw/netns_fixture.hpp"
#include "tests/support/wait.hpp"

namespace {

using namespace fw::service;
using namespace morva_test::ipt_expected;
using morva_test::sh;

const std::string mangle_chains = R"(*mangle
:PREROUTING ACCEPT [0:0]
:INPUT ACCEPT [0:0]
:FORWARD ACCEPT [0:0]
:OUTPUT ACCEPT [3:180]
:POSTROUTING ACCEPT [0:0]
)";

const std::string nat_chains = R"(*nat
:PREROUTING ACCEPT [0:0]
:INPUT ACCEPT [0:0]
:OUTPUT ACCEPT [0:0]
:POSTROUTING ACCEPT [2:120]
)";

// Host rules with counters, an own rule left by an earlier run, and a rule of a
// user chain that carries the own comment (user chains are never ours).
const std::string host_mangle = mangle_chains + R"(:host-chain - [0:0]
[7:420] -A FORWARD -j host-chain
[5:300] -A OUTPUT -s 10.1.2.0/24 -p tcp -j ACCEPT
[2:120] -A OUTPUT -m comment --comment morva-firewall -m mark --mark 0x2/0x6 -j CONNMARK --set-xmark 0x2/0xffffffff
[1:60] -A host-chain -m comment --comment morva-firewall -j RETURN
COMMIT
)";

const std::string host_nat = nat_chains + R"([4:240] -A POSTROUTING -s 192.168.0.0/16 -j MASQUERADE
COMMIT
)";

// Without the stale own rule.
const std::string host_mangle_only = mangle_chains + R"(:host-chain - [0:0]
[7:420] -A FORWARD -j host-chain
[5:300] -A OUTPUT -s 10.1.2.0/24 -p tcp -j ACCEPT
[1:60] -A host-chain -m comment --comment morva-firewall -j RETURN
COMMIT
)";

using morva_test::fresh;
const auto restore = morva_test::ipt_restore;
const auto save = morva_test::ipt_save_table;

class kernel_installer : public morva_test::netns_test_t {
protected:
    void SetUp() override
    {
        netns_test_t::SetUp();
        if (HasFatalFailure())
            return;
        restore(host_mangle + host_nat);
    }
    void TearDown() override
    {
        restore(mangle_chains + "COMMIT\n" + nat_chains + "COMMIT\n");
        netns_test_t::TearDown();
    }

    iptables_installer_t installer;
};

TEST_F(kernel_installer, installs_exactly_the_own_rules_beside_the_host_rules)
{
    installer.install(params_with({queued_output, queued_input, queued_forward}, true), false, lock_path());
    EXPECT_EQ(save("mangle"), mangle_chains + ":host-chain - [0:0]\n"
                                  + fresh({m1, m2_answered, m2_unanswered, m2})
                                  + fresh({m3("INPUT", 4), m8(0x8, 3), m8(0x10, 4), m8(0x20, 5)})
                                  + "[7:420] -A FORWARD -j host-chain\n" + fresh({m3("FORWARD", 5)})
                                  + "[5:300] -A OUTPUT -s 10.1.2.0/24 -p tcp -j ACCEPT\n"
                                  + fresh({m3("OUTPUT", 3), m4, m5, m6, m7(0x8), m7(0x10), m7(0x20)})
                                  + "[1:60] -A host-chain -m comment --comment morva-firewall -j RETURN\nCOMMIT\n");
    EXPECT_EQ(save("nat"), nat_chains + fresh({n1}) + "[4:240] -A POSTROUTING -s 192.168.0.0/16 -j MASQUERADE\nCOMMIT\n");
}

TEST_F(kernel_installer, a_new_configuration_replaces_the_own_rules_only)
{
    installer.install(params_with({queued_output, queued_forward}, true), false, lock_path());
    const std::string nat = save("nat");
    installer.install(params_with({{3, 9, 0x8}}), false, lock_path());
    EXPECT_EQ(save("mangle"), mangle_chains + ":host-chain - [0:0]\n"
                                  + fresh({m1, m2_answered, m2_unanswered, m2})
                                  + "[7:420] -A FORWARD -j host-chain\n"
                                  + "[5:300] -A OUTPUT -s 10.1.2.0/24 -p tcp -j ACCEPT\n"
                                  + fresh({m3("OUTPUT", 9), m4, m5, m6})
                                  + "[1:60] -A host-chain -m comment --comment morva-firewall -j RETURN\nCOMMIT\n");
    EXPECT_EQ(save("nat"), nat) << "one copy of the nat rule";

    // nf_tables steering: mangle keeps what it has.
    const std::string mangle = save("mangle");
    installer.install(params_with({}), true, lock_path());
    EXPECT_EQ(save("mangle"), mangle);
    EXPECT_EQ(save("nat"), nat);
}

TEST_F(kernel_installer, uninstall_leaves_the_host_rules_and_drops_the_divert_chain)
{
    installer.install(params_with({queued_output}, true), false, lock_path());
    // Restored whole, so that the counters stay as they are.
    const std::string mangle = morva_test::with_divert_chain(save("mangle"));
    restore(mangle);
    ASSERT_EQ(save("mangle"), mangle);
    installer.uninstall(lock_path());
    EXPECT_EQ(save("mangle"), host_mangle_only);
    EXPECT_EQ(save("nat"), host_nat);
}

TEST_F(kernel_installer, a_referenced_divert_chain_stops_the_installation)
{
    sh("iptables-legacy -w -t mangle -N morva-firewall-divert");
    sh("iptables-legacy -w -t mangle -A host-chain -j morva-firewall-divert");
    const std::string before = save("mangle");
    try {
        installer.install(params_with({queued_output}), false, lock_path());
        FAIL() << "installed";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "chain morva-firewall-divert is referenced from chain host-chain (this might "
                                         "be caused by improper iptables manual configuration)");
    }
    EXPECT_EQ(save("mangle"), before);
    EXPECT_EQ(save("nat"), host_nat);
}

// Whether this process waits for the lock on `path`: the kernel lists a
// blocked flock with "->" in /proc/locks.
bool waiting_for_lock(const std::string& path)
{
    struct stat file{};
    if (::stat(path.c_str(), &file) != 0)
        return false;
    const std::regex blocked("-> FLOCK +ADVISORY +WRITE +" + std::to_string(::getpid()) + " +[0-9a-f]+:[0-9a-f]+:"
                             + std::to_string(file.st_ino) + " ");
    std::ifstream locks("/proc/locks");
    for (std::string line; std::getline(locks, line);)
        if (std::regex_search(line, blocked))
            return true;
    return false;
}

TEST_F(kernel_installer, a_held_lock_delays_the_change)
{
    const std::string ready = (dir / "ready").string(), release = (dir / "release").string();
    // The host's own lock tool holds the file until the test lets it go.
    sh("flock " + lock_path() + " sh -c 'touch " + ready + "; while [ ! -e " + release
       + " ]; do sleep 0.01; done' >/dev/null 2>&1 &");
    // Declared first, so that a failure lets the lock go before it waits for the installer.
    std::future<void> installed;
    struct released_t {
        std::string release;
        ~released_t() { std::ofstream{release}; }
    } released{release};
    ASSERT_TRUE(morva_test::wait_until([&] { return boost::filesystem::exists(ready); }));

    installed = std::async(std::launch::async,
                                [&] { installer.install(params_with({queued_output}), false, lock_path()); });
    ASSERT_TRUE(morva_test::wait_until([&] { return waiting_for_lock(lock_path()); }))
        << "the installer did not wait for the lock";
    EXPECT_EQ(save("mangle").find(m3("OUTPUT", 3)), std::string::npos) << "changed under the lock";
    std::ofstream{release};
    installed.get();
    EXPECT_NE(save("mangle").find(m3("OUTPUT", 3)), std::string::npos);
}

// The packets a foreign rule counts while the tables are read and replaced
// stay counted: a flood on "lo" through a foreign counting rule of "mangle"
// during install and uninstall cycles ends with the count the sender knows,
// which the same rule in "filter", a table never replaced, witnesses too.
TEST_F(kernel_installer, foreign_counters_keep_what_they_count_during_a_replace)
{
    const std::string rule = "OUTPUT -o lo -p udp -m udp --dport 9";
    struct cleanup_t {
        ~cleanup_t() { morva_test::sh_status("iptables-legacy -w -t filter -F OUTPUT"); }
    } cleanup;
    sh("iptables-legacy -w -t mangle -I " + rule);
    sh("iptables-legacy -w -t filter -A " + rule);

    std::atomic<bool> stop = false;
    std::atomic<std::uint64_t> sent = 0;
    std::thread sender([&] {
        const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(9);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        while (!stop)
            if (::sendto(fd, "x", 1, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 1)
                ++sent;
        ::close(fd);
    });
    struct joined_t {
        std::atomic<bool>& stop;
        std::thread& sender;
        ~joined_t()
        {
            stop = true;
            if (sender.joinable())
                sender.join();
        }
    } joined{stop, sender};
    // Each step starts only once packets flow, and more are sent before the
    // next one: every replace and removal happens amid the flood.
    const auto more_packets = [&] {
        const std::uint64_t before = sent;
        return morva_test::wait_until([&] { return sent > before; });
    };
    ASSERT_TRUE(more_packets()) << "the sender sent nothing";
    for (int cycle = 0; cycle < 20; ++cycle) {
        installer.install(params_with({queued_output}), false, lock_path());
        ASSERT_TRUE(more_packets()) << "cycle " << cycle;
        installer.uninstall(lock_path());
        ASSERT_TRUE(more_packets()) << "cycle " << cycle;
    }
    stop = true;
    sender.join();

    const auto count = [&](const char* table) {
        const std::string saved = sh(std::string("iptables-legacy-save -c -t ") + table);
        std::smatch m;
        EXPECT_TRUE(std::regex_search(saved, m, std::regex("\\[(\\d+):\\d+\\] -A " + rule + "\n"))) << saved;
        return m.empty() ? 0 : std::stoull(m[1]);
    };
    EXPECT_GT(sent, 0u);
    EXPECT_EQ(count("filter"), sent);
    EXPECT_EQ(count("mangle"), sent);
}

} // namespace
