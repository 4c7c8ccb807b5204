// Hooks run by the real daemon: the facts a hook decides by (the executable
// and the user of a local client, the subnet of a forwarded one), a lookup
// with quisad answering, silent and absent, and hooks that fail in ways that
// must neither stall nor end the daemon, nor hold its stop.
#include <chrono>
#include <csignal>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include <boost/filesystem/operations.hpp>
#include <gtest/gtest.h>

#include "tests/e2e/hook_config.hpp"
#include "tests/e2e/stack.hpp"
#include "tests/support/process.hpp"
#include "tests/support/wait.hpp"

namespace {

using morva_test::config_with_hook;
using morva_test::stack_t;
using morva_test::topology_t;
using morva_test::write_hook;

// The server ports, one per kind of decision; every verdict of a port comes
// from its function in the hook.
const std::vector<std::string> hook_ports{"9101", "9102", "9103", "9104", "9105", "9106", "9107", "9108"};

// @DEMO@ stands for the path of the demo program of the build.
const char* const hook_template = R"lua(
local morva = require("morva")
local lookup = require("morva.lookup")

local by_port = {
  -- A local client: by its user, then by its executable.
  [9101] = function(ctx)
    if ctx.user == "nobody" then return "drop" end
    if ctx.exe_path == "@DEMO@" then return "reject" end
    return "pass"
  end,
  -- A forwarded client: by the subnet it comes from.
  [9102] = function(ctx)
    if ctx.src.ip.belongs("10.200.1.0/24") then return "pass" end
    return "drop"
  end,
  [9103] = function(ctx)
    if ctx.src.ip.belongs({"10.200.9.0/24", "192.0.2.0/24"}) then return "pass" end
    return "reject"
  end,
  -- A lookup, and a decision of its own when quisad fails.
  [9104] = function(ctx)
    local ok, ports = pcall(lookup.lookup, "allmatch@hook_ports")
    if not ok then
      morva.warning("lookup failed: " .. tostring(ports))
      return "reject"
    end
    for _, p in ipairs(ports) do
      if p == "9104" then return "pass" end
    end
    return "drop"
  end,
  [9105] = function() while true do end end,
  [9106] = function() error(setmetatable({}, { __tostring = function() error({}) end })) end,
  [9107] = function() return string.rep("a", 30000):find(".-.-.-.-.-.-b") end,
  [9108] = function() return string.rep("x", 2^31 - 1) end,
}

function intercept_hook(ctx)
  local decide = by_port[math.tointeger(ctx.dst.port)]
  if decide then return decide(ctx) end
  return "check"
end
)lua";

// Text matched literally inside a regular expression.
std::string quoted(const std::string& text)
{
    return std::regex_replace(text, std::regex("[.^$|()\\[\\]{}*+?\\\\]"), "\\$&");
}

struct case_t {
    const char* name;
    std::function<void(stack_t&)> before; // may be empty
    bool forwarded;                       // from the client host, else a local client of the firewall host
    bool as_nobody;                       // the client runs as uid 65534 (local clients)
    bool from_copy;                       // the client is a copy of the demo program (local clients)
    const char* port;
    const char* verdict; // PASS, CHECK, DROP or REJECT, as the client sees it
    // What follows "Session <id>: " in one of that session's lines.
    std::string session_line;
    const char* seconds = "10"; // the client's connect timeout
};

