#pragma once
// The demo's set-up for end-to-end tests: the hosts of topology_t, servers
// (tools/demo) on the server host and on the firewall host, the pellad and
// quisad stand-ins on the firewall host and the daemon there under the marend
// stand-in, with the demo hook (tools/demo/hook.lua). The hook's verdicts come
// from the quisad table the test gives; the configuration is text format.
#include <algorithm>
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <signal.h>

#include <boost/filesystem.hpp>

#include "tests/support/process.hpp"
#include "tests/support/topology.hpp"

namespace morva_test {

// Ports the servers answer on; what the hook makes of them is the quisad table's.
inline const std::vector<std::string> server_ports{"8001", "8002", "8003", "8080"};

// The demo hook's lists: 8001 passes, 8002 is dropped, 8003 rejected, the rest checked.
inline const char* const demo_quisad_table = "lookup allmatch pass_ports : 8001\n"
                                             "check allmatch drop_ports 8002 : true\n"
                                             "check allmatch reject_ports 8003 : true\n";

// Diverts enabled by a configuration.
struct diverts_t {
    bool output = true;
    bool input = true;
    bool forward = true;
};

// What a client's connect showed.
struct connection_t {
    int status = -1;       // 0 answered, 3 refused, 4 timed out (tools/demo)
    std::string local;     // the client's endpoint, once connected
    std::string reply;     // the server's answer: peer <endpoint> sent "<text>"
    std::string output;    // all of it, for failure messages
};

// A socket rule variable as the pellad stand-in prints it, for an endpoint
// written "address:port": src_address { address: "10.200.1.2" port: 41000 }.
inline std::string socket_variable(const std::string& name, const std::string& endpoint)
{
    const auto colon = endpoint.rfind(':');
    return name + " { address: \"" + endpoint.substr(0, colon) + "\" port: " + endpoint.substr(colon + 1) + " }";
}

class stack_t {
public:
    explicit stack_t(const std::string& quisad_table = demo_quisad_table,
                     const std::vector<std::string>& ports = server_ports)
    {
        dir_ = boost::filesystem::temp_directory_path() / boost::filesystem::unique_path("morva-e2e-%%%%%%%%");
        boost::filesystem::create_directories(dir_);
        try {
            start_peers(quisad_table, ports);
        } catch (...) {
            boost::filesystem::remove_all(dir_);
            throw;
        }
    }
    ~stack_t()
    {
        if (marend_)
            stop();
        boost::filesystem::remove_all(dir_);
    }

    // The configuration: all marks, queue numbers and the route chosen by the
    // daemon, the given diverts, the demo hook.
    std::string config(const diverts_t& diverts = {}) const
    {
        std::string text = "log_level: LOG_LEVEL_DEBUG\n"
                           "actual_log { type: STDERR }\n"
                           "autoconfigure_iptables: true\n"
                           "autoconfigure_routing: true\n"
                           "local_delivery_mark { auto {} }\n"
                           "client_packets_mark { auto {} }\n"
                           "server_packets_mark { auto {} }\n"
                           "tproxy_listen_address { address: \"127.0.0.1\" port: 0 }\n"
                           "scan_timeout: 42\n"
                           "inspect_http: true\n";
        for (const auto& [name, on] : {std::pair{"output", diverts.output}, std::pair{"input", diverts.input},
                                       std::pair{"forward", diverts.forward}}) {
            if (!on)
                continue;
            const std::string divert = name;
            text += divert + "_divert_enable: true\n" + divert + "_divert_nfqueue_number { auto {} }\n" + divert
                    + "_divert_mark { auto {} }\n";
        }
        text += "intercept_hook { file: \"" + source("tools/demo/hook.lua") + "\" }\n";
        text += "var_lib_dir: \"" + dir_.string() + "\"\n";
        return text;
    }

    // iptables left to the administrator: no divert, fixed marks.
    std::string manual_config() const
    {
        std::string text = config({.output = false, .input = false, .forward = false});
        for (const auto& [from, to] : {std::pair{"autoconfigure_iptables: true", "autoconfigure_iptables: false"},
                                       {"local_delivery_mark { auto {} }", "local_delivery_mark { manual: 1 }"},
                                       {"client_packets_mark { auto {} }", "client_packets_mark { manual: 2 }"},
                                       {"server_packets_mark { auto {} }", "server_packets_mark { manual: 4 }"}})
            text.replace(text.find(from), std::string(from).size(), to);
        return text;
    }

    // Writes the configuration the marend stand-in serves next.
    void write_config(const std::string& text) const { std::ofstream(path("config.txtpb")) << text; }

