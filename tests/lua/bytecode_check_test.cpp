// The check of precompiled chunks: what Lua's compiler writes passes; every
// single-byte corruption of a chunk is either refused (by the check or by
// Lua's load) or loads and runs without touching memory outside the state
// (the test runs under AddressSanitizer).
#include <stdexcept>
#include <string>
#include <vector>

#include "lua/bytecode_check.hpp"
#include "lua/instruction_budget.hpp"
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

} // namespace
