// The iptables service among its real neighbours (marks, acceptor, diverter with
// its queues) in this program's own network namespace: what each configuration
// leaves in the kernel's tables, as the host's legacy tools print them, and what
// a switch to manual configuration and the stop take away.
#include "fw/steering/iptables.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>

#include <boost/asio/io_context.hpp>
#include <boost/filesystem.hpp>

#include "linux_firewall_config.pb.h"
#include "tests/fw/descriptor_limit.hpp"
#include "tests/fw/steering/iptables_expected.hpp"
#include "tests/fw/steering/iptables_fakes.hpp"
#include "tests/fw/steering/neighbours.hpp"
#include "tests/fw/netns_fixture.hpp"

namespace {

using namespace fw::service;
using namespace morva_test::ipt_expected;
using morva_test::sh;

const std::string mangle_chains = "*mangle\n:PREROUTING ACCEPT [0:0]\n:INPUT ACCEPT [0:0]\n:FORWARD ACCEPT [0:0]\n"
                                  ":OUTPUT ACCEPT [0:0]\n:POSTROUTING ACCEPT [0:0]\n";
const std::string nat_chains = "*nat\n:PREROUTING ACCEPT [0:0]\n:INPUT ACCEPT [0:0]\n:OUTPUT ACCEPT [0:0]\n"
                               ":POSTROUTING ACCEPT [0:0]\n";
// Rules of the host, with counters.
const std::string host_output = "[5:300] -A OUTPUT -s 10.1.2.0/24 -p tcp -j ACCEPT\n";
const std::string host_postrouting = "[4:240] -A POSTROUTING -s 192.168.0.0/16 -j MASQUERADE\n";
const std::string host_mangle = mangle_chains + host_output + "COMMIT\n";
const std::string host_nat = nat_chains + host_postrouting + "COMMIT\n";

using morva_test::fresh;
const auto restore = morva_test::ipt_restore;
const auto save = morva_test::ipt_save_table;

class iptables_service : public morva_test::netns_test_t {
protected:
    void SetUp() override
    {
        netns_test_t::SetUp();
        if (HasFatalFailure())
            return;
        restore(host_mangle + host_nat);

        // The nf_tables modules fail to load unless a test says otherwise.
        modprobe = std::make_unique<morva_test::fake_modprobe_t>(dir, "nft_*");
        modprobe->set_failing(true);

        morva_test::set_steering_config(config);
        config.set_xtables_lock_path(lock_path());
        config.set_output_divert_enable(true);
        config.mutable_output_divert_nfqueue_number()->set_manual(3);
        config.set_forward_divert_enable(true);
        config.mutable_forward_divert_nfqueue_number()->set_manual(5);

        neighbours = std::make_unique<morva_test::neighbours_t>(io, config);
        iptables = std::make_unique<iptables_t>(config, *neighbours->marks, *neighbours->acceptor,
                                                *neighbours->diverter);
    }

    void TearDown() override
    {
        iptables.reset();
        if (neighbours)
            neighbours->diverter.reset();
        modprobe.reset();
        restore(mangle_chains + "COMMIT\n" + nat_chains + "COMMIT\n");
        netns_test_t::TearDown();
    }

    void configure() { neighbours->configure(*iptables); }

    void add_divert_chain() { restore(morva_test::with_divert_chain(save("mangle"))); }