    // Starts the daemon under the marend stand-in and waits for its first
    // applied revision. A launcher (a command and its arguments) runs the
    // stand-in, e.g. in a mount namespace of its own.
    void start(const std::string& config_text, std::vector<std::string> launcher = {})
    {
        write_config(config_text);
        launcher.insert(launcher.end(), {tool("marend-standin"), "--config", path("config.txtpb"), "--pellad",
                                         path("pellad.sock"), "--quisad", path("quisad.sock"), "--daemon",
                                         built("morva-firewall")});
        marend_.emplace(hosts.firewall, launcher);
        // A limit, not the expected time: a sanitizer build's first apply
        // takes seconds, and on a machine running many tests beside it a
        // minute or more.
        if (!marend_->wait_for("MY_INFO_NOTIFICATION: revision 1", std::chrono::seconds(180)))
            throw std::runtime_error("the daemon did not apply its configuration:\n" + marend_->output());
    }

    // SIGTERM through the stand-in; its exit status (0 when the daemon ended
    // with 107 as asked), or -1 when it does not end in time.
    int stop()
    {
        marend_->signal(SIGTERM);
        const auto status = marend_->wait();
        return status ? *status : -1;
    }

    // SIGTERM, and the daemon must end with 107, without a Lua panic, within
    // `limit` (a hook's run ends within its budget first), leaving nothing.
    void expect_stop_within(std::chrono::seconds limit)
    {
        const pid_t daemon = daemon_pid();
        marend_->signal(SIGTERM);
        const auto status = marend_->wait(limit);
        if (!status)
            ::kill(daemon, SIGKILL); // a daemon left running would hold its output, and this test, for good
        ASSERT_TRUE(status) << "no stop within " << limit.count() << " s\n" << daemon_output();
        EXPECT_EQ(*status, 0) << daemon_output();
        const std::string out = daemon_output();
        EXPECT_NE(out.find("daemon exited with status 107"), std::string::npos) << out;
        EXPECT_EQ(out.find("PANIC"), std::string::npos) << out;
        expect_nothing_left();
    }

    // SIGKILL to the daemon the stand-in started last, so nothing of its stop
    // runs; the stand-in ends with it.
    void kill_daemon()
    {
        const std::string out = daemon_output();
        std::string last;
        static const std::regex started("\\(pid (\\d+)\\)");
        for (auto it = std::sregex_iterator(out.begin(), out.end(), started); it != std::sregex_iterator(); ++it)
            last = (*it)[1];
        ASSERT_FALSE(last.empty()) << out;
        ::kill(std::stoi(last), SIGKILL);
        EXPECT_EQ(marend_->wait(), 128 + SIGKILL) << daemon_output();
    }

    // One connection from a host: sends `text`, half-closes, reads the answer.
    // `options` are those of demo connect (--from PORT, --fastopen, --server-closes).
    connection_t connect(const std::string& from, const std::string& address, const std::string& port,
                         const std::string& text, const std::string& seconds = "10",
                         const std::vector<std::string>& options = {}) const
    {
        auto client = start_connect(from, address, port, text, seconds, options);
        // The client's own bound, and a margin for its start and exit on a loaded machine.
        return finish_connect(*client, std::max(std::chrono::seconds(60), std::chrono::seconds(std::stoi(seconds) + 50)));
    }
    // The same in two steps, for connections at the same time.
    std::unique_ptr<ns_process_t> start_connect(const std::string& from, const std::string& address,
                                                const std::string& port, const std::string& text,
                                                const std::string& seconds = "10",
                                                const std::vector<std::string>& options = {}) const
    {
        std::vector<std::string> argv{tool("demo"), "connect", address, port, text, seconds};
        argv.insert(argv.end(), options.begin(), options.end());
        return std::make_unique<ns_process_t>(from, argv);
    }
    static connection_t finish_connect(ns_process_t& client, std::chrono::seconds wait = std::chrono::seconds(60))
    {
        connection_t c;
        const auto status = client.wait(wait);
        c.status = status ? *status : -1;
        c.output = client.output();
        std::smatch m;
        if (std::regex_search(c.output, m, std::regex("connected (\\S+) -> ")))
            c.local = m[1];
        if (std::regex_search(c.output, m, std::regex("reply: (.*)\n")))
            c.reply = m[1];
        return c;
    }

