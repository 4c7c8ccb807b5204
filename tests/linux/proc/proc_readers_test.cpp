// The /proc readers over fixture text: the status ids and the /proc/net/tcp
// scanner, whole, in pieces and malformed; the readers of this process.
#include "linux/proc/proc_readers.hpp"

#include "common/file_reader.hpp"
#include "tests/common/temp_dir.hpp"

#include <boost/filesystem.hpp>
#include <boost/lexical_cast.hpp>
#include <boost/system/system_error.hpp>
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

using fw::linux::proc_net_tcp_entry_t;
using fw::linux::proc_net_tcp_iterator_t;
using fw::linux::proc_net_tcp_parser_t;

// ---------------------------------------------------------------------------
// /proc/<pid>/status

std::string status_with(const std::string& ids)
{
    return "Name:\tcat\nUmask:\t0022\nState:\tR (running)\nTgid:\t4242\nPid:\t4242\nPPid:\t1\n" + ids
           + "FDSize:\t256\nGroups:\t4 24 27\n";
}

TEST(proc_status_ids, takes_the_file_system_ids_of_an_adjacent_pair)
{
    struct case_t {
        const char* name;
        std::string text;
        unsigned uid;
        unsigned gid;
    };
    const std::vector<case_t> cases = {
        {"fourth fields", status_with("Uid:\t1000\t1000\t1000\t1001\nGid:\t100\t100\t100\t101\n"), 1001, 101},
        {"largest id", status_with("Uid:\t0\t0\t0\t4294967295\nGid:\t0\t0\t0\t0\n"), 4294967295u, 0},
        // A broken pair is passed over; a later whole pair is taken.
        {"later pair",
         "Uid:\t1\t1\t1\t1\nName:\tx\nUid:\t5\t5\t5\t7\nGid:\t6\t6\t6\t8\n", 7, 8},
        // The line after a user line is consumed even when it is a user line itself.
        {"user line after user line",
         "Uid:\t1\t1\t1\t1\nUid:\t2\t2\t2\t2\nGid:\t3\t3\t3\t3\nUid:\t4\t4\t4\t4\nGid:\t9\t9\t9\t9\n", 4, 9},
    };
    for (const auto& c : cases) {
        std::istringstream in(c.text);
        EXPECT_EQ(fw::linux::parse_proc_status_ids(in, "/proc/4242/status"), std::make_pair(c.uid, c.gid)) << c.name;
    }
}

TEST(proc_status_ids, malformed_files_fail_with_the_path)
{
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"empty", ""},
        {"group line not next", status_with("Uid:\t1000\t1000\t1000\t1001\nFoo:\t1\nGid:\t100\t100\t100\t101\n")},
        {"group before user", "Gid:\t100\t100\t100\t101\nUid:\t1000\t1000\t1000\t1001\n"},
        {"user line last", "Uid:\t1000\t1000\t1000\t1001"},
        {"three fields", "Uid:\t1000\t1000\t1001\nGid:\t100\t100\t101\n"},
        {"five fields", "Uid:\t1\t1\t1\t1\t1\nGid:\t1\t1\t1\t1\n"},
        {"spaces for tabs", "Uid: 1 1 1 1\nGid: 1 1 1 1\n"},
        {"two tabs", "Uid:\t1\t\t1\t1\t1\nGid:\t1\t1\t1\t1\n"},
        {"trailing blank", "Uid:\t1\t1\t1\t1 \nGid:\t1\t1\t1\t1\n"},
        {"leading blank", " Uid:\t1\t1\t1\t1\nGid:\t1\t1\t1\t1\n"},
        {"negative", "Uid:\t1\t1\t1\t-1\nGid:\t1\t1\t1\t1\n"},
        {"lower case", "uid:\t1\t1\t1\t1\ngid:\t1\t1\t1\t1\n"},
    };
    for (const auto& [name, text] : cases) {
        std::istringstream in(text);
        try {
            fw::linux::parse_proc_status_ids(in, "/proc/4242/status");
            ADD_FAILURE() << name << ": parsed";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "Cannot parse /proc/4242/status: no fsuid/fsgid found") << name;
        }
    }
}

TEST(proc_status_ids, an_id_beyond_unsigned_is_a_conversion_error)
{
    std::istringstream in("Uid:\t1\t1\t1\t4294967296\nGid:\t1\t1\t1\t1\n");
    EXPECT_THROW(fw::linux::parse_proc_status_ids(in, "p"), boost::bad_lexical_cast);
}

TEST(proc_status_ids, this_process_and_a_missing_one)
{
    EXPECT_EQ(fw::linux::read_proc_status_ids(::getpid()), std::make_pair(unsigned(::geteuid()), unsigned(::getegid())));
    try {
        fw::linux::read_proc_status_ids(-7);
        ADD_FAILURE() << "read the status of pid -7";
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(e.code().value(), ENOENT);
        EXPECT_EQ(std::string(e.what()), "Cannot open /proc/-7/status: " + e.code().message());
    }
}

