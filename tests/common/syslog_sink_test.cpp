// The syslog sink against a datagram socket at /dev/log. There is no syslog
// daemon here: the program moves into a mount namespace of its own and mounts
// a fresh /dev, so the machine's /dev is never touched.
#include <cerrno>
#include <regex>

#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "common/log_sinks.hpp"
#include "log.pb.h"

namespace {

class SyslogSink : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (::unshare(CLONE_NEWNS) != 0) {
            skip_reason = std::string("no mount namespace: ") + std::strerror(errno);
            return;
        }
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0
            || ::mount("morva-test", "/dev", "tmpfs", 0, "mode=0755") != 0) {
            skip_reason = std::string("cannot mount /dev: ") + std::strerror(errno);
            return;
        }
        server = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, "/dev/log");
        ASSERT_EQ(::bind(server, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        timeval timeout{2, 0};
        ::setsockopt(server, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    }

    void SetUp() override
    {
        if (!skip_reason.empty())
            GTEST_SKIP() << skip_reason;
    }

    // The next datagram, as "<priority> tag: text" without the time stamp.
    static std::string next()
    {
        char buffer[2048];
        ssize_t n = ::recv(server, buffer, sizeof buffer, 0);
        if (n <= 0)
            return "nothing received";
        std::string datagram(buffer, static_cast<std::size_t>(n));
        std::smatch m;
        static const std::regex form(R"(<(\d+)>\w{3} [ \d]\d \d\d:\d\d:\d\d (.*)\[(\d+)\]: (.*))");
        if (!std::regex_match(datagram, m, form))
            return "unexpected form: " + datagram;
        if (m[3] != std::to_string(::getpid()))
            return "wrong pid: " + datagram;
        return "<" + m[1].str() + "> " + m[2].str() + ": " + m[4].str();
    }

    static std::shared_ptr<cf_log_t> sink(int facility, const char* ident)
    {
        kv::Log cfg;
        cfg.set_type(kv::Log::SYSLOG);
        if (facility)
            cfg.set_facility(static_cast<kv::Log::LogFacility>(facility));
        if (ident)
            cfg.set_ident(ident);
        return make_log(cfg, nullptr, nullptr);
    }

    static inline int server = -1;
    static inline std::string skip_reason;
};

TEST_F(SyslogSink, PriorityFacilityAndIdentity)
{
    const std::string program = program_invocation_short_name;
    const struct {
        int facility; // kv.Log.LogFacility, 0 for absent
        const char* ident;
        int level;
        std::string expected;
    } cases[] = {
        {0, "morva-firewall", 2, "<29> morva-firewall: text"},
        {kv::Log::LOCAL3, "fw", 0, "<159> fw: text"},
        {kv::Log::USER, "fw", 4, "<11> fw: text"},
        {kv::Log::MAIL, "fw", 1, "<22> fw: text"},
        {kv::Log::DAEMON, "fw", 3, "<28> fw: text"},
        {kv::Log::DAEMON, "fw", 9, "<27> fw: text"},
        {kv::Log::DAEMON, "fw", -1, "<27> fw: text"},
        // Present but empty: no identity of our own, syslog takes the program's name.
        {kv::Log::DAEMON, "", 2, "<29> " + program + ": text"},
        {kv::Log::DAEMON, nullptr, 2, "<29> " + program + ": text"},
    };
    for (const auto& c : cases) {
        auto log = sink(c.facility, c.ident);
        log->open();
        log->write(c.level, "text");
        EXPECT_EQ(next(), c.expected) << c.facility << " " << (c.ident ? c.ident : "(none)") << " " << c.level;
    }
}

TEST_F(SyslogSink, TaggedAndOutOfMemoryLines)
{
    auto log = sink(kv::Log::LOCAL0, "fw");
    log->open();
    log->write_tagged("Session", 4, "tagged");
    EXPECT_EQ(next(), "<131> fw: Session-4: tagged");
    log->out_of_memory();
    EXPECT_EQ(next(), "<131> fw: Error: Not enough memory");
}

// Replacing a syslog log must not close the connection its successor opened.
TEST_F(SyslogSink, ReplacedSinkLeavesTheNewOneOpen)
{
    cf_log_install(sink(kv::Log::DAEMON, "first"));
    cf_log(2, "one");
    EXPECT_EQ(next(), "<29> first: one");
    cf_log_install(sink(kv::Log::LOCAL1, "second"));
    cf_log(2, "two");
    EXPECT_EQ(next(), "<141> second: two");

    // A writer still holding the old object lets it go after the new one opened.
    auto held = sink(kv::Log::DAEMON, "held");
    cf_log_install(held);
    cf_log_install(sink(kv::Log::LOCAL2, "third"));
    held.reset();
    cf_log(2, "three");
    EXPECT_EQ(next(), "<149> third: three");
}

} // namespace
