// Real connections through the running daemon, for every divert and every
// verdict of the demo hook: CHECK goes through the pellad stand-in, which
// relays the bytes both ways (with the half-closes), PASS reaches the server
// directly, DROP never connects, REJECT is refused.
#include <pwd.h>
#include <unistd.h>

#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <boost/filesystem/operations.hpp>
#include <gtest/gtest.h>

#include "tests/e2e/stack.hpp"

namespace {

using morva_test::topology_t;

// The one daemon all tests of this program share, started by the first:
// starting it takes a while. Stopped after the last test.
std::unique_ptr<morva_test::stack_t> shared_stack;

morva_test::stack_t& stack()
{
    if (!shared_stack) {
        shared_stack = std::make_unique<morva_test::stack_t>();
        shared_stack->start(shared_stack->config());
    }
    return *shared_stack;
}

class stop_shared_stack_t : public testing::Environment {
public:
    void TearDown() override
    {
        if (!shared_stack)
            return;
        EXPECT_EQ(shared_stack->stop(), 0) << shared_stack->daemon_output();
        shared_stack->expect_nothing_left();
        shared_stack.reset();
    }
};
const auto* const stop_shared_stack = testing::AddGlobalTestEnvironment(new stop_shared_stack_t);

enum class from_t { client, firewall };

struct divert_t {
    const char* name;     // as in the rule variable: D_OUTPUT, D_INPUT, D_FORWARD
    from_t from;          // the host that opens the connection
    const char* source;   // its address towards the server
    const char* address;  // the server it connects to
};

const divert_t output{"OUTPUT", from_t::firewall, topology_t::firewall_server_side, topology_t::server_address};
const divert_t input{"INPUT", from_t::client, topology_t::client_address, topology_t::firewall_client_side};
const divert_t forward{"FORWARD", from_t::client, topology_t::client_address, topology_t::server_address};

struct case_t {
    divert_t divert;
    const char* verdict;
    const char* port;
};

std::string case_name(const testing::TestParamInfo<case_t>& info)
{
    return std::string(info.param.divert.name) + "_" + info.param.verdict;
}

class verdicts_e2e : public testing::TestWithParam<case_t> {
protected:
    static std::string from_host(const divert_t& d)
    {
        return d.from == from_t::client ? stack().hosts.client : stack().hosts.firewall;
    }

    // Whether a session of a connection from `source` to `server` logged `verdict`.
    static bool session_decided(const std::string& source, const std::string& server, const std::string& verdict)
    {
        const std::string out = stack().daemon_output();
        const std::regex started("Session (\\S+): started " + source + ":\\d+ -> " + server + "\n");
        for (auto it = std::sregex_iterator(out.begin(), out.end(), started); it != std::sregex_iterator(); ++it)
            if (out.find("Session " + (*it)[1].str() + ": " + verdict + " ") != std::string::npos)
                return true;
        return false;
    }

