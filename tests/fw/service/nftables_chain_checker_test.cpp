// The chain checker's reaction to one notification, against a stand-in kernel:
// replies the real kernel gives rarely or never (a chain query answered by
// something else, malformed notifications), and the cases where it must not
// write at all.
#include "fw/service/nftables_chain_checker.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/log.hpp"
#include "linux/nftables/parser.hpp"
#include "linux/nftables/transaction.hpp"
#include "tests/common/recording_log.hpp"
#include "tests/fw/service/nftables_expected.hpp"
#include "tests/fw/service/nftables_fake_kernel.hpp"

namespace {

using namespace fw::service;
using namespace morva_test;

constexpr std::uint16_t newrule = (NFNL_SUBSYS_NFTABLES << 8) | NFT_MSG_NEWRULE;

class chain_checker : public testing::Test {
protected:
    void SetUp() override
    {
        cf_log_install(log);
        cf_log_threshold = 0;
        // The modules do not load: the checker has no link, and is driven by hand.
        fw::linux::nftables::utils::set_modprobe_program("/bin/false");
        steering_params_t params;
        params.local_delivery_mark = 0x1;
        checker.set_params(params);
    }
    void TearDown() override { fw::linux::nftables::utils::set_modprobe_program("/sbin/modprobe"); }

    // The notification of a rule added to host/inbound in `family`.
    void notify(std::uint8_t family, const std::string& table = "host")
    {
        bytes_t payload = {family, 0, 0, 0};
        payload += rule_attributes(table, "inbound", 20, "");
        checker.on_message(newrule, payload.data(), payload.size());
    }

    std::vector<std::uint16_t> sent_types()
    {
        std::vector<std::uint16_t> types;
        for (const nft_sent_t& m : kernel.sent())
            types.push_back(m.type);
        return types;
    }

