// The check of precompiled chunks: what Lua's compiler writes passes; every
// single-byte corruption of a chunk is either refused (by the check or by
// Lua's load) or loads and runs without touching memory outside the state
// (the test runs under AddressSanitizer).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <boost/filesystem/operations.hpp>

#include "lua/bytecode_check.hpp"
#include "lua/instruction_budget.hpp"
#include "tests/lua/crafted_chunks.hpp"
#include "tests/lua/lua_fixture.hpp"

namespace {

using morva_test::lua_fixture;

// Exercises most instructions: locals, upvalues, tables, arithmetic,
// comparisons, loops of both kinds, varargs, methods, closures, concatenation.
const char* const program = R"lua(
local t = {1, 2, 3, x = "y", [10] = false}
local n = 0
for i = 1, #t do n = n + t[i] * 2 // 1 % 7 ^ 1 end
for k, v in pairs(t) do n = n + (type(v) == "number" and v or 0) end
local function count(...)
  local args = {...}
  return select("#", ...), #args, ...
end
local obj = {v = 5}
function obj:get(d) return self.v + d end
local up = 0
local function inc() up = up + 1 return up end
local s = "a" .. tostring(n) .. "b" .. inc() .. obj:get(2)
while n > 0 and not (n < -1) do n = n - 10 end
repeat up = up + 1 until up >= 3
local a, b = count(1, nil, 3)
if a ~= 3 or b < 1 or s == nil or (n & 1) | 2 ~ 3 == 0 or -n > 100 or ~up == 0 then error("wrong") end
result = s .. "/" .. a .. "/" .. inc()
return result
)lua";

std::string dump(lua_State* L, const std::string& code, bool strip)
{
    EXPECT_EQ(luaL_loadstring(L, code.c_str()), LUA_OK) << lua_tostring(L, -1);
    std::string bytes;
    lua_dump(
        L,
        [](lua_State*, const void* p, std::size_t size, void* out) {
            static_cast<std::string*>(out)->append(static_cast<const char*>(p), size);
            return 0;
        },
        &bytes, strip);
    lua_pop(L, 1);
    return bytes;
}

class bytecode_check_test : public lua_fixture {};

