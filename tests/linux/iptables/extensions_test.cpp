// Byte layouts of the matches and targets at the x86_64 sizes, their readers,
// the own-rule comment and the revision probe against a fake kernel.
#include <gtest/gtest.h>

#include <boost/system/system_error.hpp>

#include "linux/iptables/extensions.hpp"
#include "tests/linux/iptables/fake_kernel.hpp"
#include "tests/linux/iptables/print.hpp"

namespace {

using namespace fw::linux::iptables;
using bytes_t = std::vector<std::uint8_t>;

struct layout_case_t {
    const char* what;
    std::function<xt_blob_t()> build;
    std::size_t size;
    const char* name;
    std::uint8_t revision;
    // Data bytes by offset in the blob; every other byte past the header is zero.
    std::vector<std::pair<std::size_t, bytes_t>> data;
};

bytes_t expected_blob(const layout_case_t& c)
{
    bytes_t blob(c.size);
    blob[0] = static_cast<std::uint8_t>(c.size & 0xFF);
    blob[1] = static_cast<std::uint8_t>(c.size >> 8);
    std::memcpy(blob.data() + 2, c.name, std::strlen(c.name));
    blob[31] = c.revision;
    for (const auto& [offset, bytes] : c.data)
        std::copy(bytes.begin(), bytes.end(), blob.begin() + static_cast<std::ptrdiff_t>(offset));
    return blob;
}

TEST(XtLayout, EveryExtensionAtItsRevisions)
{
    constexpr std::uint32_t localhost = 0x7F000001;
    const std::vector<layout_case_t> cases = {
        {"TPROXY 1", [] { return xt::tproxy_target(1, localhost, 8080, 0x10, 0x30); }, 64, "TPROXY", 1,
         {{32, {0x30, 0, 0, 0}}, {36, {0x10, 0, 0, 0}}, {40, {0x7F, 0, 0, 1}}, {56, {0x1F, 0x90}}}},
        {"TPROXY 0", [] { return xt::tproxy_target(0, localhost, 8080, 0x10, 0x30); }, 48, "TPROXY", 0,
         {{32, {0x30, 0, 0, 0}}, {36, {0x10, 0, 0, 0}}, {40, {0x7F, 0, 0, 1}}, {44, {0x1F, 0x90}}}},
        {"NFQUEUE 3 bypass", [] { return xt::nfqueue_target(3, 0x0102, true); }, 40, "NFQUEUE", 3,
         {{32, {0x02, 0x01}}, {34, {1, 0}}, {36, {1, 0}}}},
        {"NFQUEUE 3", [] { return xt::nfqueue_target(3, 7, false); }, 40, "NFQUEUE", 3,
         {{32, {7, 0}}, {34, {1, 0}}}},
        {"NFQUEUE 2 bypass", [] { return xt::nfqueue_target(2, 7, true); }, 40, "NFQUEUE", 2,
         {{32, {7, 0}}, {34, {1, 0}}, {36, {1, 0}}}},
        {"NFQUEUE 1", [] { return xt::nfqueue_target(1, 7, false); }, 40, "NFQUEUE", 1,
         {{32, {7, 0}}, {34, {1, 0}}}},
        {"NFQUEUE 0", [] { return xt::nfqueue_target(0, 7, false); }, 40, "NFQUEUE", 0, {{32, {7, 0}}}},
        {"MARK 2", [] { return xt::mark_target(2, 0x11223344, 0xF0); }, 40, "MARK", 2,
         {{32, {0x44, 0x33, 0x22, 0x11}}, {36, {0xF0, 0, 0, 0}}}},
        {"CONNMARK 2", [] { return xt::connmark_target(2, 1, 0x04, 0x0F, 0xFFFFFFFF); }, 48, "CONNMARK", 2,
         {{32, {4, 0, 0, 0}}, {36, {0xFF, 0xFF, 0xFF, 0xFF}}, {40, {0x0F, 0, 0, 0}}, {46, {1}}}},
        {"CONNMARK 1", [] { return xt::connmark_target(1, 1, 0x04, 0x0F, 0xFFFFFFFF); }, 48, "CONNMARK", 1,
         {{32, {4, 0, 0, 0}}, {36, {0xFF, 0xFF, 0xFF, 0xFF}}, {40, {0x0F, 0, 0, 0}}, {44, {1}}}},
        {"tcp", [] { return make_tcp_match(0x12, 0x02); }, 48, "tcp", 0,
         {{32, {0, 0, 0xFF, 0xFF}}, {36, {0, 0, 0xFF, 0xFF}}, {41, {0x12, 0x02}}}},
        {"mark", [] { return xt::mark_match(1, 0x2, 0x6, false); }, 48, "mark", 1,
         {{32, {2, 0, 0, 0}}, {36, {6, 0, 0, 0}}}},
        {"mark inverted", [] { return xt::mark_match(1, 0x6, 0x6, true); }, 48, "mark", 1,
         {{32, {6, 0, 0, 0}}, {36, {6, 0, 0, 0}}, {40, {1}}}},
        {"connmark inverted", [] { return xt::connmark_match(1, 0x4, 0x6, true); }, 48, "connmark", 1,
         {{32, {4, 0, 0, 0}}, {36, {6, 0, 0, 0}}, {40, {1}}}},
        // XT_SOCKET_TRANSPARENT, the one flag every revision from 1 knows.
        {"socket 3", [] { return xt::transparent_socket_match(3); }, 40, "socket", 3, {{32, {1}}}},
        {"socket 2", [] { return xt::transparent_socket_match(2); }, 40, "socket", 2, {{32, {1}}}},
        {"socket 1", [] { return xt::transparent_socket_match(1); }, 40, "socket", 1, {{32, {1}}}},
        {"comment", [] { return make_comment_match("morva-firewall"); }, 288, "comment", 0,
         {{32, bytes_t(own_comment.begin(), own_comment.end())}}},
    };
    for (const layout_case_t& c : cases)
        EXPECT_EQ(c.build(), expected_blob(c)) << c.what;
}

TEST(XtLayout, QueueBypassNeedsRevisionTwo)
{
    for (std::uint8_t revision : {0, 1}) {
        try {
            xt::nfqueue_target(revision, 1, true);
            ADD_FAILURE() << "revision " << int(revision) << " accepted bypass";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "Cannot set --queue-bypass option: kernel is too old");
        }
    }
}

