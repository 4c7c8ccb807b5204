// The Lua service: hook chunks that load or fail to, package paths, the chunk
// run again by every configuration, sessions of the current hook, lookups
// answered by a quisad peer, pid requests through the process finder.
#include <algorithm>
#include <fstream>
#include <optional>

#include <lua.hpp>

#include "tests/fw/service/lua_service_fixture.hpp"

namespace {

using fw::lua::intercept::CHECK;
using fw::lua::intercept::DROP;
using fw::lua::intercept::PASS;
using fw::lua::intercept::REJECT;

// Every pid request fails: this "/proc/net/tcp" does not exist.
class lua_test : public morva_test::lua_service_fixture {
public:
    lua_test()
        : lua_service_fixture(std::make_unique<fw::service::process_finder_t::proc_inode_getter_t>(
              "/nonexistent/morva-proc-net-tcp"))
    {
        info.source = {boost::asio::ip::make_address("127.0.0.1"), 40000};
        info.destination = {boost::asio::ip::make_address("127.0.0.1"), 80};
    }

    void write_file(const boost::filesystem::path& path, const std::string& text)
    {
        boost::filesystem::create_directories(path.parent_path());
        std::ofstream(path.string()) << text;
    }

    std::string configure_error()
    {
        try {
            lua.configure();
        } catch (const std::runtime_error& e) {
            return e.what();
        }
        return "";
    }

    // The chunk compiled to Lua bytecode.
    std::string precompiled(const std::string& code)
    {
        lua_State* L = lua.state();
        EXPECT_EQ(luaL_loadstring(L, code.c_str()), LUA_OK);
        std::string bytes;
        lua_dump(
            L,
            [](lua_State*, const void* p, std::size_t size, void* out) {
                static_cast<std::string*>(out)->append(static_cast<const char*>(p), size);
                return 0;
            },
            &bytes, 0);
        lua_pop(L, 1);
        return bytes;
    }

