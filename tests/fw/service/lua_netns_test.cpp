// The Lua service with the real process finder: a hook on a real loopback
// connection of this process finds its pid, ids, names and executable.
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/filesystem/operations.hpp>

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

} // namespace