TEST(XtLayout, LayoutsOnlyForKnownRevisions)
{
    EXPECT_THROW(xt::nfqueue_target(4, 1, false), std::invalid_argument);
    EXPECT_THROW(xt::tproxy_target(2, 0, 0, 0, 0), std::invalid_argument);
    EXPECT_THROW(xt::connmark_target(0, 0, 0, 0, 0), std::invalid_argument);
    EXPECT_THROW(xt::mark_target(1, 0, 0), std::invalid_argument);
    EXPECT_THROW(xt::mark_match(0, 0, 0, false), std::invalid_argument);
    // Revision 0 would match any socket, transparent or not.
    EXPECT_THROW(xt::transparent_socket_match(0), std::invalid_argument);
    EXPECT_THROW(xt::transparent_socket_match(4), std::invalid_argument);
}

TEST(XtComment, TextUpTo255BytesKeptWhole)
{
    for (std::size_t length : {0u, 1u, 255u}) {
        const std::string text(length, 'c');
        EXPECT_EQ(get_comment(make_comment_match(text)), text) << length;
    }
}

TEST(XtComment, TextOf256BytesOrMoreRefused)
{
    for (std::size_t length : {256u, 257u, 1000u})
        EXPECT_THROW(make_comment_match(std::string(length, 'c')), std::runtime_error) << length;
}

TEST(XtComment, ReadStaysInsideTheField)
{
    // A comment field without a terminating NUL, as a foreign program could leave it.
    xt_blob_t match = make_comment_match("");
    std::fill(match.begin() + 32, match.end(), 'x');
    EXPECT_EQ(get_comment(match), std::string(256, 'x'));
}

TEST(XtReaders, OnlyTheirOwnExtension)
{
    const xt_blob_t comment = make_comment_match("morva-firewall");
    const xt_blob_t mark = xt::mark_match(1, 0x5, 0xF, true);
    const xt_blob_t connmark = xt::connmark_match(1, 0x5, 0xF, false);
    const xt_blob_t mark_target = xt::mark_target(2, 0x9, 0xF);
    const xt_blob_t connmark_target = xt::connmark_target(2, 0, 0x9, 0xF, 0xF);
    xt_blob_t truncated_mark = mark;
    truncated_mark.resize(40);
    xt_blob_t comment_cut = comment;
    comment_cut.resize(100);

    EXPECT_EQ(xt::mark_of_match(mark), 0x5u); // the invert byte is not looked at
    EXPECT_EQ(xt::mark_of_match(connmark), std::nullopt);
    EXPECT_EQ(xt::mark_of_match(comment), std::nullopt);
    EXPECT_EQ(xt::mark_of_match(truncated_mark), std::nullopt);
    EXPECT_EQ(xt::mark_of_target(mark_target), 0x9u);
    EXPECT_EQ(xt::mark_of_target(connmark_target), std::nullopt);
    EXPECT_EQ(xt::mark_of_target(mark), std::nullopt);
    EXPECT_EQ(get_comment(mark), std::nullopt);
    EXPECT_EQ(get_comment(comment_cut), std::nullopt);
    EXPECT_EQ(get_comment(xt_blob_t{}), std::nullopt);
}