    // The pellad stand-in's lines of the frame of the pair (client, server),
    // or nothing when no frame has it. A client port may come again towards
    // another server in a later case, so both ends are matched.
    static std::string pellad_frame_of(const std::string& client, const std::string& server)
    {
        const std::string src = morva_test::socket_variable("src_address", client);
        const std::string dst = morva_test::socket_variable("dst_address", server);
        const std::string out = stack().pellad().output();
        for (auto at = out.find(src); at != std::string::npos; at = out.find(src, at + 1)) {
            // "pellad-standin: link N frame M: variable ...": gather that frame's lines.
            const auto line_start = out.rfind('\n', at) + 1;
            const std::string line = out.substr(line_start, at - line_start);
            std::smatch m;
            if (!std::regex_search(line, m, std::regex("(link \\d+ frame \\d+):")))
                continue;
            const std::string label = std::string(m[1]) + ":";
            std::string frame;
            std::istringstream lines(out);
            for (std::string l; std::getline(lines, l);)
                if (l.find(label) != std::string::npos)
                    frame += l + "\n";
            if (frame.find(dst) != std::string::npos)
                return frame;
        }
        return {};
    }
};

TEST_P(verdicts_e2e, a_connection_takes_the_hooks_verdict)
{
    const case_t& c = GetParam();
    const std::string text = std::string("hello through ") + c.divert.name + " " + c.verdict;
    const std::string verdict = c.verdict;
    // A dropped connect waits for its whole timeout.
    const auto conn = stack().connect(from_host(c.divert), c.divert.address, c.port, text, verdict == "DROP" ? "3" : "10");
    const std::string server = std::string(c.divert.address) + ":" + c.port;
    const std::string context = "client:\n" + conn.output + "\ndaemon:\n" + stack().daemon_output()
                                + "\npellad:\n" + stack().pellad().output() + "\nservers:\n"
                                + stack().servers_output();

    // The daemon's session decided it, whatever the outcome looks like from
    // outside. Each case has a source and server pair of its own.
    EXPECT_TRUE(session_decided(c.divert.source, server, c.verdict)) << context;

    if (verdict == "DROP") {
        EXPECT_EQ(conn.status, 4) << context;
        return;
    }
    if (verdict == "REJECT") {
        EXPECT_EQ(conn.status, 3) << context;
        return;
    }
    ASSERT_EQ(conn.status, 0) << context;
    std::smatch m;
    ASSERT_TRUE(std::regex_match(conn.reply, m, std::regex("peer (\\S+) sent \"(.*)\""))) << context;
    // Both directions and both ends of stream came through: the server answers
    // only after the client's half-close, and the client reads to the end.
    EXPECT_EQ(m[2], text) << context;
    const std::string peer = m[1];
    const std::string frame = pellad_frame_of(conn.local, server);
    if (verdict == "PASS") {
        EXPECT_EQ(peer, conn.local) << "the server should see the client itself\n" << context;
        EXPECT_EQ(frame, "") << context;
        return;
    }
    // CHECK: the server saw the daemon's own connection; pellad got the pair
    // with the connection's facts.
    EXPECT_NE(peer, conn.local) << context;
    ASSERT_NE(frame, "") << "no pellad frame for " << conn.local << "\n" << context;
    EXPECT_NE(frame.find(morva_test::socket_variable("dst_address", server)), std::string::npos) << frame;
    EXPECT_NE(frame.find("variable divert: D_" + std::string(c.divert.name)), std::string::npos) << frame;
    EXPECT_NE(frame.find("COMPLEMENTARY_CONNECTIONS scan_timeout=42"), std::string::npos) << frame;
    if (c.divert.from == from_t::firewall) {
        // The client is a process of the firewall host: the hook's context
        // found it, and pellad learns who opened the connection.
        const auto exe = boost::filesystem::canonical(morva_test::stack_t::tool("demo")).string();
        EXPECT_NE(frame.find("variable exe_path: \"" + exe + "\""), std::string::npos) << frame;
        EXPECT_NE(frame.find("variable user_name: \"" + std::string(::getpwuid(::geteuid())->pw_name) + "\""),
                  std::string::npos)
            << frame;
    }
}

INSTANTIATE_TEST_SUITE_P(
    each_divert, verdicts_e2e,
    testing::Values(case_t{output, "CHECK", "8080"}, case_t{input, "CHECK", "8080"},
                    case_t{forward, "CHECK", "8080"}, case_t{output, "PASS", "8001"}, case_t{input, "PASS", "8001"},
                    case_t{forward, "PASS", "8001"}, case_t{output, "DROP", "8002"}, case_t{input, "DROP", "8002"},
                    case_t{forward, "DROP", "8002"}, case_t{output, "REJECT", "8003"},
                    case_t{input, "REJECT", "8003"}, case_t{forward, "REJECT", "8003"}),
    case_name);

// Checked connections at the same time: the daemon pairs each client with
// its own server connection, so every client gets its own bytes back.
TEST(verdicts_e2e_together, simultaneous_checked_connections_are_paired_right)
{
    std::vector<std::unique_ptr<morva_test::ns_process_t>> clients;
    for (int i = 0; i < 24; ++i)
        clients.push_back(stack().start_connect(stack().hosts.client, topology_t::server_address, "8080",
                                                "client " + std::to_string(i), "10"));
    for (int i = 0; i < 24; ++i) {
        const auto c = morva_test::stack_t::finish_connect(*clients[i]);
        ASSERT_EQ(c.status, 0) << c.output << stack().daemon_output();
        std::smatch m;
        ASSERT_TRUE(std::regex_match(c.reply, m, std::regex("peer (\\S+) sent \"(.*)\""))) << c.output;
        EXPECT_EQ(m[2], "client " + std::to_string(i));
        EXPECT_NE(m[1], c.local) << "checked, so the server sees the daemon";
        EXPECT_TRUE(stack().pellad().wait_for(morva_test::socket_variable("src_address", c.local)));
    }
}

} // namespace
