// Table blobs without the kernel: the x86_64 layout the writer produces, the
// round trip through the parser, malformed blobs, and reading and writing
// through a fake kernel (concurrent changes, failures, counters).
#include <gtest/gtest.h>

#include <random>

#include <boost/system/system_error.hpp>

#include "linux/iptables/extensions.hpp"
#include "linux/iptables/table.hpp"
#include "tests/linux/iptables/fake_kernel.hpp"
#include "tests/linux/iptables/print.hpp"

namespace {

using namespace fw::linux::iptables;
using morva_test::fake_kernel_t;

ipt_rule_t rule_with(ipt_target_t target, xt_counters counters = {})
{
    ipt_rule_t rule;
    rule.target = std::move(target);
    rule.counters = counters;
    return rule;
}

// PREROUTING: a tcp rule with a mark match and a MARK target, a jump to "a",
// policy DROP. OUTPUT: empty. "a": ACCEPT, a goto to the empty "b", a rule
// without a target. Entry offsets (x86_64):
//   0 r1 (112 + 48 + 40)   200 jump a   352 policy PREROUTING   504 policy OUTPUT
//   656 head a   832 ACCEPT   984 goto b   1136 fall-through   1288 RETURN a
//   1440 head b   1616 RETURN b   1768 last entry   1944 end
ipt_table_t fixture()
{
    ipt_table_t table;
    ipt_rule_t r1 = rule_with(xt::mark_target(2, 0x1, 0x1), {3, 180});
    r1.set_proto(6);
    r1.matches.push_back(xt::mark_match(1, 0x2, 0x6, false));
    auto& prerouting = table.builtin_chains[0];
    prerouting.rules = {r1, rule_with(ipt_jump_t{"a"})};
    prerouting.policy = ipt_verdict_t::DROP;
    prerouting.counters = {9, 900};
    table.builtin_chains[3];

    ipt_rule_t accept = rule_with(ipt_verdict_t::ACCEPT, {5, 500});
    accept.set_src(0x0A000001);
    accept.set_smsk(0xFFFFFF00);
    ipt_rule_t go = rule_with(ipt_jump_t{"b"});
    go.set_goto(true);
    table.user_chains["a"].rules = {accept, go, rule_with(ipt_fall_through_t{}, {1, 60})};
    table.user_chains["b"];
    return table;
}

// What the blob of fixture() carries: the policy counters travel in the counter
// list only, the policy entries are written with zero counters.
ipt_table_t fixture_as_blob()
{
    ipt_table_t table = fixture();
    for (auto& [hook, chain] : table.builtin_chains)
        chain.counters = {};
    return table;
}

std::int32_t i32_at(const ipt_blob_t& blob, std::size_t at)
{
    std::int32_t value;
    std::memcpy(&value, blob.entries.data() + at, sizeof value);
    return value;
}

std::uint16_t u16_at(const ipt_blob_t& blob, std::size_t at)
{
    std::uint16_t value;
    std::memcpy(&value, blob.entries.data() + at, sizeof value);
    return value;
}

void put_u16(ipt_blob_t& blob, std::size_t at, std::uint16_t value)
{
    std::memcpy(blob.entries.data() + at, &value, sizeof value);
}

void put_i32(ipt_blob_t& blob, std::size_t at, std::int32_t value)
{
    std::memcpy(blob.entries.data() + at, &value, sizeof value);
}

std::string text_at(const ipt_blob_t& blob, std::size_t at)
{
    return reinterpret_cast<const char*>(blob.entries.data() + at);
}

TEST(TableBlob, WriterLayout)
{
    const ipt_blob_t blob = make_ipt_blob(fixture());
    ASSERT_EQ(blob.entries.size(), 1944u);
    EXPECT_EQ(blob.num_entries, 12u);
    using hooks_t = std::map<int, std::pair<std::uint32_t, std::uint32_t>>;
    // An empty built-in chain is its policy entry alone: hook entry and underflow coincide.
    EXPECT_EQ(blob.hooks, (hooks_t{{0, {0, 352}}, {3, {504, 504}}}));

    // Entry header: target_offset at 88, next_offset at 90.
    EXPECT_EQ(u16_at(blob, 88), 160);
    EXPECT_EQ(u16_at(blob, 90), 200);
    EXPECT_EQ(u16_at(blob, 200 + 90), 152);
    EXPECT_EQ(u16_at(blob, 656 + 88), 112);
    EXPECT_EQ(u16_at(blob, 656 + 90), 176);

    // Standard target verdicts at entry + 112 + 32.
    const struct {
        std::size_t entry;
        std::int32_t verdict;
    } verdicts[] = {
        {200, 832},   // jump to a: the entry after its head
        {352, -1},    // policy DROP
        {504, -2},    // policy ACCEPT
        {832, -2},    // ACCEPT
        {984, 1616},  // to the empty b: its RETURN entry
        {1136, 1288}, // fall-through: the next entry
        {1288, -5},   // RETURN
        {1616, -5},
    };
    for (const auto& v : verdicts) {
        EXPECT_EQ(u16_at(blob, v.entry + 112), 40) << v.entry;
        EXPECT_EQ(text_at(blob, v.entry + 114), "") << v.entry;
        EXPECT_EQ(i32_at(blob, v.entry + 144), v.verdict) << v.entry;
    }
    // Chain heads and the last entry: error targets of 64 bytes named ERROR.
    for (const auto& [entry, name] : {std::pair{656, "a"}, {1440, "b"}, {1768, ""}}) {
        EXPECT_EQ(u16_at(blob, entry + 112), 64) << entry;
        EXPECT_EQ(text_at(blob, entry + 114), "ERROR") << entry;
        EXPECT_EQ(text_at(blob, entry + 144), name) << entry;
    }
    // Goto flag and addresses (network order) stay in the rule's ipt_ip.
    EXPECT_EQ(blob.entries[984 + 82], IPT_F_GOTO);
    EXPECT_EQ(std::vector<std::uint8_t>(blob.entries.begin() + 832, blob.entries.begin() + 836),
              (std::vector<std::uint8_t>{10, 0, 0, 1}));
}

TEST(TableBlob, CounterListInEntryOrder)
{
    std::vector<std::pair<std::uint64_t, std::uint64_t>> list;
    for (const xt_counters& c : ipt_counter_list(fixture()))
        list.emplace_back(c.pcnt, c.bcnt);
    const std::vector<std::pair<std::uint64_t, std::uint64_t>> expected = {
        {3, 180}, {0, 0}, {9, 900}, {0, 0},                // PREROUTING rules and policy, OUTPUT policy
        {0, 0},   {5, 500}, {0, 0}, {1, 60}, {0, 0},       // a
        {0, 0},   {0, 0},                                  // b
        {0, 0},                                            // last entry
    };
    EXPECT_EQ(list, expected);
}

TEST(TableBlob, RoundTrip)
{
    EXPECT_EQ(parse_ipt_blob(make_ipt_blob(fixture())), fixture_as_blob());

    // User chains that jump to each other, and to themselves.
    ipt_table_t loops;
    loops.builtin_chains[1].rules = {rule_with(ipt_jump_t{"y"})};
    loops.user_chains["x"].rules = {rule_with(ipt_jump_t{"y"}), rule_with(ipt_jump_t{"x"})};
    loops.user_chains["y"].rules = {rule_with(ipt_jump_t{"x"}), rule_with(ipt_verdict_t::RETURN)};
    EXPECT_EQ(parse_ipt_blob(make_ipt_blob(loops)), loops);
}

TEST(TableBlob, WriterNormalises)
{
    ipt_table_t table;
    auto& chain = table.builtin_chains[2];
    chain.policy = ipt_verdict_t::RETURN; // not a policy: written as DROP
    // A match whose size is not a multiple of 8 is padded, its size field with it.
    xt_blob_t odd(44);
    odd[0] = 44;
    std::memcpy(odd.data() + 2, "odd", 3);
    odd[43] = 0xAB;
    ipt_rule_t rule;
    rule.matches.push_back(odd);
    chain.rules.push_back(rule);

    const ipt_table_t back = parse_ipt_blob(make_ipt_blob(table));
    EXPECT_EQ(back.builtin_chains.at(2).policy, ipt_verdict_t::DROP);
    xt_blob_t padded = odd;
    padded[0] = 48;
    padded.resize(48);
    EXPECT_EQ(back.builtin_chains.at(2).rules.at(0).matches, std::vector<xt_blob_t>{padded});
}

TEST(TableBlob, WriterRefusesWhatDoesNotFit)
{
    const auto refused = [](const ipt_table_t& table) {
        try {
            make_ipt_blob(table);
        } catch (const std::runtime_error& e) {
            return std::string(e.what());
        }
        return std::string("accepted");
    };
    ipt_table_t table;
    table.user_chains[std::string(29, 'c')];
    EXPECT_EQ(refused(table), "accepted");
    table.user_chains[std::string(30, 'c')];
    EXPECT_EQ(refused(table), "Chain name is too long: " + std::string(30, 'c'));

    const struct {
        const char* what;
        std::function<void(ipt_rule_t&)> edit;
        std::string error;
    } cases[] = {
        {"short match", [](ipt_rule_t& r) { r.matches.push_back(xt_blob_t(16)); }, "Invalid match size"},
        {"size field off",
         [](ipt_rule_t& r) {
             r.matches.push_back(make_tcp_match(0, 0));
             r.matches.back()[0] = 40;
         },
         "Invalid match size"},
        {"short target", [](ipt_rule_t& r) { r.target = xt_blob_t(20); }, "Invalid target size"},
        {"unknown chain", [](ipt_rule_t& r) { r.target = ipt_jump_t{"nowhere"}; }, "Jump to unknown chain: nowhere"},
        {"too large",
         [](ipt_rule_t& r) { r.matches.assign(300, make_comment_match("x")); },
         "IP table rule is too large"},
    };
    for (const auto& c : cases) {
        ipt_table_t t;
        ipt_rule_t rule;
        c.edit(rule);
        t.builtin_chains[0].rules.push_back(rule);
        EXPECT_EQ(refused(t), c.error) << c.what;
    }
    ipt_table_t bad_hook;
    bad_hook.builtin_chains[5];
    EXPECT_THROW(make_ipt_blob(bad_hook), std::runtime_error);
}

TEST(TableBlob, MalformedBlobsRaiseTheParseError)
{
    const ipt_blob_t good = make_ipt_blob(fixture());
    const struct {
        const char* what;
        std::function<void(ipt_blob_t&)> damage;
    } cases[] = {
        {"truncated in the last entry", [](ipt_blob_t& b) { b.entries.resize(1943); }},
        {"truncated in the first entry", [](ipt_blob_t& b) { b.entries.resize(100); }},
        {"cut after a chain's RETURN", [](ipt_blob_t& b) { b.entries.resize(1768); }},
        {"next_offset 0", [](ipt_blob_t& b) { put_u16(b, 90, 0); }},
        {"next_offset inside the header", [](ipt_blob_t& b) { put_u16(b, 90, 100); }},
        {"next_offset past the blob", [](ipt_blob_t& b) { put_u16(b, 1768 + 90, 177); }},
        {"next_offset far past the blob", [](ipt_blob_t& b) { put_u16(b, 90, 60000); }},
        {"target_offset inside the header", [](ipt_blob_t& b) { put_u16(b, 88, 100); }},
        {"target header past the entry", [](ipt_blob_t& b) { put_u16(b, 88, 190); }},
        {"target size 0", [](ipt_blob_t& b) { put_u16(b, 160, 0); }},
        {"target past the entry", [](ipt_blob_t& b) { put_u16(b, 160, 48); }},
        {"match size 0", [](ipt_blob_t& b) { put_u16(b, 112, 0); }},
        {"match size below its header", [](ipt_blob_t& b) { put_u16(b, 112, 16); }},
        {"match past the target", [](ipt_blob_t& b) { put_u16(b, 112, 56); }},
        {"standard target of 36 bytes", [](ipt_blob_t& b) { put_u16(b, 200 + 112, 36); }},
        {"verdict below the kernel's", [](ipt_blob_t& b) { put_i32(b, 200 + 144, -7); }},
        {"jump into a built-in chain", [](ipt_blob_t& b) { put_i32(b, 200 + 144, 400); }},
        {"jump past every chain", [](ipt_blob_t& b) { put_i32(b, 200 + 144, 5000); }},
        {"chain named twice", [](ipt_blob_t& b) { b.entries[1440 + 144] = 'a'; }},
        {"chain name without NUL",
         [](ipt_blob_t& b) { std::fill_n(b.entries.begin() + 1440 + 144, 30, 'x'); }},
        {"head too small for a name", [](ipt_blob_t& b) { put_u16(b, 656 + 112, 48); }},
        {"first entry in no chain", [](ipt_blob_t& b) { b.hooks[0] = {200, 352}; }},
        {"policy RETURN", [](ipt_blob_t& b) { put_i32(b, 352 + 144, -5); }},
        {"policy with a condition", [](ipt_blob_t& b) { b.entries[352 + 80] = 6; }},
        {"user chain ends in ACCEPT", [](ipt_blob_t& b) { put_i32(b, 1288 + 144, -2); }},
    };
    for (const auto& c : cases) {
        ipt_blob_t blob = good;
        c.damage(blob);
        try {
            parse_ipt_blob(blob);
            ADD_FAILURE() << c.what << ": parsed";
        } catch (const boost::system::system_error& e) {
            EXPECT_EQ(e.code().value(), EINVAL) << c.what;
            EXPECT_EQ(std::string(e.what()).rfind("Cannot parse IP table blob", 0), 0u) << c.what;
        }
    }
}

TEST(TableBlob, OtherStandardVerdictsAreWrittenBackUnchanged)
{
    // QUEUE (-4) as "-j QUEUE" writes it, STOLEN (-3) and STOP (-6): the kernel
    // takes every standard verdict down to -6.
    for (const std::int32_t verdict : {-3, -4, -6}) {
        SCOPED_TRACE(verdict);
        ipt_blob_t blob = make_ipt_blob(fixture());
        put_i32(blob, 200 + 144, verdict);
        const ipt_table_t table = parse_ipt_blob(blob);
        EXPECT_EQ(table.builtin_chains.at(0).rules.at(1).target, ipt_target_t(ipt_other_verdict_t{verdict}));
        EXPECT_EQ(make_ipt_blob(table).entries, blob.entries);
    }
}

TEST(TableBlob, TheParseErrorSaysWhere)
{
    const ipt_blob_t good = make_ipt_blob(fixture());
    const struct {
        const char* what;
        std::function<void(ipt_blob_t&)> damage;
        std::string where;
    } cases[] = {
        {"second rule of PREROUTING", [](ipt_blob_t& b) { put_i32(b, 200 + 144, -7); },
         " (table mangle, chain PREROUTING, rule 2)"},
        {"first rule of PREROUTING", [](ipt_blob_t& b) { put_u16(b, 112, 16); },
         " (table mangle, chain PREROUTING, rule 1)"},
        {"third rule of a", [](ipt_blob_t& b) { put_u16(b, 1136 + 112, 36); }, " (table mangle, chain a, rule 3)"},
        {"policy of OUTPUT", [](ipt_blob_t& b) { put_i32(b, 504 + 144, -5); }, " (table mangle, chain OUTPUT, rule 1)"},
        {"jump of PREROUTING", [](ipt_blob_t& b) { put_i32(b, 200 + 144, 5000); },
         " (table mangle, chain PREROUTING, rule 2)"},
    };
    for (const auto& c : cases) {
        ipt_blob_t blob = good;
        c.damage(blob);
        try {
            parse_ipt_blob(blob, "mangle");
            ADD_FAILURE() << c.what << ": parsed";
        } catch (const boost::system::system_error& e) {
            EXPECT_EQ(std::string(e.what()), "Cannot parse IP table blob" + c.where + ": Invalid argument") << c.what;
        }
    }
}

TEST(TableBlob, RandomDamageParsesOrRaisesTheParseError)
{
    // Sanitizers watch the reads; the only failure allowed is the parse error.
    const ipt_blob_t good = make_ipt_blob(fixture());
    std::mt19937 random(7);
    for (int round = 0; round < 5000; ++round) {
        ipt_blob_t blob = good;
        const int damages = 1 + static_cast<int>(random() % 4);
        for (int i = 0; i < damages; ++i) {
            const std::size_t at = random() % blob.entries.size();
            if (random() % 2)
                blob.entries[at] = static_cast<std::uint8_t>(random());
            else if (at + 2 <= blob.entries.size())
                put_u16(blob, at & ~std::size_t{1}, static_cast<std::uint16_t>(random() % 512));
        }
        if (random() % 8 == 0)
            blob.entries.resize(random() % blob.entries.size());
        try {
            parse_ipt_blob(blob);
        } catch (const boost::system::system_error& e) {
            ASSERT_EQ(e.code().value(), EINVAL) << "round " << round;
        }
    }
}

// ---- through the fake kernel -------------------------------------------------

TEST(TableKernel, ReadsTheWholeTable)
{
    fake_kernel_t kernel;
    kernel.blob = make_ipt_blob(fixture());
    EXPECT_EQ(read_ipt_table(kernel, "mangle"), fixture_as_blob());
}

TEST(TableKernel, ReadRetriesWhileTheTableChanges)
{
    fake_kernel_t kernel;
    kernel.blob = make_ipt_blob(ipt_table_t{{{0, {}}}, {}, {}});
    ipt_table_t grown = fixture_as_blob();
    int changes = 2;
    kernel.after_info = [&] {
        if (changes-- > 0) {
            grown.user_chains["c" + std::to_string(changes)];
            kernel.blob = make_ipt_blob(grown);
        }
    };
    EXPECT_EQ(read_ipt_table(kernel, "mangle"), grown);
    EXPECT_EQ(kernel.get_calls[IPT_SO_GET_INFO], 3);
    EXPECT_EQ(kernel.get_calls[IPT_SO_GET_ENTRIES], 3);
}

TEST(TableKernel, ReadGivesUpAfterBoundedRetries)
{
    const struct {
        std::vector<int> errors;
        int error; // 0: read succeeds
        int entries_calls;
    } cases[] = {
        {std::vector<int>(read_attempts - 1, EAGAIN), 0, read_attempts},
        {std::vector<int>(read_attempts, EAGAIN), EAGAIN, read_attempts},
        {{EINVAL}, EINVAL, 1},
        {{EAGAIN, EPERM}, EPERM, 2},
    };
    for (const auto& c : cases) {
        fake_kernel_t kernel;
        kernel.blob = make_ipt_blob(fixture());
        kernel.get_errors[IPT_SO_GET_ENTRIES] = c.errors;
        try {
            read_ipt_table(kernel, "mangle");
            EXPECT_EQ(c.error, 0);
        } catch (const boost::system::system_error& e) {
            EXPECT_EQ(e.code().value(), c.error);
            EXPECT_EQ(std::string(e.what()).rfind("Cannot get IP table entries", 0), 0u);
        }
        EXPECT_EQ(kernel.get_calls[IPT_SO_GET_ENTRIES], c.entries_calls);
    }
}

TEST(TableKernel, MissingTableAndNameLimits)
{
    fake_kernel_t kernel;
    kernel.blob = make_ipt_blob(fixture());
    try {
        read_ipt_table(kernel, "raw");
        ADD_FAILURE() << "read a missing table";
    } catch (const boost::system::system_error& e) {
        EXPECT_TRUE(is_table_missing(e.code()));
        EXPECT_EQ(std::string(e.what()).rfind("Cannot get IP table info", 0), 0u);
    }

    kernel.table = std::string(31, 't');
    EXPECT_EQ(read_ipt_table(kernel, kernel.table), fixture_as_blob());
    const std::string long_name(32, 't');
    kernel.get_calls.clear();
    EXPECT_THROW(read_ipt_table(kernel, long_name), std::runtime_error);
    EXPECT_THROW(write_ipt_table(kernel, long_name, fixture()), std::runtime_error);
    EXPECT_TRUE(kernel.get_calls.empty() && kernel.set_calls.empty());
}

TEST(TableKernel, IsTableMissing)
{
    using boost::system::error_code;
    EXPECT_TRUE(is_table_missing(error_code(ENOENT, boost::system::system_category())));
    EXPECT_TRUE(is_table_missing(error_code(ENOPROTOOPT, boost::system::system_category())));
    EXPECT_TRUE(is_table_missing(error_code(ENOENT, boost::system::generic_category())));
    EXPECT_FALSE(is_table_missing(error_code(EINVAL, boost::system::system_category())));
    EXPECT_FALSE(is_table_missing(error_code()));
}

TEST(TableKernel, WriteReplacesThenRestoresCounters)
{
    fake_kernel_t kernel;
    ipt_table_t installed;
    installed.builtin_chains[0];
    installed.builtin_chains[3];
    kernel.blob = make_ipt_blob(installed); // 3 entries now

    const ipt_table_t table = fixture();
    write_ipt_table(kernel, "mangle", table);

    const ipt_blob_t blob = make_ipt_blob(table);
    ASSERT_EQ(kernel.replace.size(), 96 + blob.entries.size());
    struct ipt_replace replace;
    std::memcpy(&replace, kernel.replace.data(), sizeof replace);
    EXPECT_STREQ(replace.name, "mangle");
    EXPECT_EQ(replace.valid_hooks, 0b1001u);
    EXPECT_EQ(replace.num_entries, 12u);
    EXPECT_EQ(replace.size, 1944u);
    EXPECT_EQ(replace.hook_entry[0], 0u);
    EXPECT_EQ(replace.underflow[0], 352u);
    EXPECT_EQ(replace.hook_entry[3], 504u);
    EXPECT_EQ(replace.underflow[3], 504u);
    EXPECT_EQ(replace.num_counters, 3u); // entries of the table being replaced
    EXPECT_NE(replace.counters, nullptr);
    EXPECT_TRUE(std::equal(blob.entries.begin(), blob.entries.end(), kernel.replace.begin() + 96));

    const auto list = ipt_counter_list(table);
    ASSERT_EQ(kernel.counters.size(), 40 + 16 * list.size());
    struct xt_counters_info info;
    std::memcpy(&info, kernel.counters.data(), sizeof info);
    EXPECT_STREQ(info.name, "mangle");
    EXPECT_EQ(info.num_counters, 12u);
    EXPECT_EQ(std::memcmp(kernel.counters.data() + 40, list.data(), 16 * list.size()), 0);
}

TEST(TableKernel, WriteFailures)
{
    const struct {
        int option;
        const char* text;
        int counter_calls;
    } cases[] = {
        {IPT_SO_SET_REPLACE, "Cannot set IP table entries", 0},
        {IPT_SO_SET_ADD_COUNTERS, "Cannot set IP table counters", 1},
    };
    for (const auto& c : cases) {
        fake_kernel_t kernel;
        kernel.blob = make_ipt_blob(fixture());
        kernel.set_errors[c.option] = {EPERM};
        try {
            write_ipt_table(kernel, "mangle", fixture());
            ADD_FAILURE() << c.text;
        } catch (const boost::system::system_error& e) {
            EXPECT_EQ(e.code().value(), EPERM);
            EXPECT_EQ(std::string(e.what()).rfind(c.text, 0), 0u);
        }
        EXPECT_EQ(kernel.set_calls[IPT_SO_SET_ADD_COUNTERS], c.counter_calls);
    }
}

} // namespace
