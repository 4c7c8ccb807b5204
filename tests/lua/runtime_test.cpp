// The runtime layer: registry entries, read-only proxies, text utilities, the
// exception userdata, tagged coroutines and the conversion of native errors.
#include <stdexcept>

#include <boost/asio/post.hpp>

#include "tests/lua/lua_fixture.hpp"

namespace {

using morva_test::lua_fixture;
using morva_test::script_t;

class runtime_test : public lua_fixture {
public:
    runtime_test()
    {
        kv::lua::get_registry(L, kv::lua::registry_key::make_const);
        set_global("make_const");
        lua_pushlightuserdata(L, this);
        lua_pushcclosure(L, wait_value, 1);
        set_global("wait_value");
        lua_pushcfunction(L, current);
        set_global("current");
    }

    // wait_value(v): waits for the event loop, then returns v.
    static int wait_value(lua_State* L)
    {
        auto* self = static_cast<runtime_test*>(lua_touserdata(L, lua_upvalueindex(1)));
        luaL_checkany(L, 1);
        lua_pushvalue(L, 1);
        kv::lua::registry_ref_t value(L);
        kv::lua::coroutine_t* co = kv::lua::current_coroutine(L);
        ++self->started;
        boost::asio::post(self->io, co->wrap([L, co, value = std::move(value)] {
            value.push(L);
            co->resume(0);
        }));
        return kv::lua::coroutine_t::yield(L, [](lua_State*, int, lua_KContext) { return 1; });
    }

    // current(): the registry's running-coroutine pointer.
    static int current(lua_State* L)
    {
        kv::lua::get_registry(L, kv::lua::registry_key::coroutine);
        return 1;
    }

    void* running_pointer()
    {
        kv::lua::get_registry(L, kv::lua::registry_key::coroutine);
        void* p = lua_touserdata(L, -1);
        lua_pop(L, 1);
        return p;
    }

