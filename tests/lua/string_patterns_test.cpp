// The pattern functions: the same results and errors as Lua's own string
// library (a second, plain state in each test), through the library table
// and through the strings' methods, on a table of chosen cases and on
// generated ones; and their work charged to the instruction budget, so a
// pattern that backtracks without end fails its run like a loop, and their
// memory held under the state's limit.
#include <chrono>
#include <fstream>
#include <random>
#include <string>

#include "lua/instruction_budget.hpp"
#include "lua/memory_limit.hpp"
#include "tests/lua/lua_fixture.hpp"

namespace {

using morva_test::lua_fixture;

// What came of a call: "ok" or "error", then each result as type:value
// (strings quoted, so embedded zeros and bytes show), or the error text.
const char* const show_outcome = R"lua(
function show_outcome(ok, ...)
  local out = {ok and "ok" or "error"}
  for i = 1, select("#", ...) do
    local v = select(i, ...)
    out[#out + 1] = math.type(v) or type(v)
    if type(v) == "string" then v = string.format("%q", v)
    elseif type(v) == "function" then v = "function" end
    out[#out + 1] = tostring(v)
  end
  return table.concat(out, " ")
end
)lua";

// Runs `return <expression>` in a protected call.
const char* const describe = R"lua(
local code = ...
local f = assert(load("return " .. code, "=case"))
return show_outcome(pcall(f))
)lua";

// One call of a pattern function on given arguments. gmatch lists its
// matches (at most 50); gsub's replacement is the text given or, by name, a
// function or a table.
const char* const call_one = R"lua(
local op, s, p, x, y = ...
if op == "find" then return show_outcome(pcall(string.find, s, p, x, y)) end
if op == "match" then return show_outcome(pcall(string.match, s, p, x)) end
if op == "gmatch" then
  return show_outcome(pcall(function()
    local out = {}
    for a, b, c in string.gmatch(s, p) do
      out[#out + 1] = string.format("%q|%q|%q", a, b, c)
      if #out == 50 then break end
    end
    return table.concat(out, ";")
  end))
end
local repl = x
if x == "function" then
  repl = function(...)
    local n = select("#", ...)
    local first = ...
    if n > 1 then return tostring(first) .. "/" .. tostring((select(n, ...))) end
    if first == "a" then return false end
    if first == "b" then return 7 end
    return first
  end
elseif x == "table" then
  repl = {a = "<A>", ab = 12, b = false, [1] = "<1>", [2] = {}}
end
return show_outcome(pcall(string.gsub, s, p, repl, y))
)lua";

class string_patterns_test : public lua_fixture {
public:
    string_patterns_test()
    {
        luaL_openlibs(original);
        for (lua_State* state : {original, L})
            EXPECT_EQ(luaL_dostring(state, show_outcome), LUA_OK);
    }
    ~string_patterns_test() override { lua_close(original); }