TEST(OwnRule, CommentFirstAndExactlyOurs)
{
    const ipt_rule_t own = make_own_rule();
    ASSERT_EQ(own.matches.size(), 1u);
    EXPECT_EQ(get_comment(own.matches[0]), "morva-firewall");
    EXPECT_EQ(own.target, ipt_target_t{ipt_verdict_t::DROP});
    EXPECT_TRUE(is_own_rule(own));

    const struct {
        std::vector<std::string> comments;
        bool own;
    } cases[] = {
        {{}, false},
        {{"morva-firewall "}, false},
        {{"Morva-firewall"}, false},
        {{"morva-firewal"}, false},
        {{"morva-firewall-divert"}, false},
        {{"other", "morva-firewall"}, true},
    };
    for (const auto& c : cases) {
        ipt_rule_t rule;
        rule.matches.push_back(make_tcp_match(0x12, 0x02));
        for (const std::string& comment : c.comments)
            rule.matches.push_back(make_comment_match(comment));
        EXPECT_EQ(is_own_rule(rule), c.own) << ::testing::PrintToString(c.comments);
    }
}

// ---- revision probe ----------------------------------------------------------

struct probe_case_t {
    const char* what;
    int option;
    std::uint8_t lowest, highest;
    // errno per revision the kernel is asked for; missing revisions succeed
    std::map<int, int> answers;
    int expected; // the revision, or -errno
    std::string text;
};

TEST(RevisionProbe, HighestSupportedFirst)
{
    const std::vector<probe_case_t> cases = {
        {"newest known", IPT_SO_GET_REVISION_TARGET, 0, 3, {}, 3, ""},
        {"falls back", IPT_SO_GET_REVISION_TARGET, 0, 3, {{3, EPROTONOSUPPORT}, {2, EPROTONOSUPPORT}}, 1, ""},
        {"lowest bound", IPT_SO_GET_REVISION_TARGET, 0, 1, {{1, EPROTONOSUPPORT}}, 0, ""},
        {"none fits", IPT_SO_GET_REVISION_TARGET, 1, 2, {{2, EPROTONOSUPPORT}, {1, EPROTONOSUPPORT}},
         -EOPNOTSUPP, "target 'EXT'"},
        {"none fits, match", IPT_SO_GET_REVISION_MATCH, 1, 1, {{1, EPROTONOSUPPORT}}, -EOPNOTSUPP,
         "match 'EXT'"},
        {"unknown target", IPT_SO_GET_REVISION_TARGET, 0, 3, {{3, ENOENT}}, -ENOENT, "target 'EXT'"},
        {"unknown match", IPT_SO_GET_REVISION_MATCH, 0, 1, {{1, EPROTONOSUPPORT}, {0, ENOENT}}, -ENOENT,
         "match 'EXT'"},
        {"other failure", IPT_SO_GET_REVISION_MATCH, 0, 1, {{1, EPERM}}, -EPERM, "getsockopt"},
    };
    for (const probe_case_t& c : cases) {
        morva_test::fake_kernel_t kernel;
        std::vector<int> asked;
        kernel.revision = [&](const struct xt_get_revision& request, int option) {
            EXPECT_STREQ(request.name, "EXT");
            EXPECT_EQ(option, c.option);
            asked.push_back(request.revision);
            const auto answer = c.answers.find(request.revision);
            return answer == c.answers.end() ? 0 : answer->second;
        };
        try {
            const int revision = probe_xt_revision(kernel, "EXT", c.lowest, c.highest, c.option);
            EXPECT_EQ(revision, c.expected) << c.what;
        } catch (const boost::system::system_error& e) {
            EXPECT_EQ(-e.code().value(), c.expected) << c.what;
            EXPECT_EQ(std::string(e.what()).substr(0, c.text.size()), c.text) << c.what;
        }
        ASSERT_FALSE(asked.empty()) << c.what;
        EXPECT_EQ(asked.front(), c.highest) << c.what;
    }
}

} // namespace
