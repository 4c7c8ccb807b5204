// Mark choice over configurations and the marks other software uses, with the
// look at the host's rules replaced by a fixed set of bits.
#include "fw/service/marks.hpp"

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <memory>
#include <vector>

#include <sys/socket.h>

#include <linux/fib_rules.h>
#include <linux/rtnetlink.h>

#include "linux/netlink/routing_message.hpp"
#include "linux/netlink/sync_link.hpp"
#include "linux_firewall_config.pb.h"
#include "tests/fw/service/marks_fixture.hpp"
#include "tests/common/recording_log.hpp"

namespace {

using fw::service::marks_t;
using morva_test::automatic_config;
using morva_test::marks_array_t;
using morva_test::marks_of;

// The host's rules as the service sees them: a fixed set of bits, and a count of looks.
struct host_t {
    explicit host_t(std::uint32_t bits = 0) : used(bits) {}
    std::uint32_t used = 0;
    int looks = 0;
    marks_t::filter_t last_filter;
    fw::service::used_marks_source_t source()
    {
        return [this](const marks_t::filter_t& filter) {
            ++looks;
            last_filter = filter;
            return used;
        };
    }
};

using edit_t = std::function<void(kv::LinuxFirewallConfig&)>;

// The automatic configuration after an edit, and the service over a host using `used`.
struct subject_t {
    subject_t(const edit_t& edit, std::uint32_t used) : config(automatic_config()), host(used) { edit(config); }
    kv::LinuxFirewallConfig config;
    host_t host;
    marks_t marks{config, host.source()};
};

struct choice_case_t {
    const char* name;
    edit_t edit;
    std::uint32_t used;
    marks_array_t expected;
    bool looks_at_host;
};

void manual_all(kv::LinuxFirewallConfig& c)
{
    c.mutable_local_delivery_mark()->set_manual(0x100);
    c.mutable_client_packets_mark()->set_manual(0x200);
    c.mutable_server_packets_mark()->set_manual(0x400);
    c.mutable_input_divert_mark()->set_manual(0x800);
    c.mutable_output_divert_mark()->set_manual(0x1000);
    c.mutable_forward_divert_mark()->set_manual(0x80000000u);
}

TEST(marks, choice_over_configurations_and_used_bits)
{
    const choice_case_t cases[] = {
        {"all automatic, nothing used", [](auto&) {}, 0, {1, 2, 4, 8, 16, 32}, true},
        {"foreign bits 0 to 2", [](auto&) {}, 0x7, {8, 16, 32, 64, 128, 256}, true},
        {"holes in the used bits are filled", [](auto&) {}, 0xb, {4, 16, 32, 64, 128, 256}, true},
        {"all manual: the host is not looked at", manual_all, 0xffffffffu,
         {0x100, 0x200, 0x400, 0x800, 0x1000, 0x80000000u}, false},
        {"manual mark equal to a foreign use is accepted",
         [](auto& c) { c.mutable_local_delivery_mark()->set_manual(1); }, 0x1, {1, 2, 4, 8, 16, 32}, true},
        {"manual marks are placed before automatic ones",
         [](auto& c) { c.mutable_server_packets_mark()->set_manual(1); }, 0, {2, 4, 1, 8, 16, 32}, true},
        {"manual divert mark", [](auto& c) { c.mutable_forward_divert_mark()->set_manual(4); }, 0,
         {1, 2, 8, 16, 32, 4}, true},
        {"disabled diverts keep 0",
         [](auto& c) {
             c.set_input_divert_enable(false);
             c.set_forward_divert_enable(false);
         },
         0, {1, 2, 4, 0, 8, 0}, true},
        {"divert without a mark", [](auto& c) { c.mutable_input_divert_mark()->mutable_none(); }, 0,
         {1, 2, 4, 0, 8, 16}, true},
        {"divert mark with nothing set", [](auto& c) { c.clear_output_divert_mark(); }, 0, {1, 2, 4, 8, 0, 16},
         true},
        {"last free bit",
         [](auto& c) {
             manual_all(c);
             c.mutable_forward_divert_mark()->mutable_auto_();
         },
         0x7fffffffu, {0x100, 0x200, 0x400, 0x800, 0x1000, 0x80000000u}, true},
        {"disabled automatic divert while iptables are configured by hand",
         [](auto& c) {
             c.set_autoconfigure_iptables(false);
             c.mutable_local_delivery_mark()->set_manual(1);
             c.mutable_client_packets_mark()->set_manual(2);
             c.mutable_server_packets_mark()->set_manual(4);
             c.set_input_divert_enable(false);
             c.set_output_divert_enable(false);
             c.set_forward_divert_enable(false);
         },
         0, {1, 2, 4, 0, 0, 0}, false},
    };
    for (const choice_case_t& c : cases) {
        SCOPED_TRACE(c.name);
        subject_t subject(c.edit, c.used);
        subject.marks.configure();
        EXPECT_EQ(marks_of(subject.marks), c.expected);
        EXPECT_EQ(subject.host.looks, c.looks_at_host ? 1 : 0);
    }
}

struct failure_case_t {
    const char* name;
    edit_t edit;
    std::uint32_t used;
    const char* error;
};

TEST(marks, refused_configurations)
{
    const failure_case_t cases[] = {
        {"manual 0", [](auto& c) { c.mutable_client_packets_mark()->set_manual(0); }, 0,
         "mark value must have exactly one non-zero bit"},
        {"manual 3", [](auto& c) { c.mutable_local_delivery_mark()->set_manual(3); }, 0,
         "mark value must have exactly one non-zero bit"},
        {"manual divert with two bits", [](auto& c) { c.mutable_output_divert_mark()->set_manual(0x300); }, 0,
         "mark value must have exactly one non-zero bit"},
        {"client and server packets both 4",
         [](auto& c) {
             c.mutable_client_packets_mark()->set_manual(4);
             c.mutable_server_packets_mark()->set_manual(4);
         },
         0, "mark 4 is already occupied"},
        {"divert mark equal to a fixed one",
         [](auto& c) {
             c.mutable_local_delivery_mark()->set_manual(0x10000);
             c.mutable_forward_divert_mark()->set_manual(0x10000);
         },
         0, "mark 65536 is already occupied"},
        {"every bit used", [](auto&) {}, 0xffffffffu, "all marks are already occupied"},
        {"one bit free for six requests", [](auto&) {}, 0xfffffffeu, "all marks are already occupied"},
        {"routing by hand", [](auto& c) { c.set_autoconfigure_routing(false); }, 0,
         "Manual routing configuration requested along with automatic selection of LocalDeliveryMark value"},
        {"both by hand name routing",
         [](auto& c) {
             c.set_autoconfigure_routing(false);
             c.set_autoconfigure_iptables(false);
         },
         0, "Manual routing configuration requested along with automatic selection of LocalDeliveryMark value"},
        {"iptables by hand, first automatic field named",
         [](auto& c) {
             c.set_autoconfigure_iptables(false);
             manual_all(c);
             c.mutable_server_packets_mark()->mutable_auto_();
             c.mutable_output_divert_mark()->mutable_auto_();
         },
         0, "Manual iptables configuration requested along with automatic selection of ServerPacketsMark value"},
        {"input divert examined before output",
         [](auto& c) {
             c.set_autoconfigure_iptables(false);
             manual_all(c);
             c.mutable_output_divert_mark()->mutable_auto_();
             c.mutable_input_divert_mark()->mutable_auto_();
         },
         0, "Manual iptables configuration requested along with automatic selection of InputDivertMark value"},
        {"only enabled diverts examined",
         [](auto& c) {
             c.set_autoconfigure_routing(false);
             manual_all(c);
             c.set_input_divert_enable(false);
             c.mutable_input_divert_mark()->mutable_auto_();
             c.mutable_forward_divert_mark()->mutable_auto_();
         },
         0, "Manual routing configuration requested along with automatic selection of ForwardDivertMark value"},
    };
    for (const failure_case_t& c : cases) {
        SCOPED_TRACE(c.name);
        subject_t subject(c.edit, c.used);
        try {
            subject.marks.configure();
            ADD_FAILURE() << "configure succeeded";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), c.error);
        }
    }
}

