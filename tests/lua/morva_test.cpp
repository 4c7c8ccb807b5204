// The module "morva": loading, logging, list files and endpoints.
#include <fstream>
#include <set>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "lua/instruction_budget.hpp"
#include "tests/lua/lua_fixture.hpp"

namespace {

using morva_test::lua_fixture;

class morva_test_t : public lua_fixture {
public:
    morva_test_t() { EXPECT_EQ(run_plain("morva = require('morva')"), ""); }

    void write_file(const std::string& name, const std::string& bytes)
    {
        std::ofstream out((dir / name).string(), std::ios::binary);
        out << bytes;
    }

    std::string path(const std::string& name) { return (dir / name).string(); }

    // Lua expression that quotes a text.
    static std::string quoted(const std::string& text)
    {
        std::string out = "'";
        for (char c : text) {
            if (c == '\'' || c == '\\')
                out += '\\';
            out += c;
        }
        return out + "'";
    }
};

TEST_F(morva_test_t, modules_are_required_never_global_and_read_only)
{
    EXPECT_EQ(run_plain(R"(
        assert(rawget(_G, "morva") == morva) -- only the test's own global
        assert(rawget(_G, "morva.lookup") == nil and coroutine.make == nil)
        assert(require("morva") == morva, "one proxy for every require")
        assert(require("morva.lookup") == require("morva.lookup"))
        assert(type(require("coroutine.make")) == "function")
        assert(getmetatable(morva) == true)
        local names = {}
        for name in pairs(morva) do names[#names + 1] = name end
        table.sort(names)
        assert(table.concat(names, " ") ==
            "async debug error info ip load_array load_set log notice sleep warning", table.concat(names, " "))
        local lookup = require("morva.lookup")
        assert(type(lookup.lookup) == "function" and type(lookup.check) == "function")
    )"), "");
    for (const char* write : {"morva.log = print", "morva.extra = 1", "require('morva.lookup').check = nil"})
        EXPECT_EQ(run_plain(write), "test:1: Table modification is not allowed") << write;
}

TEST_F(morva_test_t, log_lines)
{
    struct case_t {
        const char* call;
        int level; // -1: nothing logged
        const char* line;
        const char* error; // "" when the call succeeds
    } const cases[] = {
        {"morva.log('WARNING', 'x')", 3, "Lua: x", ""},
        {"morva.log('debug', 1.5)", 0, "Lua: 1.5", ""},
        {"morva.log('Notice', true)", 2, "Lua: true", ""},
        {"morva.log('warn', 'x')", -1, "", "test:1: bad argument #1 to 'log' (unknown log level 'warn')"},
        {"morva.log(3, 'x')", -1, "", "test:1: bad argument #1 to 'log' (unknown log level '3')"},
        {"morva.log({}, 'x')", -1, "", "test:1: bad argument #1 to 'log' (string expected, got table)"},
        {"morva.log('info')", -1, "", "test:1: bad argument #2 to 'log' (value expected)"},
        {"morva.log('info', nil)", 1, "Lua: nil", ""},
        {"morva.debug('d')", 0, "Lua: d", ""},
        {"morva.info(nil)", 1, "Lua: nil", ""},
        {"morva.notice(7, 'ignored')", 2, "Lua: 7", ""},
        {"morva.warning(morva.ip('10.0.0.1'))", 3, "Lua: 10.0.0.1", ""},
        {"morva.error(setmetatable({}, { __tostring = function() return 'shown' end }))", 4, "Lua: shown", ""},
        {"morva.info()", -1, "", "test:1: bad argument #1 to 'info' (value expected)"},
        {"morva.error(setmetatable({}, { __tostring = function() error('no text', 0) end }))", -1, "", "no text"},
    };
    for (const auto& c : cases) {
        lines.clear();
        EXPECT_EQ(run_plain(c.call), c.error) << c.call;
        if (c.level < 0) {
            EXPECT_TRUE(lines.empty()) << c.call;
        } else {
            ASSERT_EQ(lines.size(), 1u) << c.call;
            EXPECT_EQ(lines[0], std::make_pair(c.level, std::string(c.line))) << c.call;
        }
    }
}

TEST_F(morva_test_t, log_threshold_of_the_hook)
{
    kv::util::set_log_level(2);
    EXPECT_EQ(run_plain("morva.info('hidden') morva.log('debug', 'hidden') morva.notice('shown') morva.error('too')"),
              "");
    EXPECT_EQ(lines, (std::vector<std::pair<int, std::string>>{{2, "Lua: shown"}, {4, "Lua: too"}}));
}

TEST_F(morva_test_t, failing_log_handler_becomes_a_lua_error)
{
    kv::util::set_logger([](kv::util::log_level_t, const std::string&) { throw std::runtime_error("sink broken"); });
    EXPECT_EQ(run_plain("morva.info('x')"), "test:1: sink broken");
}

TEST_F(morva_test_t, list_files)
{
    struct case_t {
        const char* name;
        std::string bytes;
        std::vector<std::string> array; // in file order, duplicates kept
    } const cases[] = {
        {"mixed", "a\n\n  \nb\r\na", {"a", "b\r", "a"}},
        {"final_newline", "one\ntwo\n", {"one", "two"}},
        {"empty", "", {}},
        {"blank_only", " \t\n\n\v\n", {}},
        {"blanks_kept", "  x \n", {"  x "}},
        {"long", std::string(8190, 'p') + "\n" + std::string(20000, 'q') + "\nend", {std::string(8190, 'p'), std::string(20000, 'q'), "end"}},
    };
    for (const auto& c : cases) {
        write_file(c.name, c.bytes);
        lua_pushcfunction(L, kv::lua::morva::load_array);
        lua_pushstring(L, path(c.name).c_str());
        ASSERT_EQ(lua_pcall(L, 1, 1, 0), LUA_OK) << lua_tostring(L, -1);
        std::vector<std::string> array;
        for (lua_Integer i = 1; lua_rawgeti(L, -1, i) != LUA_TNIL; ++i) {
            array.push_back(kv::lua::to_string(L, -1));
            lua_pop(L, 1);
        }
        lua_pop(L, 1);
        EXPECT_EQ(luaL_len(L, -1), static_cast<lua_Integer>(c.array.size())) << c.name;
        lua_pop(L, 1);
        EXPECT_EQ(array, c.array) << c.name;

        lua_pushcfunction(L, kv::lua::morva::load_set);
        lua_pushstring(L, path(c.name).c_str());
        ASSERT_EQ(lua_pcall(L, 1, 1, 0), LUA_OK) << lua_tostring(L, -1);
        std::set<std::string> keys;
        lua_pushnil(L);
        while (lua_next(L, -2) != 0) {
            EXPECT_EQ(lua_type(L, -1), LUA_TBOOLEAN);
            EXPECT_TRUE(lua_toboolean(L, -1));
            keys.insert(kv::lua::to_string(L, -2));
            lua_pop(L, 1);
        }
        lua_pop(L, 1);
        EXPECT_EQ(keys, std::set<std::string>(c.array.begin(), c.array.end())) << c.name;
    }
}

TEST_F(morva_test_t, list_file_failures)
{
    const std::string missing = path("missing");
    EXPECT_EQ(run_plain("morva.load_set(" + quoted(missing) + ")"),
              "test:1: Cannot open " + missing + ": No such file or directory");
    EXPECT_EQ(run_plain("morva.load_array(" + quoted(missing) + ")"),
              "test:1: Cannot open " + missing + ": No such file or directory");
    EXPECT_EQ(run_plain("morva.load_array(" + quoted(dir.string()) + ")"),
              "test:1: Cannot read " + dir.string() + ": Is a directory");
    EXPECT_EQ(run_plain("morva.load_set()"), "test:1: bad argument #1 to 'load_set' (string expected, got no value)");
    // The whole path is opened or nothing: a zero byte would cut it short.
    write_file("short", "x\n");
    // (what() ends the text at the zero byte.)
    EXPECT_EQ(run_plain("morva.load_set(" + quoted(path("short")) + " .. '\\0tail')"),
              "test:1: Cannot open " + path("short") + ": Invalid argument");

    // A FIFO is read as far as it is written, never waited for: without a
    // writer it is empty, with a silent one it fails.
    const std::string fifo = path("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(run_plain("assert(next(morva.load_set(" + quoted(fifo) + ")) == nil)"), "");
    const int writer = ::open(fifo.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    EXPECT_EQ(run_plain("morva.load_array(" + quoted(fifo) + ")"),
              "test:1: Cannot read " + fifo + ": Resource temporarily unavailable");
    ::close(writer);
    // Reading counts against the run's budget: a file without an end stops.
    const kv::lua::budget_scope_t budget(L);
    EXPECT_EQ(run_plain("morva.load_set('/dev/zero')"),
              "test:1: instruction budget of 20000000 exceeded without a wait");
}

TEST_F(morva_test_t, endpoints)
{
    kv::lua::morva::push_tcp_endpoint(L, {boost::asio::ip::make_address("10.0.0.1"), 443});
    set_global("ep");
    kv::lua::morva::push_tcp_endpoint(L, {boost::asio::ip::make_address("::1"), 8080});
    set_global("ep6");
    EXPECT_EQ(run_plain(R"(
        assert(tostring(ep) == "10.0.0.1:443", tostring(ep))
        assert(tostring(ep6) == "[::1]:8080", tostring(ep6))
        assert(ep.port == 443 and math.type(ep.port) == "float" and tostring(ep.port) == "443.0")
        assert(rawequal(ep.ip, ep.ip), "the same IpAddress every time")
        assert(ep.ip == morva.ip("10.0.0.1") and tostring(ep6.ip) == "::1")
        assert(ep.ip.belongs("10.0.0.0/8"))
        assert(ep.other == nil and ep[1] == nil and ep[true] == nil)
        assert("to " .. ep == "to 10.0.0.1:443")
        assert(ep .. " open" == "10.0.0.1:443 open")
        assert(ep .. ep6 == "10.0.0.1:443[::1]:8080")
        assert(ep .. morva.ip("::2") == "10.0.0.1:443::2")
        assert(morva.ip("::2") .. ep == "::210.0.0.1:443")
        assert(not pcall(function() return ep .. {} end))
    )"), "");
    // The endpoints and their addresses are released by the collector (the leak check sees it).
    EXPECT_EQ(run_plain("ep = nil ep6 = nil collectgarbage()"), "");
}

} // namespace
