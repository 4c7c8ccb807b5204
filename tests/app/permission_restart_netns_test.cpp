// A permission failure leaving the event loop: a daemon that does not run as
// root expects marend to restart it with the privileges it lacked and ends
// with 0; a root daemon ends with the failure's status like any other.
#include "tests/app/marend_harness.hpp"

#include <sys/stat.h>

#include <boost/filesystem.hpp>

#include "linux_firewall_config.pb.h"
#include "tests/support/netns.hpp"

namespace {

using morva_test::daemon_launch_t;
using morva_test::daemon_t;
using morva_test::sh;
using namespace std::chrono_literals;

constexpr uid_t nobody = 65534;

// Installs iptables rules and routing, so that stopping shows in the kernel.
kv::LinuxFirewallConfig installing_config(const std::string& dir)
{
    kv::LinuxFirewallConfig c;
    c.set_log_level(kv::LOG_LEVEL_DEBUG);
    c.mutable_actual_log()->set_type(kv::Log::STDERR);
    c.set_autoconfigure_iptables(true);
    c.set_autoconfigure_routing(true);
    c.mutable_local_delivery_mark()->set_manual(0x10);
    c.mutable_client_packets_mark()->set_manual(0x20);
    c.mutable_server_packets_mark()->set_manual(0x40);
    c.set_var_lib_dir(dir);
    c.set_xtables_lock_path(dir + "/xtables.lock");
    c.mutable_tproxy_listen_address()->set_address("127.0.0.1");
    c.mutable_tproxy_listen_address()->set_port(0);
    c.mutable_intercept_hook()->set_buffer("function intercept_hook(ctx) return 'check' end");
    return c;
}

// A listening pellad socket in a directory nobody may search, root without
// CAP_DAC_OVERRIDE included; removed with its directory afterwards.
class locked_pellad_t {
public:
    locked_pellad_t()
        : dir_("/tmp/morva-test-locked-" + std::to_string(::getpid()) + "-" + std::to_string(++count_)),
          path_(dir_ + "/pellad")
    {
        if (::mkdir(dir_.c_str(), 0700) != 0)
            throw std::runtime_error("cannot create " + dir_);
        fd_ = morva_test::listen_unix(path_);
        ::chmod(dir_.c_str(), 0);
    }
    ~locked_pellad_t()
    {
        ::close(fd_);
        ::unlink(path_.c_str());
        ::rmdir(dir_.c_str());
    }
    const std::string& path() const { return path_; }

private:
    static inline int count_ = 0;
    std::string dir_;
    std::string path_;
    int fd_ = -1;
};

// The daemon's own files, writable by it whoever it runs as.
struct scratch_dir_t {
    explicit scratch_dir_t(uid_t owner)
        : path(boost::filesystem::temp_directory_path() / boost::filesystem::unique_path("morva-test-%%%%%%%%"))
    {
        boost::filesystem::create_directory(path);
        if (::chown(path.c_str(), owner, owner) != 0)
            throw std::runtime_error("cannot hand over " + path.string());
    }
    ~scratch_dir_t() { boost::filesystem::remove_all(path); }

    boost::filesystem::path path;
};

// What the daemon leaves in the kernel: its tables, chains and routing rules.
std::string kernel_state()
{
    // Listing nat and mangle first creates them, as any use of them does; their
    // empty built-in chains then show before and after alike.
    return sh("iptables-legacy -t nat -S >/dev/null; iptables-legacy -t mangle -S >/dev/null; "
              "nft list ruleset; iptables-legacy-save | grep -v '^#'; ip rule; ip route show table all");
}

TEST(permission_failure, ends_by_uid_after_the_configuration_was_applied)
{
    // The capabilities the services need to build themselves; connecting to
    // pellad needs none, so only the directory refuses it.
    const std::vector<int> capabilities = {CAP_NET_ADMIN, CAP_NET_RAW};
    struct case_t {
        const char* name;
        uid_t uid;
        // The level of the failure's own line, and the one of its other form.
        const char* level;
        const char* other_level;
        bool restart_notice;
        int status;
        const char* exit_text;
    };
    const case_t cases[] = {
        {"not root", nobody, "Debug", "Error", true, 0, "Success"},
        {"root lacking CAP_DAC_OVERRIDE", 0, "Error", "Debug", false, 24, "Permission denied"},
    };
    const std::string before = kernel_state();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        locked_pellad_t pellad;
        scratch_dir_t dir(c.uid);
        daemon_t d({}, daemon_launch_t{c.uid, capabilities});
        d.expect_config_request();
        d.send_config(3, installing_config(dir.path.string()));
        // Applying asks for pellad's path and reports the revision; the
        // answer, and with it the failing connection, waits until the
        // installed state was seen.
        auto request = d.receive_any(10s);
        ASSERT_TRUE(request) << d.err();
        EXPECT_EQ(request->ShortDebugString(), "tag: GET_PELLAD_REQUEST");
        auto notification = d.receive_any(10s);
        ASSERT_TRUE(notification) << d.err();
        EXPECT_EQ(notification->ShortDebugString(),
                  "tag: MY_INFO_NOTIFICATION config_revision: 3 info { pellad_state: EC_OK }");
        const std::string installed = kernel_state();
        kv::Marend2FirewallMessage answer;
        answer.set_tag(kv::Marend2FirewallMessage::GET_PELLAD_RESPONSE);
        answer.set_socket_path(pellad.path());
        d.send(answer);
        EXPECT_EQ(d.wait(), c.status);

        const std::string failure = "Pellad tie manager: cannot connect to " + pellad.path() + ": Permission denied";
        std::vector<std::string> lines = {"Notice: LinuxFirewall " MORVA_VERSION ": Ready for service",
                                          std::string(c.level) + ": " + failure};
        if (c.restart_notice)
            lines.push_back("Notice: Will restart for config changes to take effect");
        lines.push_back("Notice: Exit with status " + std::to_string(c.status) + " (" + c.exit_text + ")");
        const std::string err = "\n" + d.err();
        std::size_t at = 0;
        for (const auto& line : lines) {
            at = err.find("\n" + line + "\n", at);
            ASSERT_NE(at, std::string::npos) << "missing in order: " << line << "\n" << err;
        }
        EXPECT_EQ(err.find(std::string(c.other_level) + ": " + failure), std::string::npos) << err;
        if (!c.restart_notice) {
            EXPECT_EQ(err.find("Will restart"), std::string::npos) << err;
        }
        // Stopping destroyed the services, and with them what they installed.
        EXPECT_NE(installed, before) << "nothing installed: the check below proves nothing";
        EXPECT_EQ(kernel_state(), before);
        EXPECT_FALSE(d.receive(100ms)) << "the link to marend is closed";
    }
}

} // namespace