    std::string global_string(const char* table, const char* field)
    {
        lua_State* L = lua.state();
        lua_getglobal(L, table);
        lua_getfield(L, -1, field);
        std::string text = lua_tostring(L, -1);
        lua_pop(L, 2);
        return text;
    }
};

TEST_F(lua_test, chunks_that_do_not_give_a_hook)
{
    const std::string missing = (dir / "missing.lua").string();
    const std::string broken = (dir / "broken.lua").string();
    const std::string binary_file = (dir / "binary.luac").string();
    write_file(broken, "function intercept_hook(\n");
    // A precompiled chunk: Lua does not verify bytecode, so hooks are text only.
    const std::string binary = precompiled("function intercept_hook(ctx) return 'pass' end");
    write_file(binary_file, binary);
    struct case_t {
        const char* buffer; // null: file, or no chunk when `file` is null too
        const std::string* file;
        std::string error;
    } const cases[] = {
        {nullptr, nullptr, "Cannot load intercept hook: No chunk set"},
        {"function intercept_hook(", nullptr,
         "Cannot load intercept hook: Cannot load chunk: [string \"function intercept_hook(\"]:1: <name> or "
         "'...' expected near <eof>"},
        {nullptr, &missing,
         "Cannot load intercept hook: Cannot load file " + missing + ": cannot open " + missing +
             ": No such file or directory"},
        {nullptr, &broken,
         "Cannot load intercept hook: Cannot load file " + broken + ": " + broken + ":2: <name> or '...' expected near <eof>"},
        {"error('not today')", nullptr,
         "Cannot load intercept hook: Cannot execute chunk: [string \"error('not today')\"]:1: not today"},
        {binary.c_str(), nullptr, "Cannot load intercept hook: Cannot load chunk: attempt to load a binary chunk (mode is 't')"},
        {nullptr, &binary_file,
         "Cannot load intercept hook: Cannot load file " + binary_file + ": attempt to load a binary chunk (mode is 't')"},
        // Errors that cannot be described: "__tostring" fails; described in a protected call all the same.
        {"error(setmetatable({}, { __tostring = function() error({}) end }))", nullptr,
         "Cannot load intercept hook: Cannot execute chunk: Unexpected error"},
        {"error(setmetatable({}, { __tostring = function() return {} end }))", nullptr,
         "Cannot load intercept hook: Cannot execute chunk: '__tostring' must return a string"},
        {"while true do end", nullptr,
         "Cannot load intercept hook: Cannot execute chunk: [string \"while true do end\"]:1: instruction budget of "
         "20000000 exceeded without a wait"},
        {"intercept_hook = {}", nullptr, "Cannot load intercept hook: Cannot find function intercept_hook"},
        {"", nullptr, "Cannot load intercept hook: Cannot find function intercept_hook"},
    };
    for (const auto& c : cases) {
        config.clear_intercept_hook();
        if (c.buffer == binary.c_str())
            set_hook(binary); // holds zero bytes
        else if (c.buffer != nullptr)
            set_hook(c.buffer);
        else if (c.file != nullptr)
            config.mutable_intercept_hook()->set_file(*c.file);
        EXPECT_EQ(configure_error(), c.error);
        EXPECT_EQ(lua_gettop(lua.state()), 0);
    }
    // No hook yet: a session fails and is checked.
    const auto d = decide();
    EXPECT_EQ(d.verdict, CHECK);
    EXPECT_FALSE(d.error.empty());
}

TEST_F(lua_test, every_configuration_runs_the_chunk_again)
{
    // The hook keeps the run it was defined in.
    set_hook(R"(
        runs = (runs or 0) + 1
        local mine = runs
        function intercept_hook(ctx)
            require("morva").sleep(0)
            return mine == 1 and "pass" or "drop"
        end
    )");
    lua.configure();
    auto before = lua.create_driver(info, "early");
    std::optional<fw::lua::intercept::verdict_t> early;
    before->set_completion_handler(
        [&](std::exception_ptr, fw::lua::intercept::verdict_t verdict, const fw::lua::intercept::artifacts_t&) {
            early = verdict;
        });
    lua.configure();
    EXPECT_EQ(decide().verdict, DROP);
    EXPECT_EQ(early, PASS); // went on with the hook it was given
    lua_getglobal(lua.state(), "runs");
    EXPECT_EQ(lua_tointeger(lua.state(), -1), 2);
    lua_pop(lua.state(), 1);

    // A failed configuration keeps the last hook.
    set_hook("function intercept_hook(");
    EXPECT_NE(configure_error(), "");
    EXPECT_EQ(decide().verdict, DROP);

    // So does a chunk whose hook is gone, though the chunk ran.
    set_hook("intercept_hook = nil");
    EXPECT_NE(configure_error(), "");
    EXPECT_EQ(decide().verdict, DROP);

    // A chunk that no longer defines the hook (a misspelt name) is refused
    // like a first one, though the previous chunk left its global behind.
    set_hook("function intercep_hook(ctx) return 'pass' end");
    EXPECT_EQ(configure_error(), "Cannot load intercept hook: Cannot find function intercept_hook");
    EXPECT_EQ(decide().verdict, DROP);
}

TEST_F(lua_test, package_paths_follow_the_configuration)
{
    write_file(dir / "one" / "verdicts.lua", "return { choice = 'reject' }");
    write_file(dir / "two" / "verdicts.lua", "return { choice = 'pass' }");
    set_hook(R"(
        function intercept_hook(ctx)
            package.loaded.verdicts = nil
            return require("verdicts").choice
        end
    )");
    config.set_lua_package_path((dir / "one" / "?.lua").string());
    lua.configure();
    EXPECT_EQ(global_string("package", "path"), (dir / "one" / "?.lua").string());
    EXPECT_EQ(global_string("package", "cpath"), "");
    EXPECT_EQ(decide().verdict, REJECT);

    config.set_lua_package_path((dir / "two" / "?.lua").string());
    config.set_lua_package_c_path((dir / "two" / "?.so").string());
    lua.configure();
    EXPECT_EQ(global_string("package", "cpath"), (dir / "two" / "?.so").string());
    EXPECT_EQ(decide().verdict, PASS);

    // A script may break `package`; the next configuration says so.
    set_hook("package = 5 function intercept_hook() return 'pass' end");
    lua.configure();
    EXPECT_EQ(configure_error(), "Global variable 'package' is not a table but number");
}

TEST_F(lua_test, chunks_have_the_standard_libraries_and_the_modules)
{
    set_hook(R"(
        assert(io and os and utf8 and debug and string and table and math and coroutine)
        local morva, lookup, make = require("morva"), require("morva.lookup"), require("coroutine.make")
        assert(morva.sleep and lookup.lookup and make)
        assert(rawget(_G, "morva") == nil, "modules are no globals")
        function intercept_hook(ctx) return string.upper("pass") end
    )");
    EXPECT_EQ(configure_error(), "");
    EXPECT_EQ(decide().verdict, PASS);
}

TEST_F(lua_test, a_hook_from_a_file)
{
    const auto path = dir / "hook.lua";
    write_file(path, "function intercept_hook(ctx) return ctx.divert == 'output' and 'reject' or 'pass' end");
    config.mutable_intercept_hook()->set_file(path.string());
    lua.configure();
    EXPECT_EQ(decide().verdict, REJECT);
}

TEST_F(lua_test, lookups_and_checks_reach_quisad)
{
    set_hook(R"(
        local lookup = require("morva.lookup")
        function intercept_hook(ctx)
            local values = lookup.lookup("cidr@drop")
            if lookup.check("nets", "cidr@nets") and not lookup.check("x", "regex@y") then
                return values[1]
            end
            return "pass"
        end
    )");
    lua.configure();
    EXPECT_EQ(decide().verdict, DROP);
    ASSERT_NE(answerer, nullptr);
    ASSERT_EQ(answerer->requests.size(), 3u);
    EXPECT_EQ(answerer->requests[0].tag(), qd::ClientMessage::LOOKUP_REQUEST);
    EXPECT_EQ(answerer->requests[0].lookup_type(), qd::LOOKUP_CIDR);
    EXPECT_EQ(answerer->requests[2].lookup_type(), qd::LOOKUP_REGEX);
    EXPECT_EQ(answerer->requests[2].check(), "x");
}

TEST_F(lua_test, a_failed_pid_request_reads_nil)
{
    set_hook("function intercept_hook(ctx) return ctx.pid == nil and 'drop' or 'pass' end");
    lua.configure();
    const auto d = decide("9");
    EXPECT_EQ(d.verdict, DROP);
    EXPECT_EQ(d.error, "");
    bool logged = false;
    for (const auto& line : lines)
        logged = logged || line.rfind("1 Session 9: Cannot get pid: ", 0) == 0;
    EXPECT_TRUE(logged);
}

TEST_F(lua_test, a_check_for_a_client_of_another_host_reads_nothing_of_processes)
{
    // As for a forwarded connection: the client address is on no interface here.
    info.source = {boost::asio::ip::make_address("192.0.2.9"), 40000};
    set_hook("function intercept_hook(ctx) return 'check' end");
    lua.configure();
    const auto d = decide("7");
    EXPECT_EQ(d.verdict, CHECK);
    EXPECT_EQ(d.artifacts.exe_path, std::nullopt);
    EXPECT_EQ(d.artifacts.user, std::nullopt);
    // The failed lookup of a client that is not found, but without opening the
    // table: the missing file would have failed it with "Cannot open file".
    EXPECT_NE(std::find(lines.begin(), lines.end(), "1 Session 7: Cannot get pid: Cannot find inode in /proc/net/tcp"),
              lines.end())
        << testing::PrintToString(lines);
}

} // namespace