    std::unique_ptr<morva_test::fake_modprobe_t> modprobe;
    boost::asio::io_context io;
    kv::LinuxFirewallConfig config;
    std::unique_ptr<morva_test::neighbours_t> neighbours;
    std::unique_ptr<iptables_t> iptables;
};

TEST_F(iptables_service, steers_the_running_diverts_to_the_acceptor)
{
    config.set_process_ip_security_option(true);
    config.set_input_divert_enable(true);
    config.mutable_input_divert_nfqueue_number()->set_manual(4);
    configure();
    EXPECT_EQ(iptables->params(), params_with({queued_output, queued_input, queued_forward}, true));
    EXPECT_EQ(save("mangle"), mangle_chains
                                  + fresh({m1, m2_answered, m2_unanswered, m2, m3("INPUT", 4), m8(0x8, 3),
                                           m8(0x10, 4), m8(0x20, 5), m3("FORWARD", 5)})
                                  + host_output + fresh({m3("OUTPUT", 3), m4, m5, m6, m7(0x8), m7(0x10), m7(0x20)})
                                  + "COMMIT\n");
    EXPECT_EQ(save("nat"), nat_chains + fresh({n1}) + host_postrouting + "COMMIT\n");
    EXPECT_TRUE(iptables->installed());
    EXPECT_EQ(modprobe->calls(), "nft_tproxy\n");
    const auto lines = log->taken();
    EXPECT_EQ(lines.back(), "0 Iptables rules installed");
}

TEST_F(iptables_service, a_new_configuration_replaces_only_the_own_rules)
{
    configure();
    config.set_forward_divert_enable(false);
    config.mutable_output_divert_nfqueue_number()->set_manual(7);
    config.mutable_tproxy_listen_address()->set_port(8081);
    configure();
    configure();
    auto to_8081 = [](std::string rule) { return rule.replace(rule.find("8080"), 4, "8081"); };
    EXPECT_EQ(save("mangle"), mangle_chains + fresh({m1, to_8081(m2_answered), m2_unanswered, to_8081(m2)})
                                  + host_output + fresh({m3("OUTPUT", 7), m4, m5, m6}) + "COMMIT\n");
    EXPECT_EQ(save("nat"), nat_chains + fresh({n1}) + host_postrouting + "COMMIT\n");
}

TEST_F(iptables_service, leaves_mangle_to_nf_tables_when_its_modules_load)
{
    modprobe->set_failing(false);
    configure();
    EXPECT_EQ(modprobe->calls(), "nft_tproxy\nnft_ct\nnft_queue\n");
    EXPECT_EQ(save("mangle"), host_mangle);
    EXPECT_EQ(save("nat"), nat_chains + fresh({n1}) + host_postrouting + "COMMIT\n");
    EXPECT_TRUE(iptables->installed());

    iptables.reset();
    EXPECT_EQ(save("nat"), host_nat);
}

TEST_F(iptables_service, manual_configuration_from_the_start_touches_no_table)
{
    config.set_autoconfigure_iptables(false);
    configure();
    EXPECT_FALSE(boost::filesystem::exists(lock_path())) << "the lock was taken";
    EXPECT_EQ(save("mangle"), host_mangle);
    EXPECT_EQ(save("nat"), host_nat);
    EXPECT_FALSE(iptables->installed());
}

TEST_F(iptables_service, manual_configuration_later_removes_the_own_rules_and_the_divert_chain)
{
    configure();
    add_divert_chain();
    config.set_autoconfigure_iptables(false);
    configure();
    EXPECT_EQ(save("mangle"), host_mangle);
    EXPECT_EQ(save("nat"), host_nat);
    EXPECT_FALSE(iptables->installed());
}

TEST_F(iptables_service, stop_removes_every_own_rule)
{
    config.set_process_ip_security_option(true);
    configure();
    add_divert_chain();
    log->taken();
    iptables.reset();
    EXPECT_EQ(save("mangle"), host_mangle);
    EXPECT_EQ(save("nat"), host_nat);
    for (const std::string& line : log->taken())
        EXPECT_FALSE(line.starts_with("3 ")) << line;
}

TEST_F(iptables_service, a_first_configuration_failing_half_way_still_leaves_nothing_behind)
{
    // A host rule in nat that jumps to the divert chain stops the nat table
    // after mangle has been written.
    restore(host_mangle + nat_chains + ":morva-firewall-divert - [0:0]\n" + host_postrouting
            + "[0:0] -A POSTROUTING -j morva-firewall-divert\nCOMMIT\n");
    EXPECT_THROW(configure(), std::runtime_error);
    EXPECT_NE(save("mangle").find(m3("OUTPUT", 3)), std::string::npos);
    EXPECT_TRUE(iptables->installed());

    iptables.reset();
    EXPECT_EQ(save("mangle"), host_mangle);
}

TEST_F(iptables_service, a_host_table_with_queue_verdicts_survives_start_and_stop_byte_for_byte)
{
    const std::string queueing_mangle = mangle_chains + "[2:120] -A FORWARD -p udp -m udp --dport 5 -j QUEUE\n"
                                        + host_output + "[1:60] -A OUTPUT -p udp -m udp --dport 6 -j QUEUE\nCOMMIT\n";
    restore(queueing_mangle);
    configure();
    EXPECT_EQ(save("mangle"), mangle_chains + fresh({m1, m2_answered, m2_unanswered, m2})
                                  + "[2:120] -A FORWARD -p udp -m udp --dport 5 -j QUEUE\n"
                                  + fresh({m3("FORWARD", 5)}) + host_output
                                  + "[1:60] -A OUTPUT -p udp -m udp --dport 6 -j QUEUE\n"
                                  + fresh({m3("OUTPUT", 3), m4, m5, m6}) + "COMMIT\n");
    iptables.reset();
    EXPECT_EQ(save("mangle"), queueing_mangle);
    EXPECT_EQ(save("nat"), host_nat);
}

TEST_F(iptables_service, the_first_configuration_removes_what_a_crashed_run_left_whatever_the_mode)
{
    // What a run killed before its stop leaves: its rules in both tables.
    configure();
    const std::string left = save("mangle") + save("nat");
    iptables.reset();

    const struct {
        const char* name;
        bool automatic;
        bool nft_modules;
        std::string mangle, nat;
    } cases[] = {
        {"manual", false, false, host_mangle, host_nat},
        {"nf_tables steering", true, true, host_mangle, nat_chains + fresh({n1}) + host_postrouting + "COMMIT\n"},
        {"iptables steering", true, false,
         mangle_chains + fresh({m1, m2_answered, m2_unanswered, m2, m3("FORWARD", 5)}) + host_output
             + fresh({m3("OUTPUT", 3), m4, m5, m6}) + "COMMIT\n",
         nat_chains + fresh({n1}) + host_postrouting + "COMMIT\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        restore(left);
        config.set_autoconfigure_iptables(c.automatic);
        modprobe->set_failing(!c.nft_modules);
        iptables = std::make_unique<iptables_t>(config, *neighbours->marks, *neighbours->acceptor,
                                                *neighbours->diverter);
        configure();
        EXPECT_EQ(save("mangle"), c.mangle);
        EXPECT_EQ(save("nat"), c.nat);
        iptables.reset();
        EXPECT_EQ(save("mangle"), host_mangle);
        EXPECT_EQ(save("nat"), host_nat);
    }
}

TEST_F(iptables_service, a_stop_at_the_open_file_limit_removes_every_own_rule)
{
    for (const std::string& lock : {lock_path(), std::string()}) {
        SCOPED_TRACE(lock.empty() ? "default lock paths" : "configured lock path");
        config.set_xtables_lock_path(lock);
        const auto stopped = morva_test::run_guarded_in_child([&] {
            configure();
            if (!morva_test::exhaust_descriptors())
                ::_exit(2);
            log->taken();
            iptables.reset();
            int warnings = 0;
            for (const std::string& line : log->taken())
                if (line.starts_with("3 ")) {
                    ::write(2, (line + "\n").data(), line.size() + 1);
                    ++warnings;
                }
            ::_exit(warnings == 0 ? 0 : 1);
        });
        EXPECT_EQ(stopped.status, 0) << stopped.err;
        EXPECT_EQ(save("mangle"), host_mangle);
        EXPECT_EQ(save("nat"), host_nat);
    }
}

} // namespace
