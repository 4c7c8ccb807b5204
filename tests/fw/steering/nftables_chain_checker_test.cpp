// The chain checker's reaction to one notification, against a stand-in kernel:
// replies the real kernel gives rarely or never (a chain query answered by
// something else, malformed notifications), and the cases where it must not
// write at all.
#include "fw/steering/nftables_chain_checker.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "common/log.hpp"
#include "linux/nftables/parser.hpp"
#include "linux/nftables/transaction.hpp"
#include "tests/common/recording_log.hpp"
#include "tests/fw/nftables_expected.hpp"
#include "tests/fw/nftables_fake_kernel.hpp"

namespace {

using namespace fw::service;
using namespace morva_test;

constexpr std::uint16_t newrule = (NFNL_SUBSYS_NFTABLES << 8) | NFT_MSG_NEWRULE;

bytes_t join(std::initializer_list<bytes_t> parts)
{
    bytes_t out;
    for (const bytes_t& p : parts)
        out += p;
    return out;
}

// The process log recorded. The modules do not load: a checker has no link
// and is driven by hand.
class checker_test_t : public testing::Test {
protected:
    void SetUp() override
    {
        cf_log_install(log);
        cf_log_threshold = 0;
        fw::linux::nftables::utils::set_modprobe_program("/bin/false");
    }
    void TearDown() override { fw::linux::nftables::utils::set_modprobe_program("/sbin/modprobe"); }

    static steering_params_t params()
    {
        steering_params_t params;
        params.local_delivery_mark = 0x1;
        params.client_packets_mark = 0x2;
        params.server_packets_mark = 0x4;
        params.tproxy_address = 0x7f000001;
        params.tproxy_port = 8080;
        return params;
    }

    std::shared_ptr<recording_log_t> log = std::make_shared<recording_log_t>();
};

class chain_checker : public checker_test_t {
protected:
    void SetUp() override
    {
        checker_test_t::SetUp();
        checker.set_params(params());
    }

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

TEST_F(chain_checker, foreign_messages_that_cannot_be_read_are_skipped)
{
    struct {
        const char* name;
        bytes_t payload;
    } cases[] = {
        {"empty", {}},
        {"shorter than its nfgenmsg", {2, 0}},
        {"attribute past the end", {2, 0, 0, 0, 0x40, 0, 1, 0}},
        {"without its table", join({{2, 0, 0, 0}, attr(NFTA_RULE_CHAIN, text("inbound"))})},
        {"user data running past its attribute",
         join({{2, 0, 0, 0}, attr(NFTA_RULE_TABLE, text("host")), attr(NFTA_RULE_USERDATA, {0, 0x40, 'a', 0})})},
    };
    for (auto& k : cases) {
        SCOPED_TRACE(k.name);
        EXPECT_NO_THROW(checker.on_message(newrule, k.payload.data(), k.payload.size()));
    }
    EXPECT_TRUE(kernel.sent().empty());
}

TEST_F(chain_checker, a_rule_with_more_user_data_than_its_comment_is_followed)
{
    // Another program's rule at the head, an own rule behind it whose user
    // data holds another TLV after the comment.
    const bytes_t own = join({attr(NFTA_RULE_TABLE, text("host")), attr(NFTA_RULE_CHAIN, text("inbound")),
                              attr(NFTA_RULE_HANDLE, be(5, 8)), attr(NFTA_RULE_POSITION, be(20, 8)),
                              attr(NFTA_RULE_USERDATA, join({{0, 15}, text("morva-firewall"), {1, 4, 0, 0, 0, 1}}))});
    rules = {rule_attributes("host", "inbound", 20, "other"), own};
    chain_reply = nft_message(NFT_MSG_NEWCHAIN, 0, 0, 2, base_chain_attributes("host", "inbound", 1));
    bytes_t payload = {2, 0, 0, 0};
    payload += rule_attributes("host", "inbound", 20, "");
    payload.insert(payload.end(), {8, 0, NFTA_RULE_USERDATA, 0, 1, 2, 'x', 'y'});
    checker.on_message(newrule, payload.data(), payload.size());
    EXPECT_EQ(sent_types(),
              (std::vector<std::uint16_t>{NFT_MSG_GETRULE, NFT_MSG_DELRULE, NFT_MSG_GETCHAIN, NFT_MSG_NEWRULE}));
}

TEST_F(chain_checker, a_chain_that_refuses_the_local_path_is_skipped)
{
    // A table another program owns: the kernel refuses every change of others.
    nft_fake_kernel_t owner_kernel{[this](const nft_sent_t& request, std::uint32_t seq) {
                                       std::vector<bytes_t> out;
                                       if (request.type == NFT_MSG_GETCHAIN)
                                           out.push_back(nft_message(NFT_MSG_NEWCHAIN, 0, seq, 2,
                                                                     base_chain_attributes("host", "inbound", 1)));
                                       return out;
                                   },
                                   [](const nft_sent_t& m) { return m.type == NFT_MSG_NEWRULE ? EPERM : 0; }};
    nft_chain_checker_t owner_checker{io, [&] { return owner_kernel.socket(); }};
    owner_checker.set_params(params());
    bytes_t payload = {2, 0, 0, 0};
    payload += rule_attributes("host", "inbound", 20, "");
    EXPECT_NO_THROW(owner_checker.on_message(newrule, payload.data(), payload.size()));
    std::vector<std::uint16_t> types;
    for (const nft_sent_t& m : owner_kernel.sent())
        types.push_back(m.type);
    EXPECT_EQ(types, (std::vector<std::uint16_t>{NFT_MSG_GETRULE, NFT_MSG_GETCHAIN, NFT_MSG_NEWRULE}));
}

TEST_F(chain_checker, a_failed_link_ends_with_its_error_described)
{
    try {
        checker.on_error(boost::system::error_code(ENOMEM, boost::system::system_category()));
        FAIL() << "no exception";
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(e.code().value(), ENOMEM);
        EXPECT_STREQ(e.what(), "chain check netlink: Cannot allocate memory [system:12]");
    }
}

// ---- the own table and a resync ----

class chain_checker_resync : public checker_test_t {
protected:
    void SetUp() override
    {
        checker_test_t::SetUp();
        checker.set_params(params());
    }

