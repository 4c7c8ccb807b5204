// The Lua service: hook chunks that load or fail to, package paths, the chunk
// run again by every configuration, sessions of the current hook, lookups
// answered by a quisad peer, pid requests through the process finder.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <regex>

#include <sys/inotify.h>
#include <unistd.h>

#include <lua.hpp>

#include "lua/memory_limit.hpp"
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

    // The output of luac5.3 (stripped of debug information or not) for code.
    std::string luac(const std::string& code, bool strip)
    {
        const auto source = dir / "luac-in.lua";
        const auto output = dir / "luac-out.luac";
        write_file(source, code);
        const std::string command = std::string("luac5.3 ") + (strip ? "-s " : "") + "-o '" + output.string() + "' '"
                                    + source.string() + "'";
        EXPECT_EQ(std::system(command.c_str()), 0) << command << " (tools/setup installs luac5.3)";
        std::ifstream in(output.string(), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
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
    write_file(broken, "function intercept_hook(\n");
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
        if (c.buffer != nullptr)
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

TEST_F(lua_test, precompiled_chunks_load_and_broken_ones_are_refused)
{
    const std::string code = "function intercept_hook(ctx) return ctx.divert == 'output' and 'reject' or 'pass' end";
    const std::string full = luac(code, false);
    const std::string stripped = luac(code, true);
    ASSERT_GT(stripped.size(), 60u);
    // Byte i (from 0) of the stripped chunk changed to v.
    auto changed = [&](std::size_t i, char v) {
        std::string bytes = stripped;
        bytes[i] = v;
        return bytes;
    };
    // A 4-byte count of the stripped main function set to 2^31-1 (little endian).
    auto huge_count = [&](std::size_t at) {
        std::string bytes = stripped;
        bytes.replace(at, 4, std::string("\xff\xff\xff\x7f", 4));
        return bytes;
    };
    // After the 33-byte header: upvalue count (1), source (1 when stripped),
    // two line numbers (4 each), three bytes, then the code's count and code.
    constexpr std::size_t sizecode_at = 46;
    std::uint32_t sizecode = 0;
    std::memcpy(&sizecode, stripped.data() + sizecode_at, 4);
    const std::size_t sizek_at = sizecode_at + 4 + 4 * std::size_t(sizecode);
    ASSERT_LT(sizek_at + 4, stripped.size());
    std::string renamed = stripped; // a constant string of the body altered
    renamed.replace(renamed.find("reject"), 6, "rejext");

    const std::string prefix = "Cannot load intercept hook: Cannot load chunk: binary string: ";
    const std::string corrupt = "Cannot load intercept hook: Cannot load chunk: corrupt precompiled chunk: ";
    struct case_t {
        const char* name;
        std::string chunk;
        std::string error; // empty: loads, and the hook decides `verdict`
        fw::lua::intercept::verdict_t verdict = REJECT;
        std::string session_error = "";
    } const cases[] = {
        {"source", code, ""},
        {"precompiled", full, ""},
        {"precompiled, stripped", stripped, ""},
        {"truncated to its first byte", stripped.substr(0, 1), prefix + "truncated precompiled chunk"},
        {"truncated in the signature", stripped.substr(0, 4), prefix + "truncated precompiled chunk"},
        {"truncated in the header", stripped.substr(0, 20), prefix + "truncated precompiled chunk"},
        // Past the header the check finds the end missing, before Lua's load
        // could act on what precedes it.
        {"truncated after the header", stripped.substr(0, 34), corrupt + "truncated"},
        {"truncated in the code", stripped.substr(0, sizecode_at + 6), corrupt + "truncated"},
        {"truncated by half", full.substr(0, full.size() / 2), corrupt + "truncated"},
        {"its last byte missing", stripped.substr(0, stripped.size() - 1), corrupt + "truncated"},
        {"signature", changed(2, 'x'), prefix + "not a precompiled chunk"},
        {"version", changed(4, 0x52), prefix + "version mismatch in precompiled chunk"},
        {"format", changed(5, 1), prefix + "format mismatch in precompiled chunk"},
        {"conversion check bytes", changed(8, '\n'), prefix + "corrupted precompiled chunk"},
        {"size of int", changed(12, 8), prefix + "int size mismatch in precompiled chunk"},
        {"size of size_t", changed(13, 4), prefix + "size_t size mismatch in precompiled chunk"},
        {"integer check", changed(17, 0x12), prefix + "endianness mismatch in precompiled chunk"},
        {"float check", changed(30, 0x12), prefix + "float format mismatch in precompiled chunk"},
        // Counts that announce more than the chunk holds.
        {"code count", huge_count(sizecode_at), corrupt + "truncated"},
        {"constant count", huge_count(sizek_at), corrupt + "truncated"},
        // Operands out of their function, which Lua's virtual machine would follow.
        {"parameters", changed(sizecode_at - 3, char(200)), corrupt + "more parameters than registers"},
        {"registers", changed(sizecode_at - 1, 0), corrupt + "register out of the frame"},
        {"trailing bytes", stripped + "x", corrupt + "bytes after its end"},
        {"altered constant", renamed, "", CHECK, "incorrect return value: rejext"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (const bool from_file : {false, true}) {
            SCOPED_TRACE(from_file ? "file" : "buffer");
            config.clear_intercept_hook();
            const std::string file = (dir / "hook.luac").string();
            if (from_file) {
                write_file(file, c.chunk);
                config.mutable_intercept_hook()->set_file(file);
            } else
                set_hook(c.chunk);
            std::string expected = c.error;
            if (from_file && !expected.empty())
                expected = "Cannot load intercept hook: Cannot load file " + file + ": "
                           + std::regex_replace(expected.substr(expected.find("Cannot load chunk: ") + 19),
                                                std::regex("^binary string"), file);
            EXPECT_EQ(configure_error(), expected);
            EXPECT_EQ(lua_gettop(lua.state()), 0);
            if (!c.error.empty())
                continue;
            const auto d = decide();
            EXPECT_EQ(d.verdict, c.verdict);
            EXPECT_EQ(d.error, c.session_error);
        }
    }
}

// The hook file is read once, so the bytes checked are the bytes loaded: it is
// opened once per configuration.
TEST_F(lua_test, the_hook_file_is_opened_once)
{
    const std::string file = (dir / "hook.luac").string();
    write_file(file, luac("function intercept_hook(ctx) return 'drop' end", true));
    const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(::inotify_add_watch(watch, file.c_str(), IN_OPEN), 0);
    config.mutable_intercept_hook()->set_file(file);
    EXPECT_EQ(configure_error(), "");
    int opens = 0;
    alignas(inotify_event) char events[4096];
    for (ssize_t n; (n = ::read(watch, events, sizeof events)) > 0;) {
        for (char* p = events; p < events + n; p += sizeof(inotify_event) + reinterpret_cast<inotify_event*>(p)->len)
            opens += (reinterpret_cast<inotify_event*>(p)->mask & IN_OPEN) != 0;
    }
    ::close(watch);
    EXPECT_EQ(opens, 1);
    EXPECT_EQ(decide().verdict, DROP);
}

TEST_F(lua_test, hooks_that_backtrack_or_allocate_without_bound_fail_and_the_next_connection_is_decided)
{
    set_hook(R"(
        local by_port = {
            [81] = function() return string.rep("a", 30000):find(".-.-.-.-.-.-b") end,
            [82] = function(ctx) return ("a"):rep(30000):gsub(".-.-.-.-.-.-b", "") end,
            [83] = function() return string.rep("x", 2^31 - 1) end,
            [84] = function() local t = {} while true do t[#t + 1] = ("x"):rep(4096) .. #t end end,
        }
        function intercept_hook(ctx)
            local run = by_port[math.tointeger(ctx.dst.port)]
            if run then run(ctx) end
            return "pass"
        end
    )");
    lua.configure();
    lua_State* L = lua.state();
    lua_gc(L, LUA_GCCOLLECT, 0);
    const std::size_t start = kv::lua::memory_in_use(L);
    const std::string budget = "instruction budget of 20000000 exceeded without a wait";
    const struct {
        unsigned short port;
        std::string error;
    } cases[] = {
        {81, "]:3: " + budget}, {82, "]:4: " + budget}, {83, "not enough memory"}, {84, "not enough memory"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.port);
        info.destination.port(c.port);
        const auto failed = decide("f");
        EXPECT_EQ(failed.verdict, CHECK);
        EXPECT_NE(failed.error.find(c.error), std::string::npos) << failed.error;
        info.destination.port(80);
        const auto next = decide("n");
        EXPECT_EQ(next.verdict, PASS);
        EXPECT_EQ(next.error, "");
        lua_gc(L, LUA_GCCOLLECT, 0);
        EXPECT_LT(kv::lua::memory_in_use(L), start + (1u << 20));
    }
}

} // namespace
