// The iptables service among its real neighbours (marks, acceptor, diverter with
// its queues) in this program's own network namespace: what each configuration
// leaves in the kernel's tables, as the host's legacy tools print them, and what
// a switch to manual configuration and the stop take away.
#include "fw/service/iptables.hpp"

#include <gtest/gtest.h>


#include <memory>

#include <boost/asio/io_context.hpp>
#include <boost/filesystem.hpp>

#include "common/log.hpp"
#include "fw/service/connection_diverter.hpp"
#include "fw/service/connection_rejector.hpp"
#include "fw/service/marking_retransmitter.hpp"
#include "fw/service/marks.hpp"
#include "fw/service/packet_validator.hpp"
#include "fw/service/server_connector.hpp"
#include "fw/service/server_socket_pool.hpp"
#include "fw/service/transparent_acceptor.hpp"
#include "linux/nftables/transaction.hpp"
#include "linux_firewall_config.pb.h"
#include "tests/common/recording_log.hpp"
#include "tests/common/temp_dir.hpp"
#include "tests/fw/service/iptables_expected.hpp"
#include "tests/fw/service/iptables_fakes.hpp"
#include "tests/support/netns.hpp"

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

// Hands no pair anywhere: no connection reaches the pool in these tests.
struct no_pellad_t : server_socket_pool_t::delegate_t {
    void new_socket_pair(connected_socket_t&&, connected_socket_t&&, const kv::RuleSet&) override {}
};

class iptables_service : public morva_test::temp_dir_test_t {
protected:
    void SetUp() override
    {
        temp_dir_test_t::SetUp();
        ASSERT_TRUE(morva_test::in_private_netns());
        cf_log_install(log);
        cf_log_threshold = 0;
        restore(host_mangle + host_nat);

        // The nf_tables modules fail to load unless a test says otherwise.
        modprobe = std::make_unique<morva_test::fake_modprobe_t>(dir, "nft_*");
        modprobe->set_failing(true);

        config.set_autoconfigure_iptables(true);
        config.set_xtables_lock_path(lock_path());
        config.mutable_local_delivery_mark()->set_manual(0x1);
        config.mutable_client_packets_mark()->set_manual(0x2);
        config.mutable_server_packets_mark()->set_manual(0x4);
        config.mutable_output_divert_mark()->set_manual(0x8);
        config.mutable_input_divert_mark()->set_manual(0x10);
        config.mutable_forward_divert_mark()->set_manual(0x20);
        config.mutable_tproxy_listen_address()->set_address("127.0.0.1");
        config.mutable_tproxy_listen_address()->set_port(8080);
        config.set_output_divert_enable(true);
        config.mutable_output_divert_nfqueue_number()->set_manual(3);
        config.set_forward_divert_enable(true);
        config.mutable_forward_divert_nfqueue_number()->set_manual(5);

        marks = std::make_unique<marks_t>(config, [](const mark_filter_t&) { return 0u; });
        rejector = std::make_unique<connection_rejector_t>(io, *marks);
        retransmitter = std::make_unique<marking_retransmitter_t>(io, *marks);
        pool = std::make_unique<server_socket_pool_t>(pellad, 100);
        acceptor = std::make_unique<transparent_acceptor_t>(io, *pool, config, *marks);
        validator = std::make_unique<packet_validator_t>(*marks, *acceptor);
        connector = std::make_unique<server_connector_t>(io, config, *marks, 100);
        diverter = std::make_unique<connection_diverter_t>(
            io, *pool, config, *connector, *marks, *rejector, *retransmitter, *validator, lua_stand_in(),
            [](const auto&, const auto&, auto) { return std::shared_ptr<void>(); });
        iptables = std::make_unique<iptables_t>(config, *marks, *acceptor, *diverter);
    }

    void TearDown() override
    {
        iptables.reset();
        diverter.reset();
        modprobe.reset();
        restore(mangle_chains + "COMMIT\n" + nat_chains + "COMMIT\n");
        temp_dir_test_t::TearDown();
    }

    // No session reaches the Lua service: the diverter is given its own.
    static lua_t& lua_stand_in()
    {
        alignas(std::max_align_t) static unsigned char storage[16];
        return *reinterpret_cast<lua_t*>(storage);
    }

    // Every service in list order, as the daemon applies a configuration.
    void configure()
    {
        for (fw::util::service_t* service : std::initializer_list<fw::util::service_t*>{
                 marks.get(), rejector.get(), retransmitter.get(), acceptor.get(), pool.get(), validator.get(),
                 connector.get(), diverter.get(), iptables.get()})
            service->configure();
    }

    void add_divert_chain()
    {
        std::string mangle = save("mangle");
        mangle.insert(mangle.find("\n[") + 1, ":morva-firewall-divert - [0:0]\n");
        mangle.insert(mangle.find("COMMIT"), "[0:0] -A morva-firewall-divert -j MARK --set-xmark 0x1/0xffffffff\n");
        restore(mangle);
    }

    std::string lock_path() const { return (dir / "xtables.lock").string(); }

    std::shared_ptr<morva_test::recording_log_t> log = std::make_shared<morva_test::recording_log_t>();
    std::unique_ptr<morva_test::fake_modprobe_t> modprobe;
    boost::asio::io_context io;
    kv::LinuxFirewallConfig config;
    no_pellad_t pellad;
    std::unique_ptr<marks_t> marks;
    std::unique_ptr<connection_rejector_t> rejector;
    std::unique_ptr<marking_retransmitter_t> retransmitter;
    std::unique_ptr<server_socket_pool_t> pool;
    std::unique_ptr<transparent_acceptor_t> acceptor;
    std::unique_ptr<packet_validator_t> validator;
    std::unique_ptr<server_connector_t> connector;
    std::unique_ptr<connection_diverter_t> diverter;
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
                                  + fresh({m1, m2, m3("INPUT", 4), m8(0x8, 3), m8(0x10, 4), m8(0x20, 5),
                                           m3("FORWARD", 5)})
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
    const std::string tproxy_8081 = [] {
        std::string rule = m2;
        return rule.replace(rule.find("8080"), 4, "8081");
    }();
    EXPECT_EQ(save("mangle"),
              mangle_chains + fresh({m1, tproxy_8081}) + host_output + fresh({m3("OUTPUT", 7), m4, m5, m6}) + "COMMIT\n");
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

} // namespace