// The check's text for a chunk, "" when it passes.
std::string refusal(const std::string& chunk)
{
    try {
        kv::lua::check_precompiled(chunk);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

TEST_F(bytecode_check_test, what_the_compiler_writes_passes)
{
    const std::string codes[] = {
        program,
        "",
        "return",
        "local a, b, c, d, e, f, g, h return",
        "local t = {} for i = 1, 300 do t[i] = i end return {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, "
        "18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32, 33, 34, 35, 36, 37, 38, 39, 40, 41, 42, 43, 44, "
        "45, 46, 47, 48, 49, 50, 51, 52, 53, ...}",
        "local function f(...) local a, b = ... return ... end return f(f(1, 2))",
        "goto skip do local x = 1 end ::skip:: return function() return function() return _ENV end end",
        "local x <const> = 1",
        // An open count right after its producer, in each place the compiler puts one.
        "local function f(...) return ... end local t = {f(...)} print(f(...)) return f(select(1, ...))",
        // A list of more than 510 blocks: the block number in an EXTRAARG.
        [] {
            std::string code = "return {";
            for (int i = 0; i < 26000; ++i)
                code += "1,";
            return code + "}";
        }(),
        // A method name past the first 256 constants: loaded into a register.
        [] {
            std::string code = "local t = {";
            for (int i = 0; i < 300; ++i)
                code += "k" + std::to_string(i) + " = " + std::to_string(i) + ".5, ";
            return code + "} function t.m(self) return 1 end return t:m()";
        }(),
        // Functions nested as deep as the parser lets them.
        [] {
            std::string code;
            for (int i = 0; i < 199; ++i)
                code += "function f() ";
            for (int i = 0; i < 199; ++i)
                code += "end ";
            return code;
        }(),
    };
    for (const auto& code : codes) {
        if (luaL_loadstring(L, code.c_str()) != LUA_OK) {
            lua_pop(L, 1); // not Lua 5.3 (the attribute): nothing to check
            continue;
        }
        lua_pop(L, 1);
        for (const bool strip : {false, true})
            EXPECT_NO_THROW(kv::lua::check_precompiled(dump(L, code, strip))) << code;
    }
    // Source text and chunks Lua refuses itself pass through.
    EXPECT_NO_THROW(kv::lua::check_precompiled(program));
    const std::string bytes = dump(L, program, true);
    EXPECT_NO_THROW(kv::lua::check_precompiled(bytes.substr(0, 20)));
    // After the header, the check reports a missing end itself: Lua's load
    // would store what comes before it.
    EXPECT_THROW(kv::lua::check_precompiled(bytes.substr(0, bytes.size() / 2)), std::runtime_error);
}

TEST_F(bytecode_check_test, every_corruption_of_one_byte_is_refused_or_harmless)
{
    for (const bool strip : {true, false}) {
        const std::string bytes = dump(L, program, strip);
        int refused = 0, loaded = 0;
        for (std::size_t at = 0; at < bytes.size(); ++at) {
            for (const int mask : {0xff, 0x01, 0x10, 0x80}) {
                std::string mangled = bytes;
                mangled[at] = char(mangled[at] ^ mask);
                try {
                    kv::lua::check_precompiled(mangled);
                } catch (const std::runtime_error& e) {
                    EXPECT_EQ(std::string(e.what()).rfind("corrupt precompiled chunk: ", 0), 0u) << e.what();
                    ++refused;
                    continue;
                }
                int status;
                {
                    // As the hook is loaded: the memory limit applies.
                    const kv::lua::budget_scope_t budget(L);
                    status = luaL_loadbufferx(L, mangled.data(), mangled.size(), "=mangled", "b");
                }
                if (status != LUA_OK) {
                    lua_pop(L, 1);
                    ++refused;
                    continue;
                }
                ++loaded;

                // Run as a hook runs: budget and memory limit apply.
                scripts.push_back(std::make_unique<morva_test::script_t>(L));
                scripts.back()->start();
                drain();
                scripts.clear();
                lua_settop(L, 0);
            }
        }
        EXPECT_GT(refused, 0);
        EXPECT_GT(loaded, 0);
    }
}

TEST(bytecode_check, chunks_the_virtual_machine_would_run_outside_its_objects_are_refused)
{
    for (const auto& c : morva_test::crafted_chunks())
        EXPECT_EQ(refusal(c.chunk), "corrupt precompiled chunk: " + c.refusal) << c.name;
}

// The source tree, also when the program runs outside CTest.
boost::filesystem::path source_tree()
{
    const char* const dir = std::getenv("MORVA_SOURCE_DIR");
    return dir != nullptr ? boost::filesystem::path(dir)
                          : boost::filesystem::path(__FILE__).parent_path().parent_path().parent_path();
}

std::string read(const boost::filesystem::path& file)
{
    std::ifstream in(file.string(), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Everything the compiler and string.dump write passes: each file of the
// corpus in the tree, the demo hook and the Lua modules installed on this
// machine compiled as luac writes it (plain and -s), written again from the
// stripped chunk (luac given a .luac, or string.dump of what it loads: its
// upvalue names absent), and the functions the corpus files return dumped by
// string.dump with and without strip, loaded from source and from luac -s.
TEST(bytecode_check, everything_the_compiler_and_string_dump_write_passes)
{
    const boost::filesystem::path source = source_tree();
    std::vector<boost::filesystem::path> own, installed;
    for (const auto& entry : boost::filesystem::directory_iterator(source / "tests/lua/corpus"))
        own.push_back(entry.path());
    std::sort(own.begin(), own.end());
    ASSERT_GE(own.size(), 4u);
    own.push_back(source / "tools/demo/hook.lua");
    for (const char* dir : {"/usr/share/lua/5.3", "/usr/local/share/lua/5.3"}) {
        boost::system::error_code ec;
        for (boost::filesystem::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
            if (it->path().extension() == ".lua" && boost::filesystem::is_regular_file(it->path()))
                installed.push_back(it->path());
    }

    int chunks = 0;
    auto expect_passes = [&](const std::string& chunk, const std::string& what) {
        EXPECT_EQ(refusal(chunk), "") << what;
        ++chunks;
    };
    int installed_chunks = 0;
    // The functions a chunk's first result holds, each as string.dump writes it.
    auto dumps_of_results = [](const std::string& chunk) {
        const std::unique_ptr<lua_State, void (*)(lua_State*)> state(luaL_newstate(), lua_close);
        lua_State* L = state.get();
        luaL_openlibs(L);
        const char* const dump_all = R"lua(
local functions = assert(load(...))()
local dumps = {}
for _, f in ipairs(functions) do
  dumps[#dumps + 1] = string.dump(f)
  dumps[#dumps + 1] = string.dump(f, true)
end
return dumps
)lua";
        std::vector<std::string> dumps;
        luaL_loadstring(L, dump_all);
        lua_pushlstring(L, chunk.data(), chunk.size());
        if (lua_pcall(L, 1, 1, 0) != LUA_OK) {
            ADD_FAILURE() << lua_tostring(L, -1);
            return dumps;
        }
        for (lua_Integer i = 1; lua_geti(L, -1, i) == LUA_TSTRING; ++i) {
            std::size_t size;
            const char* bytes = lua_tolstring(L, -1, &size);
            dumps.emplace_back(bytes, size);
            lua_pop(L, 1);
        }
        return dumps;
    };
    for (const auto* list : {&own, &installed}) {
        for (const auto& file : *list) {
            const std::string text = read(file);
            std::string plain, stripped;
            try {
                plain = morva_test::compile(text, false);
                stripped = morva_test::compile(text, true);
            } catch (const std::runtime_error& e) {
                // Lua 5.1 or 5.4 only: not for luac5.3 to compile.
                EXPECT_NE(list, &own) << e.what();
                continue;
            }
            expect_passes(plain, file.string() + " plain");
            expect_passes(stripped, file.string() + " stripped");
            expect_passes(morva_test::compile(stripped, false), file.string() + " written again from stripped");
            if (list == &installed)
                installed_chunks += 3;
            if (list != &own || file.parent_path().filename() != "corpus")
                continue;
            for (const auto& [from, chunk] : {std::pair{"source", text}, std::pair{"stripped", stripped}})
                for (const std::string& dump : dumps_of_results(chunk))
                    expect_passes(dump, file.string() + ": string.dump of a returned function, loaded from " + from);
        }
    }
    // luac given several files writes a main function that runs each.
    if (boost::filesystem::exists("/usr/bin/luac5.3")) {
        std::string files;
        for (const auto& file : own)
            files += " '" + file.string() + "'";
        for (const std::string options : {"", " -s"}) {
            const std::string command = "/usr/bin/luac5.3" + options + " -o -" + files;
            const std::unique_ptr<FILE, int (*)(FILE*)> luac(::popen(command.c_str(), "r"), ::pclose);
            ASSERT_TRUE(luac);
            std::string chunk;
            char buffer[4096];
            for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, luac.get())) > 0;)
                chunk.append(buffer, n);
            ASSERT_GT(chunk.size(), 33u);
            expect_passes(chunk, "luac5.3" + options + " of the corpus");
        }
    }
    std::printf("%d chunks checked, %d of them from the %zu Lua modules installed on this machine\n", chunks,
                installed_chunks, installed.size());
}

// Random programs of every statement and expression, nested, each compiled
// plain, stripped and written again from stripped.
TEST(bytecode_check, random_programs_pass)
{
    const std::unique_ptr<lua_State, void (*)(lua_State*)> state(luaL_newstate(), lua_close);
    lua_State* L = state.get();
    luaL_openlibs(L);
    const std::string generator = read(source_tree() / "tests/lua/random_programs.lua");
    ASSERT_EQ(luaL_loadbuffer(L, generator.data(), generator.size(), "=random_programs"), LUA_OK);
    for (int seed = 1; seed <= 300; ++seed) {
        lua_pushvalue(L, -1);
        lua_pushinteger(L, seed);
        ASSERT_EQ(lua_pcall(L, 1, 1, 0), LUA_OK) << lua_tostring(L, -1);
        const std::string program = lua_tostring(L, -1);
        lua_pop(L, 1);
        const std::string stripped = morva_test::compile(program, true);
        for (const auto& chunk : {morva_test::compile(program, false), stripped, morva_test::compile(stripped, false)})
            EXPECT_EQ(refusal(chunk), "") << program;
    }
}

// The one-line hook of a concatenation in a numeric loop: CONCAT writes its
// result below the loop's counters and works above them.
TEST(bytecode_check, a_concatenation_in_a_numeric_loop_passes)
{
    const std::string hook
        = R"(local s = "" for i = 1, 3 do s = s .. i end function intercept_hook(ctx) return "check" end)";
    const std::string stripped = morva_test::compile(hook, true);
    for (const auto& chunk : {morva_test::compile(hook, false), stripped, morva_test::compile(stripped, false)})
        EXPECT_EQ(refusal(chunk), "");
}

// What the virtual machine may write besides an instruction's results:
// CONCAT calls a metamethod above its operands, and a collection step during
// CONCAT, NEWTABLE or CLOSURE clears the registers above them to nil (a list's
// table then freed). Each case changes the operands of one instruction of
// what the compiler writes.
TEST(bytecode_check, registers_the_virtual_machine_may_write_are_taken_as_written)
{
    constexpr int NEWTABLE = 11, CONCAT = 29, CLOSURE = 44;
    const struct {
        const char* name;
        const char* code;
        int op, a, b, c; // the instruction changed and its new operands
        std::string refusal;
    } cases[] = {
        {"operands below a loop's counters", "local a, b = 'x', 'y' for i = 1, 2 do local s = a .. b end", CONCAT, 0,
         0, 1, "loop counter changed inside its loop"},
        {"a new table below a loop's counters", "local x for i = 1, 2 do local t = {} end", NEWTABLE, 0, 0, 0,
         "loop counter changed inside its loop"},
        {"operands below a list's table", "local a, b = 'x', 'y' local t = {a .. b, 2}", CONCAT, 0, 0, 1,
         "list stored into a register that holds no new table"},
        {"a closure below a list's table", "local a local t = {function() end}", CLOSURE, 0, 0, 0,
         "list stored into a register that holds no new table"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string chunk = morva_test::compile(c.code, true);
        ASSERT_EQ(refusal(chunk), "");
        morva_test::set_operands(chunk, morva_test::instruction_at(chunk, c.op), c.a, c.b, c.c);
        EXPECT_EQ(refusal(chunk), "corrupt precompiled chunk: " + c.refusal);
    }
}

// The check is linear in the code: a constructor of 200,000 tables, each
// with a jump (`a or b`), takes about 20 times the steps of one of 10,000 (a
// pass over every jump per list block took 400 times as many, minutes).
// Steps, not seconds: a ratio of two timings says nothing on a busy machine.
TEST(bytecode_check, a_long_constructor_is_checked_in_linear_time)
{
    auto steps = [](int entries) {
        std::string code = "local a, b = ... return {";
        for (int i = 0; i < entries; ++i)
            code += "{1, a or b}, ";
        const std::string chunk = morva_test::compile(code + "}", true);
        std::size_t steps = 0;
        EXPECT_NO_THROW(kv::lua::check_precompiled(chunk, &steps));
        return steps;
    };
    const std::size_t small = steps(10000), large = steps(200000);
    std::printf("%zu steps for 10,000 entries, %zu for 200,000\n", small, large);
    // Every instruction is counted: six per entry at least.
    EXPECT_GE(small, 6u * 10000);
    EXPECT_LT(large, 2 * 20 * small);
}

// FORLOOP takes its registers as the numbers FORPREP made: one bit more and
// it would read the value of a nil (both found by the single-bit changes).
TEST(bytecode_check, numeric_loops_run_only_on_what_their_preparation_made)
{
    constexpr int MOVE = 0, FORLOOP = 39;
    // FORPREP 1 2; MOVE 5 4; ADD 0 0 5; FORLOOP 1 -3
    const std::string loop = morva_test::compile("local s = 0 for i = 1, 3 do local x = i s = s + x end return s", true);
    EXPECT_EQ(refusal(loop), "");
    const struct {
        const char* name;
        int op;
        int bit; // of the instruction
        std::string refusal;
    } cases[] = {
        {"MOVE 1 4 inside the loop", MOVE, 8, "loop counter changed inside its loop"},
        {"FORLOOP 3 -3", FORLOOP, 7, "numeric loop without its pair"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string chunk = loop;
        morva_test::flip(chunk, morva_test::instruction_at(chunk, c.op), c.bit);
        EXPECT_EQ(refusal(chunk), "corrupt precompiled chunk: " + c.refusal);
    }
}

// Each way a script loads a chunk checks it: a corrupt one is refused with the
// check's text, a sound one loads, from a string, a reader, a file and a module.
TEST_F(bytecode_check_test, every_way_of_loading_a_chunk_checks_it)
{
    const auto crafted = morva_test::crafted_chunks();
    const std::string& corrupt = crafted.front().chunk; // the absent empty string
    const std::string refusal = "corrupt precompiled chunk: " + crafted.front().refusal;
    const std::string sound = morva_test::compile("return 'sound', ...", true);
    for (const auto& [name, bytes] : {std::pair{"corrupt", corrupt}, std::pair{"sound", sound}})
        std::ofstream((dir / (std::string(name) + ".lua")).string(), std::ios::binary) << bytes;
    // A first line starting with "#" before the chunk, as in a script run by a shell.
    std::ofstream((dir / "commented.lua").string(), std::ios::binary) << "#!/usr/bin/lua5.3\n" << corrupt;
    const std::string files = dir.string() + "/";
    lua_pushlstring(L, corrupt.data(), corrupt.size());
    set_global("corrupt");
    lua_pushlstring(L, sound.data(), sound.size());
    set_global("sound");
    ASSERT_EQ(run_plain("package.path = '" + files + "?.lua'"), "");

    const struct {
        std::string code; // returns the error text, or the first result of the loaded chunk
        std::string expected;
    } cases[] = {
        {"return select(2, load(corrupt))", refusal},
        {"return load(sound)()", "sound"},
        {"local p = {corrupt:sub(1, 40), corrupt:sub(41)} return select(2, load(function() return table.remove(p, 1) end))",
         refusal},
        {"local p = {sound:sub(1, 40), sound:sub(41)} return load(function() return table.remove(p, 1) end, 'x', 'b')()",
         "sound"},
        {"return select(2, load(corrupt, 'x', 't'))", "attempt to load a binary chunk (mode is 't')"},
        {"return select(2, loadfile('" + files + "corrupt.lua'))", refusal},
        {"return select(2, loadfile('" + files + "commented.lua'))", refusal},
        {"return loadfile('" + files + "sound.lua', 'b')()", "sound"},
        {"return select(2, pcall(dofile, '" + files + "corrupt.lua'))", refusal},
        {"return dofile('" + files + "sound.lua')", "sound"},
        {"return select(2, pcall(require, 'corrupt'))",
         "error loading module 'corrupt' from file '" + files + "corrupt.lua':\n\t" + refusal},
        {"return require('sound')", "sound"},
        {"return select(2, pcall(require, 'absent')):match('no file [^\\n]*')", "no file '" + files + "absent.lua'"},
        {"return select(2, loadfile('" + files + "missing.lua'))",
         "cannot open " + files + "missing.lua: No such file or directory"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        load(c.code);
        ASSERT_EQ(lua_pcall(L, 0, 1, 0), LUA_OK) << lua_tostring(L, -1);
        EXPECT_EQ(kv::lua::error_text(L), c.expected);
    }
}

} // namespace