TEST(proc_exe, this_process_and_a_missing_one)
{
    EXPECT_EQ(fw::linux::read_proc_exe(::getpid()), boost::filesystem::read_symlink("/proc/self/exe"));
    try {
        fw::linux::read_proc_exe(-7);
        ADD_FAILURE() << "read the exe of pid -7";
    } catch (const boost::filesystem::filesystem_error& e) {
        EXPECT_EQ(e.code().value(), ENOENT);
        EXPECT_EQ(e.path1(), "/proc/-7/exe");
        EXPECT_NE(std::string(e.what()).find("readlink"), std::string::npos) << e.what();
    }
}

// ---------------------------------------------------------------------------
// /proc/net/tcp

// As the kernel writes them, padding included.
const std::string header =
    "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode      \n";
const std::string line_mysql = "   0: 0100007F:0CEA 0200A8C0:0050 01 00000000:00000000 00:00000000 00000000  1000        0 "
                               "23456 1 0000000000000000 20 4 30 10 -1                      \n";
const std::string line_listen = "   1: 00000000:0016 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 "
                                "1233 1 ffff8f2e19afbded 100 0 0 10 0\n";

std::string endpoint_text(const boost::asio::ip::tcp::endpoint& e)
{
    return e.address().to_string() + ":" + std::to_string(e.port());
}

struct scanned_t {
    std::vector<std::string> entries; // "local remote inode"
    bool failed = false;
};

// Feeds `text` in pieces of `piece` bytes, as the iterator would.
scanned_t scan(const std::string& text, std::size_t piece)
{
    scanned_t result;
    proc_net_tcp_parser_t parser;
    for (std::size_t at = 0; at < text.size();) {
        const char* chunk_end = text.data() + std::min(text.size(), at + piece);
        const char* begin = text.data() + at;
        while (begin != chunk_end) {
            auto [consumed, completed] = parser.feed(begin, chunk_end);
            begin += consumed;
            if (completed) {
                const proc_net_tcp_entry_t& e = parser.entry();
                result.entries.push_back(endpoint_text(e.local) + " " + endpoint_text(e.remote) + " "
                                         + std::to_string(e.inode));
            } else if (parser.failed()) {
                result.failed = true;
                return result;
            }
        }
        at = static_cast<std::size_t>(chunk_end - text.data());
    }
    return result;
}

TEST(proc_net_tcp_scanner, decodes_lines_whole_and_byte_by_byte)
{
    const std::string text = header + line_mysql + line_listen;
    const std::vector<std::string> expected = {"127.0.0.1:3306 192.168.0.2:80 23456", "0.0.0.0:22 0.0.0.0:0 1233"};
    for (std::size_t piece : {text.size(), std::size_t(1), std::size_t(7), std::size_t(64)}) {
        const scanned_t s = scan(text, piece);
        EXPECT_FALSE(s.failed) << piece;
        EXPECT_EQ(s.entries, expected) << piece;
    }
}

TEST(proc_net_tcp_scanner, feed_reports_what_it_consumed)
{
    proc_net_tcp_parser_t parser;
    const std::string text = header + line_mysql + "   2: 01";
    auto [consumed, completed] = parser.feed(text.data(), text.data() + text.size());
    EXPECT_TRUE(completed);
    EXPECT_EQ(consumed, header.size() + line_mysql.size());
    // The rest of a line waits for more input.
    std::tie(consumed, completed) = parser.feed(text.data() + consumed, text.data() + text.size());
    EXPECT_FALSE(completed);
    EXPECT_EQ(consumed, 8u);
    EXPECT_FALSE(parser.failed());
}

std::string mysql_line_with(const std::string& decimals_and_rest)
{
    return "   0: 0100007F:0CEA 0200A8C0:0050 01 00000000:00000000 00:00000000 00000000 " + decimals_and_rest + "\n";
}

TEST(proc_net_tcp_scanner, accepted_variants_of_a_data_line)
{
    struct case_t {
        const char* name;
        std::string line;
        unsigned inode;
    };
    const std::vector<case_t> cases = {
        {"one-digit uid", mysql_line_with("0 0 23456 1 0000000000000000 20 4 30 10 -1"), 23456},
        {"four-digit uid", mysql_line_with("1000 0 23456 1 0000000000000000 20 4 30 10 -1"), 23456},
        {"tabs", mysql_line_with("1000\t0\t23456\t1"), 23456},
        {"nothing after the inode", mysql_line_with("1000 0 23456"), 23456},
        {"blanks after the inode", mysql_line_with("1000 0 23456   "), 23456},
        {"inode 0", mysql_line_with("1000 0 0 1"), 0},
        {"largest inode", mysql_line_with("1000 0 4294967295 1"), 4294967295u},
        {"lower-case hex", "0: 0100007f:0cea 0200a8c0:0050 0a 0000000a:0000000b 00:0000000c 0000000d 1 2 77\n", 77},
        {"no leading blanks, many blanks", "0:\t0100007F:0CEA\t\t0200A8C0:0050  01  00000000:00000000  00:00000000  "
                                           "00000000 \t 0 \t 0 \t 77 \n",
         77},
        // The kernel never writes a negative timeout; such a line still passes.
        {"negative timeout", mysql_line_with("1000 -1 23456"), 0},
    };
    for (const auto& c : cases) {
        const scanned_t s = scan(header + c.line, c.line.size() + header.size());
        ASSERT_FALSE(s.failed) << c.name;
        ASSERT_EQ(s.entries.size(), 1u) << c.name;
        EXPECT_EQ(s.entries[0], "127.0.0.1:3306 192.168.0.2:80 " + std::to_string(c.inode)) << c.name;
    }
}

