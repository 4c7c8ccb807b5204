// The Lua service with the real process finder: a hook on a real loopback
// connection of this process finds its pid, ids, names and executable, also
// when the connection's client address is another host's; at the open-file
// limit a hook still gets its answer.
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/filesystem/operations.hpp>

#include "common/scoped_fd.hpp"
#include "tests/fw/descriptor_limit.hpp"
#include "tests/fw/service/lua_service_fixture.hpp"

namespace {

class lua_netns_test : public morva_test::lua_service_fixture {};

TEST_F(lua_netns_test, the_context_of_a_loopback_connection_of_this_process)
{
    using boost::asio::ip::tcp;
    tcp::acceptor acceptor(io, tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0));
    tcp::socket client(io);
    client.connect(acceptor.local_endpoint());
    tcp::socket server = acceptor.accept();
    info.source = client.local_endpoint();
    info.destination = client.remote_endpoint();
    info.in_interface = 1;

    set_hook(R"(
        function intercept_hook(ctx)
            seen = { ctx.pid, ctx.uid, ctx.gid, ctx.group, ctx.iface_in }
            return "check"
        end
    )");
    lua.configure();
    const auto d = decide("netns");
    EXPECT_EQ(d.verdict, fw::lua::intercept::CHECK);
    EXPECT_EQ(d.error, "");
    EXPECT_EQ(d.artifacts.exe_path, boost::filesystem::read_symlink("/proc/self/exe").string());
    EXPECT_EQ(d.artifacts.user, std::string(::getpwuid(::geteuid())->pw_name));

    lua_State* L = lua.state();
    lua_getglobal(L, "seen");
    std::vector<std::string> seen;
    for (int i = 1; i <= 5; ++i) {
        lua_rawgeti(L, -1, i);
        seen.push_back(lua_isnil(L, -1) ? "nil" : lua_tostring(L, -1));
        lua_pop(L, 1);
    }
    lua_pop(L, 1);
    EXPECT_EQ(seen, (std::vector<std::string>{std::to_string(::getpid()), std::to_string(::geteuid()),
                                              std::to_string(::getegid()), ::getgrgid(::getegid())->gr_name,
                                              "lo"}));
}

TEST_F(lua_netns_test, a_connection_no_process_owns)
{
    info.source = {boost::asio::ip::make_address("127.0.0.1"), 1};
    info.destination = {boost::asio::ip::make_address("127.0.0.1"), 2};
    set_hook("function intercept_hook(ctx) return ctx.pid and 'pass' or 'drop' end");
    lua.configure();
    EXPECT_EQ(decide().verdict, fw::lua::intercept::DROP);
}

// A client socket of this process that sent its SYN from another host's
// address, as a transparent proxy on the firewall connecting upstream as its
// client does. Nothing answers at 127.0.0.1:9 or routes back to that
// address, so it stays in SYN_SENT while the hook runs.
struct transparent_client_t {
    transparent_client_t()
    {
        const int one = 1;
        sockaddr_in self{};
        self.sin_family = AF_INET;
        self.sin_port = htons(source.port());
        self.sin_addr.s_addr = htonl(source.address().to_v4().to_uint());
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(server.port());
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_TRUE(fd);
        EXPECT_EQ(::setsockopt(fd.get(), IPPROTO_IP, IP_TRANSPARENT, &one, sizeof one), 0);
        EXPECT_EQ(::bind(fd.get(), reinterpret_cast<const sockaddr*>(&self), sizeof self), 0);
        EXPECT_EQ(::connect(fd.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to), -1);
        EXPECT_EQ(errno, EINPROGRESS);
    }

    const boost::asio::ip::tcp::endpoint source{boost::asio::ip::make_address("10.9.9.9"), 5555};
    const boost::asio::ip::tcp::endpoint server{boost::asio::ip::make_address("127.0.0.1"), 9};
    fw::util::scoped_fd_t fd{::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0)};
};

TEST_F(lua_netns_test, a_local_client_with_another_hosts_address)
{
    transparent_client_t client;
    info.source = client.source;
    info.destination = client.server;
    set_hook(R"(
        function intercept_hook(ctx)
            seen = { ctx.pid, ctx.user, ctx.exe_path }
            return "check"
        end
    )");
    lua.configure();
    const auto d = decide("transparent");
    EXPECT_EQ(d.error, "");
    EXPECT_EQ(d.artifacts.exe_path, boost::filesystem::read_symlink("/proc/self/exe").string());
    EXPECT_EQ(d.artifacts.user, std::string(::getpwuid(::geteuid())->pw_name));
    lua_State* L = lua.state();
    lua_getglobal(L, "seen");
    lua_rawgeti(L, -1, 1);
    EXPECT_EQ(lua_tointeger(L, -1), ::getpid());
    lua_pop(L, 2);
}

// Built in a forked child, whose only thread is the one that forks.
struct child_service_t : morva_test::lua_service_fixture {
    void TestBody() override {}
};

TEST(lua_netns_limit, a_hook_at_the_open_file_limit_gets_no_process_instead_of_an_error)
{
    struct case_t {
        const char* name;
        bool transparent; // a local socket with the client's address, else none at all
    };
    for (const case_t& c : {case_t{"client of another host", false}, case_t{"transparent local client", true}}) {
        const auto result = morva_test::run_guarded_in_child([&] {
            std::optional<transparent_client_t> client;
            if (c.transparent)
                client.emplace();
            child_service_t service;
            service.info.source = {boost::asio::ip::make_address("10.9.9.9"), 5555};
            service.info.destination = {boost::asio::ip::make_address("127.0.0.1"), 9};
            service.set_hook(R"(
                function intercept_hook(ctx)
                    if ctx.pid == nil and ctx.exe_path == nil and ctx.user == nil then return "drop" end
                    return "pass"
                end
            )");
            service.lua.configure();
            if (!morva_test::exhaust_descriptors())
                ::_exit(4);
            const auto d = service.decide("limit");
            const std::string text = d.error + "|" + std::to_string(d.verdict) + "\n";
            ::write(2, text.data(), text.size());
            ::_exit(0);
        });
        EXPECT_EQ(result.status, 0) << c.name;
        // Searching /proc takes descriptors, so even the local socket's owner
        // stays unknown: "no process", not a Lua error.
        EXPECT_EQ(result.err, "|" + std::to_string(fw::lua::intercept::DROP) + "\n") << c.name;
    }
}

} // namespace