    lua_State* original = luaL_newstate(); // Lua's own library
};

std::string outcome(lua_State* L, const std::string& expression)
{
    EXPECT_EQ(luaL_loadstring(L, describe), LUA_OK);
    lua_pushlstring(L, expression.data(), expression.size());
    EXPECT_EQ(lua_pcall(L, 1, 1, 0), LUA_OK) << lua_tostring(L, -1);
    std::string text = lua_tostring(L, -1);
    lua_pop(L, 1);
    return text;
}

TEST_F(string_patterns_test, results_and_errors_are_those_of_the_lua_library)
{
    const char* const cases[] = {
        // find: plain and pattern, init, captures, position captures
        "('hello world'):find('o w')", "('hello world'):find('l+')", "('hello world'):find('l', 1, true)",
        "('a.b'):find('.', 2, true)", "('hello'):find('', 10)", "('hello'):find('', 6)", "('hello'):find('x', 20)",
        "('hello'):find('l', -2)", "('hello'):find('l', -20)", "('hello'):find('(l)(l)')",
        "('hello'):find('()ll()')", "string.find(12345, 34)", "('a\\0b'):find('\\0', 1, true)",
        "('a\\0b'):find('%z')", "('a\\0b\\0c'):find('b\\0c')",
        "('a+b'):find('+', 1, true)", "('a+b'):find('a+b', 1, 1)", "('a+b'):find('a+b', 1, false)",
        "('abc'):find('b', math.maxinteger)", "('abc'):find('b', math.mininteger)", "('abc'):find('', 4)",
        "('abc'):find('', 5)", "('abc'):find('$', 2)", "('abc'):find('^', 4)", "('abc'):find('^b', 2)",
        "('aXb'):find('%u')", "('a)b'):find(')')", "('a)b'):find('.)')",
        "('abc'):find('b', 1.0)", "('abc'):find('b', 1.5)", "('abc'):find('b', '2')",
        // match: classes, sets, anchors, lazy and greedy repetition, back references
        "('key=value'):match('(%w+)=(%w+)')", "('  trim me  '):match('^%s*(.-)%s*$')",
        "('THE (quick) fox'):match('%((%a+)%)')", "('x'):match('()')", "('abc'):match('^(a)(b)(c)$')",
        "('f(a(b)c)d'):match('%b()')", "('[[x]]'):match('%b[]')", "('THE (quick) fox'):match('%f[%a]%a+', 5)",
        "('say \"hi\" now'):match('([\"\\'])(.-)%1')", "('aaa'):match('a-b')", "('aaab'):match('a-b')",
        "('aaa'):match('^a?a?a?a?$')", "('a$c'):find('$c')", "('abc'):find('c$')", "('abc'):match('[^%a]')",
        "('x-y_z'):match('[%w_-]+')", "('a]b'):match('[]]')", "('a^b'):match('[%^]')", "('09af'):match('%x+')",
        "('ABC def'):match('%u+%s%l+')", "('\\t!'):match('%c%p')", "('abc'):match('[a-b]+')",
        "('ab'):match('.-$')", "(''):match('.-')",
        "('a-z'):match('[a-]+')", "('-a'):match('[-a]+')", "('b-'):match('[%a-z]+')", "('d%'):match('[a-%d]+')",
        "(']^'):match('[^]]')", "('x]'):match('[^]]+')", "('\\200\\150'):match('[\\100-\\220]+')",
        "('ab'):match('%Q')", "('Q'):match('%Q')", "('a.b'):match('%.')", "('\\0x'):match('%Z+')",
        "('a b'):match('%S+%s%S+')", "('THE'):match('%f[%l]')", "('the end'):match('%f[%z]')",
        "('the end'):match('()%f[%W]', 2)", "('aa'):match('(a)%1')", "('abab'):match('(a)(b)%1%2')",
        "('x()'):match('()%1')", "('aXa'):match('(a)(.-)%1')", "(\"''x''\"):match(\"%b''\")",
        "('((x)'):match('%b()')", "('a'):match('%ba')", "('x'):match('x*?')", "('x*'):match('x%*')",
        "('a$'):match('a$$')", "('$'):match('$')", "('a'):match('^$')", "(''):match('^$')",
        "('a\\0b'):match('a.b')", "('a\\0b'):match('[\\0]')", "('ab'):match('^(a)(b)()$')",
        "('hello'):match('(h)(e)(l)(l)(o)', 1)", "('one two'):match('(%a+) (%a+)', -3)",
        // gmatch, also with empty matches
        "(function() local t = {} for k, v in ('a=1, b=2'):gmatch('(%w+)=(%w+)') do t[#t+1] = k .. v end "
        "return table.concat(t, ',') end)()",
        "(function() local t = {} for w in ('abc'):gmatch('x*') do t[#t+1] = '<' .. w .. '>' end "
        "return table.concat(t) end)()",
        "(function() local t = {} for p in ('abc'):gmatch('()') do t[#t+1] = p end return table.concat(t, ',') end)()",
        "(function() local t = {} for w in ('a1b22'):gmatch('%d*') do t[#t+1] = '<' .. w .. '>' end "
        "return table.concat(t) end)()",
        "(function() local t = {} for w in ('^a^a'):gmatch('^a') do t[#t+1] = w end return table.concat(t, ',') end)()",
        "(function() local t = {} for w in ('a,b,,c'):gmatch('([^,]*)') do t[#t+1] = '<' .. w .. '>' end "
        "return table.concat(t) end)()",
        "string.gmatch('a')", "string.gmatch('a', '(')()", "string.gmatch('a', '[')()",
        // patterns too long for the buffers on the C stack
        "(function() local t = {} for p in ('ab'):rep(30):gmatch(('ab'):rep(25) .. '()') do t[#t+1] = p end "
        "return table.concat(t, ',') end)()",
        "('aaa'):gsub(('a?'):rep(60), '<%0>')", "('abcdefghijklmnop'):match(('[%a]'):rep(11))",
        // gsub: string, table and function replacements, counts, anchors
        "('hello world'):gsub('o', '0')", "('hello world'):gsub('(o)', '[%1%0%%]')", "('hello'):gsub('', '-')",
        "('hello world'):gsub('%w+', '%0 %0', 1)", "('abc'):gsub('%w', '%1')", "('aaa'):gsub('^a', 'b')",
        "('hello'):gsub('l', 'L', 0)", "('$name is $age'):gsub('%$(%w+)', {name = 'Ann', age = 7})",
        "('$x $y'):gsub('%$(%w+)', {x = false})", "('abc'):gsub('%w', function(c) return c:upper() .. '.' end)",
        "('abc'):gsub('(%w)()', function(c, p) if p > 2 then return p end end)", "('abc'):gsub('b', 5)",
        "string.gsub(123, 2, 9)", "('abc'):gsub('%w*', '-')", "('abc'):gsub('b*', '-')", "('abc'):gsub('()', '%1')",
        "('abc'):gsub('', '-', 2)", "('abc'):gsub('.', '%0', -1)", "('abc'):gsub('.', 'x', 2.0)",
        "('a\\0b'):gsub('%z', '<%0>')", "('abc'):gsub('(a)', '%%1')", "('x'):gsub('x', '%1')",
        "('x = 1, y = 2'):gsub('(%w+) = (%w+)', '%2 = %1')", "('abc'):gsub('.', {a = 1.5, b = true})",
        "('abc'):gsub('(b)(c)', function(...) return select('#', ...) end)", "('a'):gsub('(a', 'x')",
        "('abc'):gsub('^', '>')", "('abc'):gsub('$', '<')", "('abc'):gsub('^$', '<')",
        // errors
        "('a'):find('[a')", "('a'):find('%')", "('a'):find('[a%')", "('a'):match('%b')", "('a'):match('%fx')",
        "('a'):match('(')", "('a'):match(')')", "('a'):match('%1')", "('aa'):match('(a)%2')",
        "('a'):match(('()'):rep(33))", "('a'):gsub('a', true)",
        "('a'):gsub('a', '%2')", "('a'):gsub('a', '%x')", "('a'):gsub('a', {a = {}})",
        "('a'):gsub('(a)', function() return {} end)", "('a'):gsub('a', 'b', 'x')", "('a'):find({})",
        "string.match()", "('a'):find('a', 'x')",
        "('a'):find('b[')", "('b'):find('b[')", "('a'):match('%f')", "('a'):match('%f[a')", "('a'):match('%0')",
        "('aa'):match('(a%1)')", "('a'):find('(a')", "('a'):gsub('(a', '%1')", "('a'):gsub('(a', {})",
        "('a'):gsub('(a', function() end)", "('a'):gsub('a', '%')", "('a'):gsub('a', '%\\0')", "('a'):gsub('a', true, 'x')",
        "('a'):gsub('a')", "('a'):match('x%')", "('x'):match('x%')", "('a'):match('%ba', 2)", "('ab'):match('b)')",
        "('a'):match(('(a?)'):rep(32))", "('a'):match(('(a?)'):rep(33))", "('a'):find('[]')", "('a'):find('[^]')",
    };
    for (const char* c : cases) {
        const std::string expected = outcome(original, c);
        EXPECT_EQ(outcome(L, c), expected) << c;
    }
}

// Where Lua's own matcher gives up at its recursion depth, ours has no such
// depth: the budget is its only bound.
TEST_F(string_patterns_test, deep_patterns_match_where_the_lua_library_gives_up)
{
    struct case_t {
        const char* code;
        const char* result;
    } const cases[] = {
        {"('a'):rep(300):match(('a?'):rep(300))", "ok string \"" },
        {"#('a'):rep(300):match(('a?'):rep(300))", "ok integer 300"},
        {"('x'):rep(500):find(('(x)'):rep(20) .. ('.-'):rep(400) .. '$')", "ok integer 1"},
    };
    for (const auto& c : cases) {
        EXPECT_NE(outcome(original, c.code).find("pattern too complex"), std::string::npos) << c.code;
        EXPECT_EQ(outcome(L, c.code).rfind(c.result, 0), 0u) << c.code << ": " << outcome(L, c.code);
    }
}

std::string call_outcome(lua_State* L, const std::string& op, const std::string& s, const std::string& p,
                         const std::string& x, const std::string& y)
{
    EXPECT_EQ(luaL_loadstring(L, call_one), LUA_OK);
    lua_pushstring(L, op.c_str());
    lua_pushlstring(L, s.data(), s.size());
    lua_pushlstring(L, p.data(), p.size());
    // "" stands for an absent argument, "#<digits>" for an integer.
    for (const std::string* arg : {&x, &y}) {
        if (arg->empty())
            lua_pushnil(L);
        else if ((*arg)[0] == '#')
            lua_pushinteger(L, std::stoll(arg->substr(1)));
        else
            lua_pushlstring(L, arg->data(), arg->size());
    }
    EXPECT_EQ(lua_pcall(L, 5, 1, 0), LUA_OK) << lua_tostring(L, -1);
    std::string text = lua_tostring(L, -1);
    lua_pop(L, 1);
    return text;
}

TEST_F(string_patterns_test, generated_cases_agree_with_the_lua_library)
{
    std::mt19937 random(20260511);
    const auto pick = [&](const auto& list) { return list[random() % std::size(list)]; };
    const char* const subject_bytes[] = {"a", "a", "b", "b", "c", "(", ")", "[", "]", "%", "-", ".", "1", "2",
                                         " ", "=", "^", "$", "\xe9", "A", "_"};
    const std::string zero("\0", 1);
    const std::string pattern_pieces[] = {
        "a", "b", "c", ".", "%a", "%d", "%w", "%s", "%A", "%S", "%p", "%u", "%l", "%x", "%z", "%%", "%.", "%]", "%(",
        "[ab]", "[^a]", "[a-c]", "[%d_]", "[]]", "[^]a]", "[%a-]", "[a-%d]", "[-]", "[\x01-\xff]", "[" + zero + "]",
        "(", ")", "()", "(a)", "(.-)", "(%w+)", "%1", "%2", "%0", "%b()", "%b[]", "%baa", "%b", "%f[%w]", "%f[^a]",
        "%f[%z]", "%f", "%fa", "^", "$", "*", "+", "-", "?", "%", "[", "[a", "=", " ", zero, "1", "x", "\xe9",
    };
    const std::string quantifiers[] = {"", "", "", "*", "+", "-", "?"};
    const std::string replacements[] = {"%0", "%1", "%2", "%%", "%", "x", "%a", "<", ">", "-", "%9", "", "\xe9"};
    const std::string inits[] = {"", "", "#1", "#2", "#0", "#-1", "#-3", "#4", "#9", "#-100"};

    int compared = 0;
    int too_complex = 0;
    for (int i = 0; i < 6000; ++i) {
        std::string s;
        for (int n = static_cast<int>(random() % 10); n > 0; --n)
            s += random() % 6 == 0 ? zero : std::string(pick(subject_bytes));
        std::string p;
        for (int n = static_cast<int>(random() % 7); n > 0; --n) {
            if (random() % 5 == 0) { // a set of its own: ranges, classes, escapes, ']' and '^' anywhere
                p += "[";
                for (int k = static_cast<int>(random() % 5); k > 0; --k)
                    p += pick(std::array{"a", "b", "-", "]", "^", "%", "%a", "%]", "%d", "z", "(", "\xe9"});
                p += random() % 8 == 0 ? "" : "]";
            } else {
                p += pick(pattern_pieces);
            }
            p += pick(quantifiers);
        }
        std::string repl;
        for (int n = static_cast<int>(random() % 4); n > 0; --n)
            repl += pick(replacements);
        const std::string op = pick(std::array{"find", "find", "match", "gmatch", "gsub", "gsub"});
        std::string x;
        std::string y;
        if (op == "find") {
            x = pick(inits);
            y = random() % 4 == 0 ? "plain" : "";
        } else if (op == "match") {
            x = pick(inits);
        } else if (op == "gsub") {
            x = random() % 3 == 0 ? pick(std::array{"function", "table"}) : repl;
            y = random() % 3 == 0 ? pick(std::array{"#0", "#1", "#2", "#-1"}) : "";
        }
        const std::string expected = call_outcome(original, op, s, p, x, y);
        if (expected.find("pattern too complex") != std::string::npos) {
            ++too_complex;
            continue;
        }
        ++compared;
        ASSERT_EQ(call_outcome(L, op, s, p, x, y), expected)
            << "case " << i << ": " << op << " subject " << testing::PrintToString(s) << " pattern "
            << testing::PrintToString(p) << " x " << testing::PrintToString(x) << " y " << y;
    }
    EXPECT_GT(compared, 5000);
    EXPECT_LT(too_complex, 10);
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

// The process's resident memory in bytes, now or at its peak ("VmRSS" or
// "VmHWM"); 0 when /proc does not tell.
std::size_t resident(const std::string& field)
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind(field + ":", 0) == 0)
            return std::stoull(line.substr(field.size() + 1)) * 1024;
    return 0;
}

