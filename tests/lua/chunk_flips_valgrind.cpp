// Every single-bit change of real chunks, stripped and not: the check refuses
// it, or Lua's loader does, or it loads and runs without a read or write
// outside Lua's objects. Lua's library is not instrumented, so this program
// is built without sanitizers and runs under valgrind, which fails the test
// on any error it reports.
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <utility>

#include <gtest/gtest.h>
#include <lua.hpp>

#include "lua/bytecode_check.hpp"
#include "tests/lua/crafted_chunks.hpp"

namespace {

using morva_test::compile;

// Between them: every opcode but LOADKX (which takes 2^18 constants), upvalues
// of both kinds, an empty string, a long string, methods, varargs and lists.
const char* const programs[] = {
    R"lua(
local e = ""
local t = {m = function(self, ...) return select("#", ...), ... end, 7}
local n, a, b = t:m(1, 2)
local function f(...) return ... end
local r = {f(1, 2, 3)}
local s = e .. "pass" .. #r .. n
return f(s, table.unpack(r))
)lua",
    R"lua(
local long = "a string constant longer than forty bytes, so stored long"
local acc, k = {}, 0
for i = 10, 1, -2.5 do acc[#acc + 1] = i end
for i = 1, 3 do local j = i acc[#acc + 1] = function() return j + i + k end end
::again:: k = k + 1 if k < 3 then goto again end
local x = 3 // 2 + 7.0 / 2 - 2 ^ 3 % 5
for key, v in pairs({p = 1, q = 2}) do acc[key] = v end
return #acc, long, x, acc[#acc](), (k == 3) and "yes" or "no", not x, -x, ~k, k << 2 >> 1 & 7 | 8 ~ 1
)lua",
    R"lua(
local up = 0
local function inc() up = up + 1 return up end
local obj = {v = 5}
function obj:get(d) return self.v + d end
local s = "a" .. tostring(up) .. "b" .. inc() .. obj:get(2)
while up < 4 and not (up < -1) do up = up + 1 end
repeat up = up - 1 until up <= 2
if s == nil or up ~= 2 or up > 3 or up >= 9 then error("wrong") end
result = s .. #s .. string.rep("x", 3)
local function tail(n) if n <= 0 then return "done" end return tail(n - 1) end
return tail(3), result, obj.v, rawlen(s), nil
)lua",
};

// Refuses growth past 64 MiB, so a changed size cannot take the machine.
void* limited_alloc(void* ud, void* p, std::size_t old_size, std::size_t new_size)
{
    auto* used = static_cast<std::size_t*>(ud);
    const std::size_t held = p != nullptr ? old_size : 0;
    if (new_size == 0) {
        std::free(p);
        *used -= held;
        return nullptr;
    }
    if (new_size > held && *used - held + new_size > (std::size_t(64) << 20))
        return nullptr;
    void* q = std::realloc(p, new_size);
    if (q != nullptr)
        *used = *used - held + new_size;
    return q;
}

// A changed jump may loop forever.
void stop_after_a_while(lua_State* L, lua_Debug*)
{
    luaL_error(L, "instruction budget exceeded");
}

enum class outcome_t { refused_by_check, refused_by_loader, ran };

outcome_t try_chunk(const std::string& chunk)
{
    try {
        kv::lua::check_precompiled(chunk);
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()).rfind("corrupt precompiled chunk: ", 0), 0u) << e.what();
        return outcome_t::refused_by_check;
    }
    std::size_t used = 0;
    lua_State* L = lua_newstate(limited_alloc, &used);
    // Only the libraries the programs use: a new state per run is most of the time under valgrind.
    const std::pair<const char*, lua_CFunction> libraries[] = {
        {"_G", luaopen_base}, {LUA_STRLIBNAME, luaopen_string}, {LUA_TABLIBNAME, luaopen_table}};
    for (const auto& [name, open] : libraries) {
        luaL_requiref(L, name, open, 1);
        lua_pop(L, 1);
    }
    outcome_t outcome = outcome_t::refused_by_loader;
    if (luaL_loadbufferx(L, chunk.data(), chunk.size(), "=changed", "b") == LUA_OK) {
        outcome = outcome_t::ran;
        lua_sethook(L, stop_after_a_while, LUA_MASKCOUNT, 20000);
        // Errors are fine; their texts go through the debug information too.
        lua_pcall(L, 0, LUA_MULTRET, 0);
        const int results = lua_gettop(L);
        lua_sethook(L, nullptr, 0, 0);
        for (int i = 1; i <= results; ++i) {
            luaL_tolstring(L, i, nullptr);
            lua_pop(L, 1);
        }
    }
    lua_close(L);
    return outcome;
}

TEST(chunk_flips, every_single_bit_change_is_refused_or_harmless)
{
    for (const char* program : programs) {
        for (const bool strip : {true, false}) {
            SCOPED_TRACE(std::string(strip ? "stripped: " : "with debug information: ") + program);
            const std::string chunk = compile(program, strip);
            ASSERT_EQ(try_chunk(chunk), outcome_t::ran);
            int outcomes[3] = {};
            for (std::size_t at = 0; at < chunk.size(); ++at) {
                for (int bit = 0; bit < 8; ++bit) {
                    std::string changed = chunk;
                    morva_test::flip(changed, at, bit);
                    ++outcomes[int(try_chunk(changed))];
                }
            }
            EXPECT_GT(outcomes[int(outcome_t::refused_by_check)], 0);
            EXPECT_GT(outcomes[int(outcome_t::ran)], 0);
        }
    }
}

} // namespace