    // Everything the marend stand-in and the daemon printed so far.
    std::string daemon_output() { return marend_->output(); }
    ns_process_t& marend() { return *marend_; }
    // The daemon, the marend stand-in's child.
    pid_t daemon_pid() const { return std::stoi(sh("pgrep -P " + std::to_string(marend_->pid()))); }
    ns_process_t& pellad() { return *pellad_; }
    ns_process_t& quisad() { return *quisad_; }
    std::string servers_output() { return server_->output() + firewall_server_->output(); }

    // The daemon's state in the firewall namespace as the host tools see it.
    std::string iptables_save() const { return topology_t::sh_in(hosts.firewall, "iptables-legacy-save"); }
    std::string ip_rules() const { return topology_t::sh_in(hosts.firewall, "ip rule"); }
    // Every route of the tables 100 to 200, each line prefixed with its table.
    // The tables that hold IPv4 routes come from one listing (numbered, not
    // named): two hundred programs per check cost seconds on a loaded machine.
    std::string routes_100_to_200() const
    {
        return topology_t::sh_in(hosts.firewall,
                                 "for t in $(ip -N -4 route show table all | sed -n \"s/.* table \\([0-9][0-9]*\\).*/\\1/p\""
                                 " | sort -nu); do if [ $t -ge 100 ] && [ $t -le 200 ]; then"
                                 " ip route show table $t 2>/dev/null | sed \"s/^/table $t: /\"; fi; done");
    }

    // After the daemon's end: no sanitizer report of it or its peers, and nothing of it left in
    // the firewall namespace or in its state directory.
    // SIGHUP, so the daemon orders the configuration written last, which it
    // must refuse: it ends with 102 (not by a signal) and leaves nothing
    // behind. Returns its output.
    std::string expect_refused_revision()
    {
        marend_->signal(SIGHUP);
        const auto status = marend_->wait();
        EXPECT_EQ(status, std::optional<int>(102)) << daemon_output();
        const std::string out = daemon_output();
        EXPECT_NE(out.find("daemon exited with status 102"), std::string::npos) << out;
        expect_nothing_left();
        return out;
    }

    void expect_nothing_left()
    {
        for (auto* p : {&*marend_, &*pellad_, &*quisad_, &*server_, &*firewall_server_})
            EXPECT_EQ(p->output().find("Sanitizer"), std::string::npos) << p->output();
        EXPECT_EQ(iptables_save().find("morva-firewall"), std::string::npos) << iptables_save();
        const std::string nft = topology_t::sh_in(hosts.firewall, "nft list tables");
        EXPECT_EQ(nft.find("morva-firewall"), std::string::npos) << nft;
        EXPECT_EQ(ip_rules().find("fwmark"), std::string::npos) << ip_rules();
        EXPECT_EQ(routes_100_to_200(), "");
        EXPECT_FALSE(boost::filesystem::exists(path("rule_info.dat")));
    }

    static std::string tool(const std::string& name) { return built("tools/" + name); }
    static std::string source(const std::string& relative)
    {
        const char* dir = std::getenv("MORVA_SOURCE_DIR");
        return std::string(dir ? dir : ".") + "/" + relative;
    }

    // A file of the stack's own directory (also the daemon's var_lib_dir).
    std::string path(const std::string& name) const { return (dir_ / name).string(); }

    topology_t hosts;

private:
    // The servers and the pellad and quisad stand-ins.
    void start_peers(const std::string& quisad_table, const std::vector<std::string>& ports)
    {
        std::ofstream(path("quisad.table")) << quisad_table;
        std::vector<std::string> serve{tool("demo"), "serve", topology_t::server_address};
        serve.insert(serve.end(), ports.begin(), ports.end());
        server_.emplace(hosts.server, serve);
        serve[2] = topology_t::firewall_client_side;
        firewall_server_.emplace(hosts.firewall, serve);
        pellad_.emplace(hosts.firewall, std::vector<std::string>{tool("pellad-standin"), path("pellad.sock")});
        quisad_.emplace(hosts.firewall,
                        std::vector<std::string>{tool("quisad-standin"), path("quisad.sock"), path("quisad.table")});
        for (auto* p : {&*server_, &*firewall_server_, &*pellad_, &*quisad_})
            if (!p->wait_for("listening"))
                throw std::runtime_error("a server or stand-in did not start (status "
                                         + std::to_string(p->wait(std::chrono::milliseconds(0)).value_or(-1))
                                         + "): " + p->output());
    }

    boost::filesystem::path dir_;
    std::optional<ns_process_t> server_;
    std::optional<ns_process_t> firewall_server_;
    std::optional<ns_process_t> pellad_;
    std::optional<ns_process_t> quisad_;
    std::optional<ns_process_t> marend_;
};

} // namespace morva_test