TEST(marks, a_refused_automatic_mode_changes_no_mark)
{
    kv::LinuxFirewallConfig config = automatic_config();
    host_t host;
    marks_t marks(config, host.source());
    marks.configure();
    config.set_autoconfigure_routing(false);
    EXPECT_THROW(marks.configure(), std::runtime_error);
    EXPECT_EQ(marks_of(marks), (marks_array_t{1, 2, 4, 8, 16, 32}));
    EXPECT_EQ(host.looks, 1);
}

TEST(marks, successive_applies)
{
    kv::LinuxFirewallConfig config = automatic_config();
    host_t host(0x1);
    marks_t marks(config, host.source());
    marks.configure();
    const marks_array_t first = marks_of(marks);
    marks.configure();
    EXPECT_EQ(marks_of(marks), first);

    // A divert whose mark has nothing set, or that was disabled, drops to 0.
    config.clear_input_divert_mark();
    config.set_forward_divert_enable(false);
    host.used = 0x3f;
    marks.configure();
    EXPECT_EQ(marks_of(marks), (marks_array_t{0x40, 0x80, 0x100, 0, 0x200, 0}));
}

void switched_off(kv::LinuxFirewallConfig& c)
{
    c.Clear();
}

// A fixed mark with nothing set is refused only where a mark of 0 would be
// used, and the same at the first configuration and on a reload after one
// that had every mark: a revision applied on a reload can also start.
TEST(marks, fixed_marks_left_out_same_verdict_at_start_and_on_reload)
{
    const struct {
        const char* name;
        edit_t edit;
        const char* error; // null: accepted
    } cases[] = {
        {"everything switched off", switched_off, nullptr},
        {"switched off but for routing",
         [](auto& c) {
             switched_off(c);
             c.set_autoconfigure_routing(true);
         },
         "LocalDeliveryMark value is not configured: set it to auto or to a manual mark"},
        {"switched off but for iptables, local delivery given",
         [](auto& c) {
             switched_off(c);
             c.set_autoconfigure_iptables(true);
             c.mutable_local_delivery_mark()->set_manual(1);
         },
         "ClientPacketsMark value is not configured: set it to auto or to a manual mark"},
        {"one divert with both modes off",
         [](auto& c) {
             switched_off(c);
             c.mutable_local_delivery_mark()->set_manual(1);
             c.mutable_client_packets_mark()->set_manual(2);
             c.set_input_divert_enable(true);
         },
         "ServerPacketsMark value is not configured: set it to auto or to a manual mark"},
        {"automatic routing and iptables",
         [](auto& c) {
             manual_all(c);
             c.clear_client_packets_mark();
         },
         "ClientPacketsMark value is not configured: set it to auto or to a manual mark"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (const bool reload : {false, true}) {
            SCOPED_TRACE(reload ? "on reload" : "at start");
            kv::LinuxFirewallConfig config = automatic_config();
            host_t host;
            marks_t marks(config, host.source());
            if (reload)
                marks.configure();
            const marks_array_t before = marks_of(marks);
            c.edit(config);
            if (!c.error) {
                EXPECT_NO_THROW(marks.configure());
                // Nothing uses them: the fixed marks are left as they were.
                EXPECT_EQ(marks_of(marks), (marks_array_t{before[0], before[1], before[2], 0, 0, 0}));
                continue;
            }
            try {
                marks.configure();
                ADD_FAILURE() << "configure succeeded";
            } catch (const std::runtime_error& e) {
                EXPECT_STREQ(e.what(), c.error);
            }
        }
    }
}

TEST(marks, divert_mark_by_kind)
{
    kv::LinuxFirewallConfig config = automatic_config();
    host_t host;
    marks_t marks(config, host.source());
    EXPECT_EQ(marks_of(marks), (marks_array_t{}));
    marks.configure();
    const std::pair<int, std::uint32_t> kinds[] = {{0, 16}, {1, 8}, {2, 32}, {3, 0}, {-1, 0}};
    for (auto [kind, mark] : kinds)
        EXPECT_EQ(marks.divert_mark(kind), mark) << kind;
}

TEST(marks, the_filter_reaches_the_look_at_the_host)
{
    kv::LinuxFirewallConfig config = automatic_config();
    host_t host;
    marks_t marks(config, host.source());
    marks.configure();
    ASSERT_TRUE(host.last_filter);
    EXPECT_TRUE(host.last_filter(100, 1));

    marks.set_filter([](std::uint32_t table, std::uint32_t mark) { return !(table == 100 && mark == 1); });
    marks.configure();
    EXPECT_FALSE(host.last_filter(100, 1));
    EXPECT_TRUE(host.last_filter(101, 1));

    marks.set_filter({});
    marks.configure();
    EXPECT_TRUE(host.last_filter(100, 1));
}

TEST(marks, warnings_for_diverts_without_a_mark_under_the_security_option)
{
    auto log = std::make_shared<morva_test::recording_log_t>();
    cf_log_install(log);
    cf_log_threshold = 0;
    auto warning = [](const char* name) {
        return std::string("3 LinuxFirewall.") + name
               + " is set to None. This can lead to incorrect operation under PARSEC. For more information "
                 "please refer to Configuring the PARSEC section of the Administrator manual.";
    };

    kv::LinuxFirewallConfig config = automatic_config();
    config.mutable_input_divert_mark()->mutable_none();
    config.mutable_forward_divert_mark()->mutable_none();
    config.mutable_output_divert_mark()->mutable_none();
    host_t host;
    marks_t marks(config, host.source());

    marks.configure();
    EXPECT_TRUE(log->taken().empty()) << "no warning without the option";

    config.set_process_ip_security_option(true);
    marks.configure();
    EXPECT_EQ(log->taken(), (std::vector<std::string>{warning("InputDivertMark"), warning("OutputDivertMark"),
                                                      warning("ForwardDivertMark")}));
    EXPECT_EQ(marks_of(marks), (marks_array_t{1, 2, 4, 0, 0, 0}));

    // Disabled, or nothing set: no warning.
    config.set_input_divert_enable(false);
    config.clear_output_divert_mark();
    marks.configure();
    EXPECT_EQ(log->taken(), std::vector<std::string>{warning("ForwardDivertMark")});
}

// ---- policy rules of a rule dump ---------------------------------------------

fw::linux::netlink::netlink_reply_t reply_of(std::uint16_t type, const std::vector<std::uint8_t>& payload)
{
    return {type, fw::linux::netlink::byte_array_t(payload.data(), payload.size())};
}

fw::linux::netlink::netlink_reply_t rule_reply(std::optional<std::uint32_t> table, std::optional<std::uint32_t> fwmark)
{
    fw::linux::rtnetlink::routing::message_t rule(AF_INET);
    if (table)
        *rule.attributes().add_zeroed<std::uint32_t>(FRA_TABLE) = *table;
    if (fwmark)
        *rule.attributes().add_zeroed<std::uint32_t>(FRA_FWMARK) = *fwmark;
    return reply_of(RTM_NEWRULE, rule.serialize());
}

TEST(marks, policy_rule_marks_of_a_dump)
{
    std::list<fw::linux::netlink::netlink_reply_t> replies;
    replies.push_back(rule_reply(255, std::nullopt));
    replies.push_back(rule_reply(100, 0x1));
    replies.push_back(rule_reply(std::nullopt, 0x100)); // no table: not counted
    replies.push_back(rule_reply(300, 0x30));
    const auto all = [](std::uint32_t, std::uint32_t) { return true; };
    EXPECT_EQ(fw::service::policy_rule_marks(replies, all), 0x31u);
    const auto not_own = [](std::uint32_t table, std::uint32_t mark) { return !(table == 100 && mark == 1); };
    EXPECT_EQ(fw::service::policy_rule_marks(replies, not_own), 0x30u);
    EXPECT_EQ(fw::service::policy_rule_marks({}, all), 0u);
}

TEST(marks, malformed_rule_dumps)
{
    // Table 100, then a fwmark attribute of two bytes (nla_len 6, padded).
    fw::linux::rtnetlink::routing::message_t rule(AF_INET);
    *rule.attributes().add_zeroed<std::uint32_t>(FRA_TABLE) = 100;
    std::vector<std::uint8_t> short_mark = rule.serialize();
    short_mark.insert(short_mark.end(), {6, 0, FRA_FWMARK, 0, 1, 0, 0, 0});

    struct case_t {
        const char* name;
        fw::linux::netlink::netlink_reply_t reply;
        const char* error;
    };
    case_t cases[] = {
        {"a route among the rules", reply_of(RTM_NEWROUTE, fw::linux::rtnetlink::routing::message_t(AF_INET).serialize()),
         "rtnetlink: Unexpected message"},
        {"an acknowledgement", reply_of(NLMSG_ERROR, std::vector<std::uint8_t>(20)), "rtnetlink: Unexpected message"},
        {"short attribute", reply_of(RTM_NEWRULE, short_mark), "netlink: Invalid attribute type"},
        {"short header", reply_of(RTM_NEWRULE, std::vector<std::uint8_t>(8)),
         "Cannot parse rtnetlink message: Truncated message"},
    };
    for (case_t& c : cases) {
        SCOPED_TRACE(c.name);
        std::list<fw::linux::netlink::netlink_reply_t> replies;
        replies.push_back(rule_reply(100, 2));
        replies.push_back(std::move(c.reply));
        try {
            fw::service::policy_rule_marks(replies, [](std::uint32_t, std::uint32_t) { return true; });
            ADD_FAILURE() << "no error";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), c.error);
        }
    }
}

} // namespace
