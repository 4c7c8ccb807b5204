// The intercept module's registry entries and the chunk that calls the hook.
#include <memory>

#include "lua/intercept_types.hpp"
#include "tests/lua/lua_fixture.hpp"

namespace {

using morva_test::lua_fixture;
namespace intercept = fw::lua::intercept;

class intercept_types_test : public lua_fixture {
public:
    // Runs get_artifacts(hook, ctx) on a context that, like the real one,
    // keeps what it looked up (recorded in LOOKED); returns the four results as texts.
    std::vector<std::string> call(const std::string& hook)
    {
        EXPECT_EQ(run_plain("LOOKED = {} CTX = setmetatable({}, { __index = function(t, k)"
                            " LOOKED[#LOOKED + 1] = k rawset(t, k, 'looked-' .. k) return t[k] end })"),
                  "");
        kv::lua::get_registry(L, intercept::registry_key::get_artifacts);
        load("return " + hook);
        lua_call(L, 0, 1);
        lua_getglobal(L, "CTX");
        std::vector<std::string> results;
        if (lua_pcall(L, 2, 4, 0) != LUA_OK) {
            ADD_FAILURE() << kv::lua::error_text(L);
            return results;
        }
        for (int i = 1; i <= 4; ++i)
            results.push_back(kv::lua::tostring(L, i));
        lua_settop(L, 0);
        return results;
    }

    std::string looked()
    {
        load("return table.concat(LOOKED, ',')");
        lua_call(L, 0, 1);
        std::string text = kv::lua::to_string(L, -1);
        lua_pop(L, 1);
        return text;
    }
};

TEST_F(intercept_types_test, registry_entries)
{
    struct entry_t {
        const char* key;
        int type;
    } const entries[] = {
        {intercept::registry_key::process_finder, LUA_TLIGHTUSERDATA},
        {intercept::registry_key::tcp_endpoint_metatable, LUA_TTABLE},
        {intercept::registry_key::shared_ptr_metatable, LUA_TTABLE},
        {intercept::registry_key::get_artifacts, LUA_TFUNCTION},
    };
    for (const auto& entry : entries) {
        kv::lua::get_registry(L, entry.key);
        EXPECT_EQ(lua_type(L, -1), entry.type) << entry.key;
        lua_pop(L, 1);
    }
}

TEST_F(intercept_types_test, verdict_words)
{
    const std::pair<intercept::verdict_t, const char*> words[] = {
        {intercept::CHECK, "CHECK"}, {intercept::PASS, "PASS"}, {intercept::DROP, "DROP"}, {intercept::REJECT, "REJECT"}};
    for (const auto& [verdict, word] : words)
        EXPECT_STREQ(intercept::verdict_log_word(verdict), word);
    EXPECT_EQ(intercept::CHECK, 0);
    EXPECT_EQ(intercept::REJECT, 3);
}

TEST_F(intercept_types_test, the_hook_chunk)
{
    struct case_t {
        const char* hook;
        std::vector<std::string> results; // val, ok, exe_path, user
        const char* looked;               // fields read through the context
    } const cases[] = {
        {"function() return 'DROP' end", {"DROP", "true", "nil", "nil"}, ""},
        {"function() return 'Reject' end", {"Reject", "true", "nil", "nil"}, ""},
        {"function(ctx) rawset(ctx, 'user', 'u') return 'pass' end", {"pass", "true", "nil", "u"}, ""},
        {"function(ctx) local _ = ctx.exe_path return 'pass' end", {"pass", "true", "looked-exe_path", "nil"},
         "exe_path"},
        {"function() return 'check' end", {"check", "true", "looked-exe_path", "looked-user"}, "exe_path,user"},
        {"function() return ' pass' end", {" pass", "true", "looked-exe_path", "looked-user"}, "exe_path,user"},
        {"function() return 5 end", {"5", "true", "looked-exe_path", "looked-user"}, "exe_path,user"},
        {"function() return {} end", {"", "true", "looked-exe_path", "looked-user"}, "exe_path,user"},
        {"function() end", {"nil", "true", "looked-exe_path", "looked-user"}, "exe_path,user"},
        {"function() error('hook failed', 0) end", {"hook failed", "false", "looked-exe_path", "looked-user"},
         "exe_path,user"},
    };
    for (const auto& c : cases) {
        lines.clear();
        auto results = call(c.hook);
        ASSERT_EQ(results.size(), 4u) << c.hook;
        if (results[0].rfind("table: ", 0) == 0)
            results[0].clear();
        EXPECT_EQ(results, c.results) << c.hook;
        EXPECT_EQ(looked(), c.looked) << c.hook;
        const bool check = *c.looked != '\0' && std::string(c.looked) != "exe_path";
        if (check) {
            ASSERT_EQ(lines.size(), 1u) << c.hook;
            EXPECT_EQ(lines[0], std::make_pair(0, std::string("Lua: Verdict is CHECK; gathering hook artifacts for Pellad")));
        } else {
            EXPECT_TRUE(lines.empty()) << c.hook;
        }
    }
}

TEST_F(intercept_types_test, the_hook_may_wait_inside_the_chunk)
{
    kv::lua::get_registry(L, intercept::registry_key::get_artifacts);
    set_global("get_artifacts");
    const auto results = finish(R"(
        local morva = require("morva")
        local ctx = {}
        return get_artifacts(function(c)
            morva.sleep(0)
            local f = morva.async(function() morva.sleep(0) return "reject" end)
            rawset(c, "user", "waited")
            return f.wait()
        end, ctx)
    )");
    EXPECT_EQ(results, (std::vector<std::string>{"reject", "true", "nil", "waited"}));
}

TEST_F(intercept_types_test, shared_pointer_userdata_is_released_by_the_collector)
{
    auto held = std::make_shared<int>(7);
    new (lua_newuserdata(L, sizeof(std::shared_ptr<void>))) std::shared_ptr<void>(held);
    luaL_setmetatable(L, intercept::registry_key::shared_ptr_metatable);
    EXPECT_EQ(held.use_count(), 2);
    lua_pop(L, 1);
    lua_gc(L, LUA_GCCOLLECT, 0);
    EXPECT_EQ(held.use_count(), 1);
}

} // namespace
