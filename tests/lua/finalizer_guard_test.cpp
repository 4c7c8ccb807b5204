// Scripts cannot give their objects finalizers: setmetatable and
// debug.setmetatable refuse a metatable with "__gc" for what Lua would mark,
// and the daemon's own metatables are not handed out; all else as Lua does.
#include "tests/lua/lua_fixture.hpp"

namespace {

using morva_test::lua_fixture;

class finalizer_guard_test : public lua_fixture {};

TEST_F(finalizer_guard_test, setting_metatables)
{
    const struct {
        const char* code;
        const char* error; // "" when it runs
    } cases[] = {
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
    };
    for (const auto& c : cases)
        EXPECT_EQ(run_plain(c.code), c.error) << c.code;
}

} // namespace