TEST(hooks_e2e, each_hook_decides_by_what_it_asks_for)
{
    stack_t stack("lookup allmatch hook_ports : 9104\n", hook_ports);
    const std::string demo = boost::filesystem::canonical(stack_t::tool("demo")).string();
    const std::string hook = std::regex_replace(hook_template, std::regex("@DEMO@"), demo);
    stack.start(config_with_hook(stack, write_hook(stack, hook)));
    // A copy of the demo that uid 65534 may run, wherever the build tree lies.
    const morva_test::reachable_copy_t copy(stack_t::tool("demo"));

    const std::string local_user = "user=root .*exe_path=";
    const case_t cases[] = {
        {"local client, the build's demo as root", {}, false, false, false, "9101", "REJECT",
         "REJECT .*" + local_user + quoted(demo) + "\n"},
        {"local client, another program as root", {}, false, false, true, "9101", "PASS",
         "PASS .*" + local_user + quoted(copy.path()) + "\n"},
        {"local client as nobody", {}, false, true, true, "9101", "DROP", "DROP .*user=nobody", "3"},
        {"forwarded from the subnet", {}, true, false, false, "9102", "PASS", "PASS "},
        {"forwarded from outside the subnets", {}, true, false, false, "9103", "REJECT", "REJECT "},
        {"lookup answered", {}, true, false, false, "9104", "PASS", "PASS "},
        // Stopped: the link stays up, the requests go out, no answer comes.
        {"lookup, quisad silent", [](stack_t& s) { s.quisad().signal(SIGSTOP); }, true, false, false, "9104",
         "REJECT", "Lua: lookup failed: Lookup: Quisad: no answer within 5000 ms: Connection timed out", "20"},
        {"lookup, quisad absent", [](stack_t& s) { s.quisad().signal(SIGKILL); }, true, false, false, "9104",
         "REJECT", "Lua: lookup failed: Lookup: Cannot connect to .*quisad.sock: Connection refused"},
        {"looping hook", {}, true, false, false, "9105", "CHECK",
         "cannot get verdict for intercepted connection: .*instruction budget of 20000000 exceeded without a wait; "
         "falling back to CHECK"},
        {"error that cannot be described", {}, true, false, false, "9106", "CHECK",
         "cannot get verdict for intercepted connection: Unexpected error; falling back to CHECK"},
        {"backtracking hook", {}, true, false, false, "9107", "CHECK",
         "cannot get verdict for intercepted connection: .*instruction budget of 20000000 exceeded without a wait; "
         "falling back to CHECK"},
        {"allocating hook", {}, true, false, false, "9108", "CHECK",
         "cannot get verdict for intercepted connection: .*hook.lua:\\d+: not enough memory for buffer allocation; "
         "falling back to CHECK"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.before)
            c.before(stack);
        const std::size_t seen = stack.daemon_output().size();
        const std::string from = c.forwarded ? stack.hosts.client : stack.hosts.firewall;
        std::vector<std::string> argv{c.from_copy ? copy.path() : demo, "connect", topology_t::server_address, c.port,
                                      std::string("hello ") + c.name, c.seconds};
        if (c.as_nobody)
            argv.insert(argv.begin(), {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
        morva_test::ns_process_t client(from, argv);
        const auto conn = stack_t::finish_connect(client);
        const std::string source = c.forwarded ? topology_t::client_address : topology_t::firewall_server_side;
        const std::string server = std::string(topology_t::server_address) + ":" + c.port;
        // The session of this connection, and its line; the daemon's output
        // is read on a thread of its own, so it may come a little later.
        const std::regex started("Session (\\S+): started " + source + ":\\d+ -> " + server);
        std::string out;
        const bool found = morva_test::wait_until(
            [&] {
                out = stack.daemon_output().substr(seen);
                std::smatch m;
                return std::regex_search(out, m, started)
                       && std::regex_search(out, std::regex("Session " + quoted(m[1].str()) + ": " + c.session_line));
            },
            std::chrono::seconds(30), std::chrono::milliseconds(50));
        const std::string context = "client:\n" + conn.output + "\ndaemon:\n" + out;
        EXPECT_TRUE(found) << "no session line: " << c.session_line << "\n" << context;

        const std::string verdict = c.verdict;
        if (verdict == "DROP") {
            EXPECT_EQ(conn.status, 4) << context;
        } else if (verdict == "REJECT") {
            EXPECT_EQ(conn.status, 3) << context;
        } else {
            ASSERT_EQ(conn.status, 0) << context;
            // A checked connection reaches the server through the daemon, a passed one as itself.
            EXPECT_EQ(conn.reply.find("peer " + conn.local + " "), verdict == "PASS" ? 0u : std::string::npos)
                << context;
        }
    }
    // Nothing stalled the daemon: it acts on SIGTERM and removes everything.
    EXPECT_EQ(stack.stop(), 0) << stack.daemon_output();
    stack.expect_nothing_left();
}

TEST(hooks_e2e, a_stop_while_a_hook_backtracks_is_served_and_nothing_is_left)
{
    stack_t stack("", hook_ports);
    const std::string file = write_hook(stack, R"lua(
function intercept_hook(ctx)
  string.rep("a", 30000):find(".-.-.-.-.-.-b")
  return "pass"
end
)lua");
    stack.start(config_with_hook(stack, file));
    // Without its matching charged to the budget, this run would last for hours.
    const auto client = stack.start_connect(stack.hosts.client, topology_t::server_address, "9101", "backtracking", "30");
    ASSERT_TRUE(stack.marend().wait_for(": started " + std::string(topology_t::client_address)))
        << stack.daemon_output();

    // The run ends within its budget (a fraction of a second, seconds under a
    // sanitizer on a loaded machine), then the stop is served.
    stack.expect_stop_within(std::chrono::seconds(60));
}

} // namespace
