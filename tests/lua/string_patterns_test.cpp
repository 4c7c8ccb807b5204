// The pattern functions: the same results and errors as Lua's own string
// library, through the library table and through the strings' methods; and
// matching work charged to the instruction budget, so a pattern that
// backtracks without end fails its run like a loop.
#include <chrono>
#include <string>

#include "lua/instruction_budget.hpp"
#include "tests/lua/lua_fixture.hpp"

namespace {

using morva_test::lua_fixture;

// Runs `return <expression>` in a protected call and describes what came of
// it: each result as type:value, or the error text.
const char* const describe = R"lua(
local code = ...
local f = assert(load("return " .. code, "=case"))
local function show(ok, ...)
  local out = {ok and "ok" or "error"}
  for i = 1, select("#", ...) do
    local v = select(i, ...)
    out[#out + 1] = math.type(v) or type(v)
    out[#out + 1] = type(v) == "function" and "function" or tostring(v)
  end
  return table.concat(out, " ")
end
return show(pcall(f))
)lua";

std::string outcome(lua_State* L, const std::string& expression)
{
    EXPECT_EQ(luaL_loadstring(L, describe), LUA_OK);
    lua_pushlstring(L, expression.data(), expression.size());
    EXPECT_EQ(lua_pcall(L, 1, 1, 0), LUA_OK) << lua_tostring(L, -1);
    std::string text = lua_tostring(L, -1);
    lua_pop(L, 1);
    return text;
}

class string_patterns_test : public lua_fixture {
public:
    string_patterns_test() { luaL_openlibs(original); }
    ~string_patterns_test() override { lua_close(original); }

    lua_State* original = luaL_newstate(); // Lua's own library
};

TEST_F(string_patterns_test, results_and_errors_are_those_of_the_lua_library)
{
    const char* const cases[] = {
        // find: plain and pattern, init, captures, position captures
        "('hello world'):find('o w')", "('hello world'):find('l+')", "('hello world'):find('l', 1, true)",
        "('a.b'):find('.', 2, true)", "('hello'):find('', 10)", "('hello'):find('', 6)", "('hello'):find('x', 20)",
        "('hello'):find('l', -2)", "('hello'):find('l', -20)", "('hello'):find('(l)(l)')",
        "('hello'):find('()ll()')", "string.find(12345, 34)", "('a\\0b'):find('\\0', 1, true)",
        "('a\\0b'):find('%z')", "('a\\0b\\0c'):find('b\\0c')",
        // match: classes, sets, anchors, lazy and greedy repetition, back references
        "('key=value'):match('(%w+)=(%w+)')", "('  trim me  '):match('^%s*(.-)%s*$')",
        "('THE (quick) fox'):match('%((%a+)%)')", "('x'):match('()')", "('abc'):match('^(a)(b)(c)$')",
        "('f(a(b)c)d'):match('%b()')", "('[[x]]'):match('%b[]')", "('THE (quick) fox'):match('%f[%a]%a+', 5)",
        "('say \"hi\" now'):match('([\"\\'])(.-)%1')", "('aaa'):match('a-b')", "('aaab'):match('a-b')",
        "('aaa'):match('^a?a?a?a?$')", "('a$c'):find('$c')", "('abc'):find('c$')", "('abc'):match('[^%a]')",
        "('x-y_z'):match('[%w_-]+')", "('a]b'):match('[]]')", "('a^b'):match('[%^]')", "('09af'):match('%x+')",
        "('ABC def'):match('%u+%s%l+')", "('\\t!'):match('%c%p')", "('abc'):match('[a-b]+')",
        "('ab'):match('.-$')", "(''):match('.-')",
        // gmatch, also with empty matches
        "(function() local t = {} for k, v in ('a=1, b=2'):gmatch('(%w+)=(%w+)') do t[#t+1] = k .. v end "
        "return table.concat(t, ',') end)()",
        "(function() local t = {} for w in ('abc'):gmatch('x*') do t[#t+1] = '<' .. w .. '>' end "
        "return table.concat(t) end)()",
        "(function() local t = {} for p in ('abc'):gmatch('()') do t[#t+1] = p end return table.concat(t, ',') end)()",
        // gsub: string, table and function replacements, counts, anchors
        "('hello world'):gsub('o', '0')", "('hello world'):gsub('(o)', '[%1%0%%]')", "('hello'):gsub('', '-')",
        "('hello world'):gsub('%w+', '%0 %0', 1)", "('abc'):gsub('%w', '%1')", "('aaa'):gsub('^a', 'b')",
        "('hello'):gsub('l', 'L', 0)", "('$name is $age'):gsub('%$(%w+)', {name = 'Ann', age = 7})",
        "('$x $y'):gsub('%$(%w+)', {x = false})", "('abc'):gsub('%w', function(c) return c:upper() .. '.' end)",
        "('abc'):gsub('(%w)()', function(c, p) if p > 2 then return p end end)", "('abc'):gsub('b', 5)",
        "string.gsub(123, 2, 9)",
        // errors
        "('a'):find('[a')", "('a'):find('%')", "('a'):find('[a%')", "('a'):match('%b')", "('a'):match('%fx')",
        "('a'):match('(')", "('a'):match(')')", "('a'):match('%1')", "('aa'):match('(a)%2')",
        "('a'):match(('()'):rep(33))", "('a'):rep(300):match(('a?'):rep(300))", "('a'):gsub('a', true)",
        "('a'):gsub('a', '%2')", "('a'):gsub('a', '%x')", "('a'):gsub('a', {a = {}})",
        "('a'):gsub('(a)', function() return {} end)", "('a'):gsub('a', 'b', 'x')", "('a'):find({})",
        "string.match()", "('a'):find('a', 'x')",
    };
    for (const char* c : cases) {
        const std::string expected = outcome(original, c);
        EXPECT_EQ(outcome(L, c), expected) << c;
    }
}

TEST_F(string_patterns_test, matching_without_end_is_stopped_by_the_budget)
{
    const std::string exceeded =
        "instruction budget of " + std::to_string(kv::lua::instruction_budget) + " exceeded without a wait";
    struct case_t {
        const char* name;
        const char* code;
    } const cases[] = {
        {"find, backtracking", "return string.rep('a', 30000):find('.-.-.-.-.-.-b')"},
        {"find as a method", "local s = ('a'):rep(30000) return s:find('.-.-.-.-.-.-b')"},
        {"match", "return ('a'):rep(30000):match('(.-)(.-)(.-)(.-)(.-)b')"},
        {"gmatch", "for x in ('a'):rep(30000):gmatch('.-.-.-.-.-.-b') do end"},
        {"gsub", "return (('a'):rep(30000):gsub('.*.*.*.*.*b', ''))"},
        {"greedy repetition", "return ('a'):rep(30000):find('a*a*a*a*a*b')"},
        {"balance, quadratic", "return ('('):rep(200000):find('%b()')"},
        {"back reference, quadratic", "return ('a'):rep(200000):find('(a*)%1b')"},
        {"plain find, quadratic", "return ('a'):rep(400000):find(('a'):rep(200000) .. 'b', 1, true)"},
        // Each call is charged: catching the error does not help.
        {"caught and repeated",
         "local s = ('a'):rep(30000) while true do pcall(string.find, s, '.-.-.-.-.-.-b') end"},
    };
    for (const auto& c : cases) {
        const std::string error = failure(c.code);
        EXPECT_NE(error.find(exceeded), std::string::npos) << c.name << ": " << error;
    }
    // The state stays usable, its patterns too.
    EXPECT_EQ(finish("return ('abc'):find('b')"), (std::vector<std::string>{"2", "2"}));
}

TEST_F(string_patterns_test, the_error_names_the_calling_line)
{
    EXPECT_EQ(failure("local s = ('a'):rep(30000)\nreturn s:find('.-.-.-.-.-.-b')"),
              "test:2: instruction budget of " + std::to_string(kv::lua::instruction_budget)
                  + " exceeded without a wait");
}

} // namespace
