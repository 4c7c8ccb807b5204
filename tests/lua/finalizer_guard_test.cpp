// Scripts cannot give their objects finalizers: setmetatable and
// debug.setmetatable refuse a metatable with "__gc" for what Lua would mark,
// and the daemon's own metatables and io's file handles' are not handed out;
// all else as Lua does.
#include <initializer_list>

#include "tests/lua/lua_fixture.hpp"

namespace {

using morva_test::lua_fixture;

struct case_t {
    const char* code;
    const char* error; // "" when it runs
};

class finalizer_guard_test : public lua_fixture {
public:
    void expect_errors(std::initializer_list<case_t> cases)
    {
        for (const auto& c : cases)
            EXPECT_EQ(run_plain(c.code), c.error) << c.code;
    }
};

TEST_F(finalizer_guard_test, setting_metatables)
{
    expect_errors({
        {"setmetatable({}, { __gc = function() end })",
         "test:1: bad argument #2 to 'setmetatable' ('__gc' metamethods are not allowed)"},
        {"setmetatable({}, { __gc = true })",
         "test:1: bad argument #2 to 'setmetatable' ('__gc' metamethods are not allowed)"},
        {"debug.setmetatable({}, { __gc = function() end })",
         "test:1: bad argument #2 to 'setmetatable' ('__gc' metamethods are not allowed)"},
        {"debug.setmetatable(require('morva').ip('10.0.0.1'), { __gc = function() end })",
         "test:1: bad argument #2 to 'setmetatable' ('__gc' metamethods are not allowed)"},
        // A "__gc" added after the metatable was set marks nothing.
        {"local mt = {} local t = setmetatable({}, mt) mt.__gc = function() RAN = true end"
         " t = nil collectgarbage() collectgarbage() assert(not RAN)",
         ""},
        {"local t = {} assert(setmetatable(t, { __index = { a = 1 } }) == t and t.a == 1)"
         " assert(setmetatable(t, nil) == t and getmetatable(t) == nil)",
         ""},
        {"assert(debug.setmetatable(1, { __index = { b = 2 } }) == 1 and (1).b == 2) debug.setmetatable(1, nil)", ""},
        // Lua's own refusals stay as they were.
        {"setmetatable(setmetatable({}, { __metatable = 'mine' }), { __gc = print })",
         "test:1: cannot change a protected metatable"},
        {"setmetatable(1, {})", "test:1: bad argument #1 to 'setmetatable' (table expected, got number)"},
        {"setmetatable({}, 1)", "test:1: bad argument #2 to 'setmetatable' (nil or table expected)"},
        {"debug.setmetatable({}, 1)", "test:1: bad argument #2 to 'setmetatable' (nil or table expected)"},
        // The daemon's userdata keep their metatables to themselves.
        {"local ip = require('morva').ip('10.0.0.1') assert(getmetatable(ip) == true)"
         " assert(tostring(ip) == '10.0.0.1')",
         ""},
    });
}

// Walks every value a script reaches without the debug library, from the
// globals, the loaded modules, the string metatable and objects the
// libraries make: the keys and values of tables, what getmetatable answers,
// and what indexing reaches through a metatable's "__index" table. Returns
// the path of each reached metatable that carries "__gc" (a script could
// give it a finalizer of its own), or "".
constexpr const char* finalizer_metatables_reached = R"lua(
local roots = {
  _G = _G, ["package.loaded"] = package.loaded, ['getmetatable("")'] = getmetatable(""),
  ["io.open()"] = io.open("/dev/null"), ["io.tmpfile()"] = io.tmpfile(),
  ["morva.async()"] = require("morva").async(function() end), ["morva.ip()"] = require("morva").ip("10.0.0.1"),
  ["coroutine.create()"] = coroutine.create(function() end),
}
local raw_metatable = debug.getmetatable
local path, queue = {}, {}
local function reach(value, at)
  local kind = type(value)
  if (kind == "table" or kind == "userdata" or kind == "function" or kind == "thread") and not path[value] then
    path[value] = at
    queue[#queue + 1] = value
  end
end
for name, value in next, roots do reach(value, name) end
while #queue > 0 do
  local value = table.remove(queue)
  local at = path[value]
  if type(value) == "table" then
    for k, v in next, value do reach(k, at .. "[key]") reach(v, at .. "." .. tostring(k)) end
  end
  reach(getmetatable(value), "getmetatable(" .. at .. ")")
  local mt = raw_metatable(value)
  local index = type(mt) == "table" and rawget(mt, "__index")
  while type(index) == "table" do
    for k, v in next, index do reach(v, at .. "." .. tostring(k)) end
    local next_mt = raw_metatable(index)
    index = type(next_mt) == "table" and rawget(next_mt, "__index")
  end
end
local found, listed = {}, {}
for value in next, path do
  local mt = raw_metatable(value)
  if type(mt) == "table" and rawget(mt, "__gc") ~= nil and path[mt] and not listed[mt] then
    listed[mt] = true
    found[#found + 1] = path[mt]
  end
end
table.sort(found)
return table.concat(found, ", ")
)lua";

TEST_F(finalizer_guard_test, no_metatable_with_a_finalizer_is_within_reach)
{
    load(finalizer_metatables_reached);
    ASSERT_EQ(lua_pcall(L, 0, 1, 0), LUA_OK) << lua_tostring(L, -1);
    EXPECT_STREQ(lua_tostring(L, -1), "");
}

TEST_F(finalizer_guard_test, file_handles_keep_their_metatable_and_work)
{
    const std::string file = (dir / "lines.txt").string();
    EXPECT_EQ(run_plain("FILE = '" + file + "'"), "");
    expect_errors({
        // Lua runs a file handle's finalizer with the count hook off: one
        // that loops would hold the daemon.
        {"getmetatable(io.stdout).__gc = function() FINALIZED = true end",
         "test:1: attempt to index a boolean value"},
        {"io.stdout.__index.__gc = function() FINALIZED = true end",
         "test:1: attempt to index a nil value (field '__index')"},
        {"assert(getmetatable(io.stdout) == true and io.stdout.__gc == nil and io.stdout.__index == nil)", ""},
        {"local f = assert(io.open(FILE, 'w')) assert(f:write('one\\n', 'two\\n') == f) assert(f:close())", ""},
        {"local f = assert(io.open(FILE)) assert(f:read('l') == 'one' and f:read('a') == 'two\\n') f:close()"
         " assert(io.type(f) == 'closed file' and tostring(f) == 'file (closed)')",
         ""},
        {"local f = assert(io.open(FILE)) assert(io.type(f) == 'file' and tostring(f):match('^file %(0x%x+%)$'))"
         " f:close()",
         ""},
        {"local n = 0 for line in io.lines(FILE) do n = n + 1 end assert(n == 2)", ""},
        {"local t = {} for line in assert(io.open(FILE)):lines() do t[#t + 1] = line end"
         " assert(table.concat(t, ',') == 'one,two')",
         ""},
        {"local f = io.tmpfile() f:write('x') f:seek('set') assert(f:read(1) == 'x') f:setvbuf('no') f:flush()", ""},
        {"io.stdout:nothing()", "test:1: attempt to call a nil value (method 'nothing')"},
    });
    // A collected handle is still closed by its own finalizer.
    EXPECT_EQ(run_plain("for i = 1, 2000 do io.open(FILE) end collectgarbage() collectgarbage() assert(not FINALIZED)"),
              "");
}

} // namespace