    std::vector<nft_sent_t> sent_of(std::uint16_t type)
    {
        std::vector<nft_sent_t> out;
        for (const nft_sent_t& m : kernel.sent())
            if (m.type == type)
                out.push_back(m);
        return out;
    }
    void table_deleted(const std::string& name, std::uint8_t family = 2)
    {
        bytes_t payload = {family, 0, 0, 0};
        payload += attr(NFTA_TABLE_NAME, text(name));
        checker.on_message((NFNL_SUBSYS_NFTABLES << 8) | NFT_MSG_DELTABLE, payload.data(), payload.size());
    }

    bool own_table_present = true;
    // Base chains on every hook, a regular chain, the own table's chain.
    nft_fake_kernel_t kernel{
        [](const nft_sent_t& request, std::uint32_t seq) {
            std::vector<bytes_t> out;
            if (request.type == NFT_MSG_GETCHAIN && (request.flags & NLM_F_DUMP) == NLM_F_DUMP) {
                if (request.family == 2) {
                    out.push_back(nft_message(NFT_MSG_NEWCHAIN, NLM_F_MULTI, seq, 2,
                                              base_chain_attributes("host", "inbound", 1)));
                    out.push_back(nft_message(NFT_MSG_NEWCHAIN, NLM_F_MULTI, seq, 2,
                                              base_chain_attributes("host", "through", 2)));
                    const bytes_t regular = join({attr(NFTA_CHAIN_TABLE, text("host")), attr(NFTA_CHAIN_NAME, text("regular"))});
                    out.push_back(nft_message(NFT_MSG_NEWCHAIN, NLM_F_MULTI, seq, 2, regular));
                    out.push_back(nft_message(NFT_MSG_NEWCHAIN, NLM_F_MULTI, seq, 2,
                                              base_chain_attributes("morva-firewall", "input", 1)));
                } else {
                    out.push_back(nft_message(NFT_MSG_NEWCHAIN, NLM_F_MULTI, seq, 1,
                                              base_chain_attributes("filter", "out", 3)));
                }
            } else if (request.type == NFT_MSG_GETCHAIN) {
                out.push_back(nft_message(NFT_MSG_NEWCHAIN, 0, seq, request.family,
                                          base_chain_attributes(request.str(NFTA_CHAIN_TABLE),
                                                                request.str(NFTA_CHAIN_NAME),
                                                                request.family == 2 ? 1 : 3)));
            }
            return out;
        },
        [this](const nft_sent_t& m) { return m.type == NFT_MSG_GETTABLE && !own_table_present ? ENOENT : 0; }};
    boost::asio::io_context io;
    nft_chain_checker_t checker{io, [this] { return kernel.socket(); }};
};

TEST_F(chain_checker_resync, every_base_chain_of_ip_and_inet_gets_its_local_path_and_a_missing_table_returns)
{
    own_table_present = false;
    checker.resync();
    std::vector<std::string> chains;
    for (const nft_sent_t& m : sent_of(NFT_MSG_NEWRULE))
        if (m.str(NFTA_RULE_TABLE) != "morva-firewall")
            chains.push_back(family_name(m.family) + " " + m.str(NFTA_RULE_TABLE) + " " + m.str(NFTA_RULE_CHAIN));
    EXPECT_EQ(chains, (std::vector<std::string>{"ip host inbound", "inet filter out"}));
    ASSERT_EQ(sent_of(NFT_MSG_NEWTABLE).size(), 1u);
    EXPECT_EQ(sent_of(NFT_MSG_NEWTABLE)[0].str(NFTA_TABLE_NAME), "morva-firewall");
    EXPECT_EQ(kernel.chain("ip morva-firewall prerouting").size(), 4u);
    const auto lines = log->taken();
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        "3 nftables table morva-firewall was deleted by another program; installing it again"),
              lines.end());
}

TEST_F(chain_checker_resync, a_deleted_own_table_is_installed_again_only_while_missing)
{
    table_deleted("morva-firewall"); // our own configuration replaced it: it is there again
    table_deleted("host");
    table_deleted("morva-firewall", 1);
    EXPECT_EQ(sent_of(NFT_MSG_GETTABLE).size(), 1u);
    EXPECT_TRUE(sent_of(NFT_MSG_NEWTABLE).empty());

    own_table_present = false;
    table_deleted("morva-firewall");
    EXPECT_EQ(sent_of(NFT_MSG_NEWTABLE).size(), 1u);
    EXPECT_EQ(kernel.chain("ip morva-firewall output").size(), 3u);

    // After a switch to manual configuration the table is the administrator's business.
    checker.clear_params();
    table_deleted("morva-firewall");
    EXPECT_EQ(sent_of(NFT_MSG_NEWTABLE).size(), 1u);
}

} // namespace