TEST(proc_net_tcp_scanner, rejected_input_stops_at_the_offending_character)
{
    struct case_t {
        const char* name;
        std::string text;
        std::size_t entries; // complete lines before the failure
    };
    const std::string good = mysql_line_with("1000 0 23456 1");
    const std::vector<case_t> cases = {
        {"data line without header", line_mysql, 0},
        {"misspelt header", "  sl  local_address rem_adress st\n", 0},
        {"header only half", "  sl  local_address\n", 0},
        {"upper-case hex in the rest", header + good + mysql_line_with("1000 0 23456 1 00000000000000FF"), 1},
        {"short address", header + "   0: 0100007:0CEA 0200A8C0:0050 01 00000000:00000000 00:00000000 00000000 0 0 1\n", 0},
        {"long port", header + "   0: 0100007F:0CEA0 0200A8C0:0050 01 00000000:00000000 00:00000000 00000000 0 0 1\n", 0},
        {"no slot digits", header + "   : 0100007F:0CEA 0200A8C0:0050 01 00000000:00000000 00:00000000 00000000 0 0 1\n", 0},
        {"non-hex digit", header + "   0: 0100007G:0CEA 0200A8C0:0050 01 00000000:00000000 00:00000000 00000000 0 0 1\n", 0},
        {"inode missing", header + good + mysql_line_with("1 0"), 1},
        {"letter in the uid", header + mysql_line_with("10x0 0 23456"), 0},
        {"empty line", header + "\n" + good, 0},
        {"carriage return", header + mysql_line_with("1000 0 23456\r"), 0},
        {"NUL byte", header + std::string("   0: 01\0", 9), 0},
    };
    for (const auto& c : cases) {
        for (std::size_t piece : {c.text.size(), std::size_t(1)}) {
            const scanned_t s = scan(c.text, piece);
            EXPECT_TRUE(s.failed) << c.name << " by " << piece;
            EXPECT_EQ(s.entries.size(), c.entries) << c.name << " by " << piece;
        }
    }
}

TEST(proc_net_tcp_scanner, the_error_state_accepts_nothing)
{
    proc_net_tcp_parser_t parser;
    const std::string bad = "x" + header;
    EXPECT_EQ(parser.feed(bad.data(), bad.data() + bad.size()), std::make_pair(std::size_t(0), false));
    EXPECT_TRUE(parser.failed());
    EXPECT_EQ(parser.feed(header.data(), header.data() + header.size()), std::make_pair(std::size_t(0), false));
}

TEST(proc_net_tcp_scanner, an_inode_beyond_unsigned_is_a_conversion_error)
{
    proc_net_tcp_parser_t parser;
    const std::string text = header + mysql_line_with("1000 0 4294967296");
    EXPECT_THROW(parser.feed(text.data(), text.data() + text.size()), boost::bad_lexical_cast);
}

class proc_net_tcp_iterator_test : public morva_test::temp_dir_test_t {
protected:
    std::vector<unsigned> inodes_of(const std::string& text, int chunk_size)
    {
        const auto path = (dir / "tcp").string();
        std::ofstream(path) << text;
        file_reader_t reader(path, chunk_size);
        std::vector<unsigned> inodes;
        auto [it, end] = proc_net_tcp_iterator_t::range(reader);
        for (; it != end; ++it)
            inodes.push_back(it->inode);
        return inodes;
    }
};

TEST_F(proc_net_tcp_iterator_test, walks_the_complete_data_lines)
{
    struct case_t {
        const char* name;
        std::string text;
        std::vector<unsigned> inodes;
    };
    const std::vector<case_t> cases = {
        {"empty file", "", {}},
        {"header only", header, {}},
        {"two lines", header + line_mysql + line_listen, {23456, 1233}},
        {"last line without newline", header + line_mysql + line_listen.substr(0, line_listen.size() - 1), {23456}},
        // A rejected line ends the walk; it does not spin on the same bytes.
        {"rejected line in the middle", header + line_mysql + "garbage\n" + line_listen, {23456}},
        {"no header", line_mysql + line_listen, {}},
    };
    for (const auto& c : cases)
        for (int chunk : {4096, 1, 13})
            EXPECT_EQ(inodes_of(c.text, chunk), c.inodes) << c.name << " in chunks of " << chunk;
}

TEST_F(proc_net_tcp_iterator_test, many_lines_across_chunks)
{
    std::string text = header;
    std::vector<unsigned> expected;
    for (unsigned i = 0; i < 500; ++i) {
        text += mysql_line_with("1000 0 " + std::to_string(100000 + i) + " 1 0000000000000000 20 4 30 10 -1");
        expected.push_back(100000 + i);
    }
    EXPECT_EQ(inodes_of(text, 4096), expected);
}

} // namespace