// Huge or repetitive arguments: each call's parsing, comparing and copying
// is charged to the budget by the bytes it goes through, and what it holds
// counts under the state's memory limit, so the process never grows much
// past what the state may hold.
TEST_F(string_patterns_test, work_and_memory_of_a_call_stay_within_the_bounds)
{
    const std::string budget = "instruction budget of " + std::to_string(kv::lua::instruction_budget);
    struct case_t {
        const char* name;
        const char* code;
        // An error containing this text; otherwise the results, joined by spaces.
        std::string outcome;
    } const cases[] = {
        {"find, a pattern of 50 MB parsed", "return ('xyz'):find(('a'):rep(50000000) .. '.')", budget},
        {"gmatch, a pattern of 50 MB parsed", "for x in ('xyz'):gmatch(('a'):rep(50000000) .. '.') do end", budget},
        {"find, a parsed pattern past the memory limit", "return ('xyz'):find(('a*'):rep(7500000))",
         "not enough memory"},
        // Most candidates differ at their second byte.
        {"plain find, a long needle",
         "return ('the event loop keeps every connection '):rep(50000):find('e' .. ('z'):rep(999), 1, true)", "nil"},
        {"find, a long needle without specials",
         "return ('the event loop keeps every connection '):rep(50000):find('e' .. ('z'):rep(999))", "nil"},
        {"gsub, a replacement of many escapes", "return ('y'):rep(40000):gsub('x*', ('%0'):rep(40000))", budget},
        // Every comparison with the capture goes far before it differs.
        {"back reference, long comparisons",
         "return (('a'):rep(100000) .. 'c' .. ('a'):rep(200000)):find('^(a+c).-%1')", budget},
    };
    // Room for the sanitizers' shadow memory and the allocator's slack.
    const std::size_t most_growth = kv::lua::memory_limit / 4 * 5 + (32u << 20);
    for (const auto& c : cases) {
        // Resets the peak to the resident memory now (where the kernel lets us).
        std::ofstream("/proc/self/clear_refs") << "5";
        const std::size_t before = resident("VmRSS");
        auto& script = start(c.code);
        drain();
        const std::size_t peak = resident("VmHWM");
        if (script.outcome == morva_test::script_t::failed) {
            EXPECT_NE(script.error.find(c.outcome), std::string::npos) << c.name << ": " << script.error;
        } else {
            std::string results;
            for (const auto& r : script.results)
                results += (results.empty() ? "" : " ") + r;
            EXPECT_EQ(results.substr(0, 200), c.outcome) << c.name;
        }
        EXPECT_LT(peak - std::min(peak, before), most_growth) << c.name;
        scripts.clear();
        lua_gc(L, LUA_GCCOLLECT, 0);
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