    int started = 0;
};

TEST_F(runtime_test, registry_entries_of_a_new_state)
{
    struct entry_t {
        const char* key;
        int type;
    } const entries[] = {
        {kv::lua::registry_key::state, LUA_TLIGHTUSERDATA},
        {kv::lua::registry_key::table_getter, LUA_TFUNCTION},
        {kv::lua::registry_key::make_const, LUA_TFUNCTION},
        {kv::lua::registry_key::coroutine_tag, LUA_TTABLE},
        {kv::lua::registry_key::coroutine, LUA_TLIGHTUSERDATA},
        {kv::lua::registry_key::coroutine_environment, LUA_TTABLE},
        {kv::lua::registry_key::exception_ptr_metatable, LUA_TTABLE},
    };
    for (const auto& entry : entries) {
        kv::lua::get_registry(L, entry.key);
        EXPECT_EQ(lua_type(L, -1), entry.type) << entry.key;
        lua_pop(L, 1);
    }
    EXPECT_EQ(kv::lua::main_state(L), L);
    EXPECT_EQ(running_pointer(), nullptr);

    kv::lua::get_registry(L, kv::lua::registry_key::exception_ptr_metatable);
    lua_getfield(L, -1, "__name");
    EXPECT_STREQ(lua_tostring(L, -1), "kv.lua.exception_ptr_metatable");
    lua_pop(L, 2);

    // The getter honours metamethods.
    EXPECT_EQ(run_plain(R"(
        local t = setmetatable({}, { __index = function(_, k) return k .. "!" end })
        local getter = ...
    )"), "");
    kv::lua::get_registry(L, kv::lua::registry_key::table_getter);
    load("return setmetatable({ a = 1 }, { __index = function(_, k) return k .. '!' end })");
    lua_call(L, 0, 1);
    lua_pushliteral(L, "b");
    lua_call(L, 2, 1);
    EXPECT_STREQ(lua_tostring(L, -1), "b!");
    lua_pop(L, 1);
}

TEST_F(runtime_test, read_only_proxies)
{
    EXPECT_EQ(run_plain(R"(
        local inner = { b = 2 }
        local t = { a = 1, _hidden = 2, ["~tilde"] = 3, nested = inner, 10, 20 }
        local p = make_const(t)
        assert(make_const(t) == p, "one proxy per table")
        assert(p.a == 1 and p[1] == 10 and p[2] == 20)
        assert(p._hidden == nil and p["~tilde"] == nil, "hidden keys read nil")
        assert(p.nested.b == 2 and p.nested == make_const(inner) and p.nested ~= inner, "nested tables are proxies")
        assert(#p == 2)
        assert(tostring(p) == tostring(t))
        assert(getmetatable(p) == true)
        assert(not pcall(setmetatable, p, {}))
        assert(next(p) == nil, "the proxy itself is empty")

        local seen = {}
        for k, v in pairs(p) do seen[#seen + 1] = tostring(k) .. "=" .. type(v) end
        table.sort(seen)
        assert(table.concat(seen, ",") == "1=number,2=number,a=number,nested=table", table.concat(seen, ","))
        for k, v in pairs(p) do if k == "nested" then assert(v == p.nested) end end
    )"), "");
}

TEST_F(runtime_test, writes_through_a_proxy)
{
    // Every new or existing key, hidden ones included, is refused at the writer's position.
    for (const char* write : {"p.a = 5", "p.new = 1", "p._hidden = 1", "p[1] = 0", "p.nested.b = 3"}) {
        const std::string error = run_plain(std::string("local p = make_const({ a = 1, nested = {} })\n") + write);
        EXPECT_EQ(error, "test:2: Table modification is not allowed") << write;
    }
    // A table whose metatable takes assignments gets them; hidden keys stay refused.
    EXPECT_EQ(run_plain(R"(
        local log = {}
        local obj = setmetatable({}, { __newindex = function(t, k, v) log[#log + 1] = k .. "=" .. v end })
        local p = make_const(obj)
        p.x = 1
        assert(log[1] == "x=1" and rawget(obj, "x") == nil)
        assert(not pcall(function() p._y = 2 end))
        assert(#log == 1)
    )"), "");
}

TEST_F(runtime_test, proxy_concatenation_and_length_follow_the_table)
{
    EXPECT_EQ(run_plain(R"(
        local obj = setmetatable({}, {
            __concat = function(a, b)
                return (type(a) == "table" and "T" or a) .. (type(b) == "table" and "T" or b)
            end,
            __len = function() return 7 end,
        })
        local p = make_const(obj)
        assert("x" .. p == "xT")
        assert(p .. "y" == "Ty")
        assert(#p == 7)
    )"), "");
    EXPECT_NE(run_plain("return make_const({}) .. 'x'").find("attempt to concatenate"), std::string::npos);
}

TEST_F(runtime_test, type_names_and_mismatch_texts)
{
    const std::pair<int, const char*> names[] = {
        {LUA_TNIL, "nil"},           {LUA_TBOOLEAN, "boolean"},    {LUA_TLIGHTUSERDATA, "light userdata"},
        {LUA_TNUMBER, "number"},     {LUA_TSTRING, "string"},      {LUA_TTABLE, "table"},
        {LUA_TFUNCTION, "function"}, {LUA_TUSERDATA, "userdata"},  {LUA_TTHREAD, "thread"},
        {LUA_TNONE, "no value"},     {42, "no value"},
    };
    for (const auto& [type, name] : names)
        EXPECT_EQ(kv::lua::type_name(type), name) << type;
    EXPECT_EQ(kv::lua::type_mismatch_text(LUA_TSTRING, LUA_TNIL), "Expected string, got nil");
}

TEST_F(runtime_test, error_texts)
{
    struct case_t {
        const char* value;
        const char* text;
    } const cases[] = {
        {"return 'plain'", "plain"},
        {"return 3", "3"},
        {"return 2.5", "2.5"},
        {"return {}", "Unexpected error"},
        {"return true", "Unexpected error"},
        {"return setmetatable({}, { __tostring = function() return 'meta' end })", "meta"},
    };
    for (const auto& c : cases) {
        load(c.value);
        lua_call(L, 0, 1);
        const int top = lua_gettop(L);
        EXPECT_EQ(kv::lua::error_text(L), c.text) << c.value;
        EXPECT_EQ(lua_gettop(L), top - 1) << "the error object is popped";
    }
}

TEST_F(runtime_test, string_conversions)
{
    lua_pushlstring(L, "a\0b", 3);
    EXPECT_EQ(kv::lua::to_string(L, -1), std::string("a\0b", 3));
    lua_pushinteger(L, 12);
    EXPECT_EQ(kv::lua::to_string(L, -1), "12");
    EXPECT_EQ(lua_type(L, -1), LUA_TSTRING) << "converted in place";
    lua_pop(L, 2);

    load("return setmetatable({}, { __tostring = function() return 'shown' end })");
    lua_call(L, 0, 1);
    EXPECT_EQ(kv::lua::tostring(L, -1), "shown");
    EXPECT_EQ(kv::lua::to_string_or_meta(L, -1), "shown");
    EXPECT_EQ(lua_type(L, -1), LUA_TTABLE) << "the value stays";
    lua_pop(L, 1);

    // Without "__tostring" only strings and numbers pass.
    lua_pushcfunction(L, [](lua_State* L) {
        kv::lua::to_string_or_meta(L, 1);
        return 0;
    });
    set_global("to_string_or_meta");
    EXPECT_EQ(run_plain("to_string_or_meta(5) to_string_or_meta('x')"), "");
    EXPECT_EQ(run_plain("to_string_or_meta({})"), "test:1: bad argument #1 to 'to_string_or_meta' (string expected, got table)");
    EXPECT_EQ(run_plain("to_string_or_meta()"), "test:1: bad argument #1 to 'to_string_or_meta' (value expected)");

    // A failing "__tostring" does not escape safe_tostring.
    load("return setmetatable({}, { __tostring = function() error('broken', 0) end })");
    lua_call(L, 0, 1);
    EXPECT_EQ(kv::lua::safe_tostring(L, -1), "broken");
    lua_pop(L, 1);
}

TEST_F(runtime_test, exception_userdata)
{
    kv::lua::push_exception(L, std::make_exception_ptr(std::runtime_error("native failure")));
    const std::exception_ptr* held = kv::lua::test_exception(L, -1);
    ASSERT_NE(held, nullptr);
    EXPECT_EQ(kv::util::exception_message(*held), "native failure");
    EXPECT_EQ(kv::lua::tostring(L, -1), "native failure");
    lua_pop(L, 1);

    kv::lua::push_exception(L, std::make_exception_ptr(42));
    EXPECT_EQ(kv::lua::tostring(L, -1), "Unexpected exception");
    lua_pop(L, 1);

    lua_newtable(L);
    EXPECT_EQ(kv::lua::test_exception(L, -1), nullptr);
    lua_pop(L, 1);
    lua_gc(L, LUA_GCCOLLECT, 0); // "__gc" releases the held exceptions (the leak check sees it)
}

TEST_F(runtime_test, native_exceptions_become_lua_errors_and_destructors_run)
{
    static int destroyed;
    destroyed = 0;
    struct witness_t {
        ~witness_t() { ++destroyed; }
    };
    lua_pushcfunction(L, [](lua_State* L) {
        witness_t witness;
        return kv::lua::guarded(L, []() -> int { throw std::runtime_error("native text"); });
    });
    set_global("throws");
    lua_pushcfunction(L, [](lua_State* L) {
        witness_t witness;
        std::string held(100, 'x'); // heap memory the leak check would report
        return luaL_error(L, "lua error %d", 7);
    });
    set_global("raises");

    EXPECT_EQ(run_plain("throws()"), "test:1: native text");
    EXPECT_EQ(run_plain("local ok, e = pcall(throws) assert(not ok and e == 'native text')"), "");
    EXPECT_EQ(run_plain("raises()"), "test:1: lua error 7");
    EXPECT_EQ(destroyed, 3);
}

TEST_F(runtime_test, coroutine_ends)
{
    struct case_t {
        const char* body;
        script_t::outcome_t outcome;
        const char* text; // first result or error
    } const cases[] = {
        {"return 1, 'two'", script_t::finished, "1"},
        {"error('boom', 0)", script_t::failed, "boom"},
        {"coroutine.yield()", script_t::failed, "Coroutine tag not found"},
        {"coroutine.yield(1)", script_t::failed, "Invalid coroutine tag"},
        {"coroutine.yield({})", script_t::failed, "Invalid coroutine tag"},
        {"return wait_value('waited')", script_t::finished, "waited"},
    };
    for (const auto& c : cases) {
        auto& script = start(c.body);
        drain();
        EXPECT_EQ(script.outcome, c.outcome) << c.body;
        EXPECT_EQ(script.ends, 1) << c.body;
        EXPECT_EQ(script.outcome == script_t::finished ? script.results.at(0) : script.error, c.text) << c.body;
    }
    EXPECT_EQ(running_pointer(), nullptr);
}

TEST_F(runtime_test, waits_suspend_and_resume_in_order)
{
    auto& script = start(R"(
        local a = wait_value(1)
        local b = wait_value(2)
        return a + b, current()
    )");
    EXPECT_EQ(script.outcome, script_t::pending);
    EXPECT_EQ(script.suspensions, 1);
    EXPECT_EQ(running_pointer(), nullptr) << "outside every run";
    drain();
    EXPECT_EQ(script.suspensions, 2);
    ASSERT_EQ(script.outcome, script_t::finished);
    EXPECT_EQ(script.results[0], "3");
    char pointer[32];
    std::snprintf(pointer, sizeof pointer, "userdata: %p", static_cast<void*>(&script));
    EXPECT_EQ(script.results[1], pointer) << "the registry names the running coroutine";
}

TEST_F(runtime_test, nested_runs_leave_the_outer_coroutine_current)
{
    lua_pushlightuserdata(L, this);
    lua_pushcclosure(L, [](lua_State* L) {
        auto* self = static_cast<runtime_test*>(lua_touserdata(L, lua_upvalueindex(1)));
        luaL_loadstring(L, "return current()");
        self->scripts.push_back(std::make_unique<script_t>(L));
        self->scripts.back()->start();
        return 0;
    }, 1);
    set_global("run_inner");
    auto& outer = start(R"(
        local before = current()
        run_inner()
        return before == current(), before ~= nil
    )");
    drain();
    ASSERT_EQ(outer.outcome, script_t::finished) << outer.error;
    EXPECT_EQ(outer.results, (std::vector<std::string>{"true", "true"}));
    ASSERT_EQ(scripts.size(), 2u);
    EXPECT_NE(scripts[1]->results.at(0), outer.results.at(0));
    EXPECT_EQ(running_pointer(), nullptr);
}

TEST_F(runtime_test, each_run_sees_the_environment_current_at_creation)
{
    lua_newtable(L);
    lua_pushliteral(L, "first");
    lua_setfield(L, -2, "name");
    kv::lua::set_registry(L, kv::lua::registry_key::coroutine_environment);
    load(R"(
        local env = ...
        wait_value(0)
        return env().name
    )");
    lua_pushcfunction(L, [](lua_State* L) {
        kv::lua::get_registry(L, kv::lua::registry_key::coroutine_environment);
        return 1;
    });
    set_global("env");
    scripts.push_back(std::make_unique<script_t>(L));
    auto& script = *scripts.back();

    lua_newtable(L);
    lua_pushliteral(L, "second");
    lua_setfield(L, -2, "name");
    kv::lua::set_registry(L, kv::lua::registry_key::coroutine_environment);
    lua_getglobal(script.thread(), "env");
    script.start(1);
    drain();
    ASSERT_EQ(script.outcome, script_t::finished) << script.error;
    EXPECT_EQ(script.results.at(0), "first");
    EXPECT_EQ(run_plain("assert(env().name == 'second')"), "") << "the outer environment is back";
}

TEST_F(runtime_test, destroyed_while_suspended_its_completion_does_nothing)
{
    auto& script = start("wait_value(1) error('must not run')");
    EXPECT_EQ(script.suspensions, 1);
    scripts.clear();
    lua_gc(L, LUA_GCCOLLECT, 0);
    drain();
    EXPECT_EQ(running_pointer(), nullptr);
}

TEST_F(runtime_test, waiting_outside_a_coroutine_or_where_no_yield_can_happen)
{
    EXPECT_EQ(run_plain("wait_value(1)"), "test:1: No coroutine is running");
    // A yield across a C call is refused before the wait starts, so no
    // completion is left behind to resume the script later.
    auto& script = start(R"(
        local ok, e = pcall(table.sort, { 2, 1 }, function(a, b) wait_value(1) return a < b end)
        return ok, e
    )");
    EXPECT_EQ(started, 0);
    drain();
    ASSERT_EQ(script.outcome, script_t::finished);
    EXPECT_EQ(script.results.at(0), "false");
    EXPECT_NE(script.results.at(1).find("attempt to yield across a C-call boundary"), std::string::npos);
    EXPECT_EQ(script.ends, 1);
}

TEST_F(runtime_test, an_ended_coroutine_is_not_resumed_again)
{
    // A binding that misbehaves: two completions for one wait.
    lua_pushlightuserdata(L, this);
    lua_pushcclosure(L, [](lua_State* L) {
        auto* self = static_cast<runtime_test*>(lua_touserdata(L, lua_upvalueindex(1)));
        kv::lua::coroutine_t* co = kv::lua::current_coroutine(L);
        for (int i = 0; i < 2; ++i)
            boost::asio::post(self->io, co->wrap([co] { co->resume(0); }));
        return kv::lua::coroutine_t::yield(L);
    }, 1);
    set_global("wait_twice");
    auto& script = start("wait_twice() return 'done'");
    drain();
    EXPECT_EQ(script.outcome, script_t::finished);
    EXPECT_EQ(script.ends, 1);
}

} // namespace