    // Dumps of host/inbound hold `rules`; the chain query is answered with `chain_reply`.
    std::vector<bytes_t> rules;
    std::optional<bytes_t> chain_reply;
    nft_fake_kernel_t kernel{[this](const nft_sent_t& request, std::uint32_t seq) {
        std::vector<bytes_t> out;
        if (request.type == NFT_MSG_GETRULE) {
            for (const bytes_t& attributes : rules)
                out.push_back(rule_reply(seq, request.family, attributes));
        } else if (chain_reply) {
            bytes_t reply = *chain_reply;
            std::memcpy(reply.data() + offsetof(nlmsghdr, nlmsg_seq), &seq, 4);
            out.push_back(reply);
        }
        return out;
    }};
    boost::asio::io_context io;
    nft_chain_checker_t checker{io, [this] { return kernel.socket(); }};
    std::shared_ptr<recording_log_t> log = std::make_shared<recording_log_t>();
};

TEST_F(chain_checker, an_own_rule_behind_a_foreign_one_is_replaced_at_the_head)
{
    rules = {rule_attributes("host", "inbound", 20, "other"),
             rule_attributes("host", "inbound", 5, "morva-firewall", 20),
             rule_attributes("host", "inbound", 6, "other", 5), rule_attributes("host", "inbound", 7, "morva-firewall", 6)};
    chain_reply = nft_message(NFT_MSG_NEWCHAIN, 0, 0, 2, base_chain_attributes("host", "inbound", 1));
    notify(2);
    EXPECT_EQ(sent_types(), (std::vector<std::uint16_t>{NFT_MSG_GETRULE, NFT_MSG_DELRULE, NFT_MSG_DELRULE,
                                                        NFT_MSG_GETCHAIN, NFT_MSG_NEWRULE}));
    const auto sent = kernel.sent();
    // The dump asks for this chain only.
    EXPECT_EQ(sent[0].str(NFTA_RULE_TABLE), "host");
    EXPECT_EQ(sent[0].str(NFTA_RULE_CHAIN), "inbound");
    EXPECT_EQ(nft_attribute(sent[1].attributes, NFTA_RULE_HANDLE), be(5, 8));
    EXPECT_EQ(nft_attribute(sent[2].attributes, NFTA_RULE_HANDLE), be(7, 8));
    EXPECT_EQ(sent[4].rule(), nft_expected::local_path("ip host inbound", false));
}

TEST_F(chain_checker, an_own_rule_first_in_its_chain_ends_the_reaction)
{
    rules = {rule_attributes("host", "inbound", 5, "morva-firewall"), rule_attributes("host", "inbound", 20, "other", 5),
             rule_attributes("host", "inbound", 7, "morva-firewall", 20)};
    notify(1);
    EXPECT_EQ(sent_types(), std::vector<std::uint16_t>{NFT_MSG_GETRULE});
}

TEST_F(chain_checker, a_chain_query_answered_otherwise_adds_nothing)
{
    rules = {rule_attributes("host", "inbound", 20, "other"),
             rule_attributes("host", "inbound", 5, "morva-firewall", 20)};
    chain_reply = nft_message(NFT_MSG_NEWTABLE, 0, 0, 2, attr(NFTA_TABLE_NAME, text("host")));
    notify(2);
    EXPECT_EQ(sent_types(),
              (std::vector<std::uint16_t>{NFT_MSG_GETRULE, NFT_MSG_DELRULE, NFT_MSG_GETCHAIN}));
    const auto lines = log->taken();
    EXPECT_EQ(lines.back(), "2 need NFT_MSG_NEWCHAIN msg type");
}

TEST_F(chain_checker, notifications_it_does_not_act_on)
{
    notify(10); // ip6
    notify(7);  // bridge
    notify(2, "morva-firewall");
    checker.clear_params();
    notify(2);
    EXPECT_TRUE(kernel.sent().empty());
    EXPECT_EQ(log->taken(),
              (std::vector<std::string>{
                  "0 receive message (NFT_MSG_NEWRULE) : type=2566, msg_type=6, family=2, chain name = inbound",
                  "0 receive message (NFT_MSG_NEWRULE) : type=2566, msg_type=6, family=2, chain name = inbound"}));

    // Other messages of nf_tables and of other subsystems.
    const bytes_t payload = {2, 0, 0, 0};
    checker.on_message((NFNL_SUBSYS_NFTABLES << 8) | NFT_MSG_NEWCHAIN, payload.data(), payload.size());
    checker.on_message((NFNL_SUBSYS_QUEUE << 8) | NFT_MSG_NEWRULE, payload.data(), payload.size());
    EXPECT_TRUE(log->taken().empty());
}

TEST_F(chain_checker, malformed_notifications_are_errors)
{
    const bytes_t empty;
    EXPECT_THROW(checker.on_message(newrule, empty.data(), 0), fw::linux::nftables::parse_error_t);
    const bytes_t short_payload = {2, 0};
    EXPECT_THROW(checker.on_message(newrule, short_payload.data(), short_payload.size()),
                 fw::linux::nftables::parse_error_t);
    bytes_t past_end = {2, 0, 0, 0, 0x40, 0, 1, 0};
    EXPECT_THROW(checker.on_message(newrule, past_end.data(), past_end.size()), fw::linux::nftables::parse_error_t);
    // A rule without its table.
    bytes_t no_table = {2, 0, 0, 0};
    no_table += attr(NFTA_RULE_CHAIN, text("inbound"));
    EXPECT_THROW(checker.on_message(newrule, no_table.data(), no_table.size()), std::bad_optional_access);
    EXPECT_TRUE(kernel.sent().empty());
}

TEST_F(chain_checker, a_failed_link_ends_with_its_error_described)
{
    try {
        checker.on_error(boost::system::error_code(ENOBUFS, boost::system::system_category()));
        FAIL() << "no exception";
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(e.code().value(), ENOBUFS);
        EXPECT_STREQ(e.what(), "chain check netlink: No buffer space available [system:105]");
    }
}

} // namespace
