// The memory limit of the state: a run that allocates past it fails with
// Lua's "not enough memory", the state goes on, and the count of its
// allocator stays exact, so the memory shows as released after a collection.
#include <string>

#include "lua/memory_limit.hpp"
#include "tests/lua/lua_fixture.hpp"

namespace {

using morva_test::lua_fixture;

class memory_limit_test : public lua_fixture {
public:
    // What Lua itself counts; equal to the allocator's count when every
    // block went through it and every release was counted.
    std::size_t lua_count() { return std::size_t(lua_gc(L, LUA_GCCOUNT, 0)) * 1024 + lua_gc(L, LUA_GCCOUNTB, 0); }

    std::size_t collected()
    {
        lua_gc(L, LUA_GCCOLLECT, 0);
        return kv::lua::memory_in_use(L);
    }
};

TEST_F(memory_limit_test, a_run_past_the_limit_fails_and_its_memory_is_released)
{
    struct case_t {
        const char* name;
        const char* code;
    } const cases[] = {
        {"one huge string", "local s = string.rep('x', 2^31 - 1) return #s"},
        {"a table growing in a loop", "local t = {} while true do t[#t + 1] = ('x'):rep(4096) .. #t end"},
        {"a string doubling", "local s = 'x' while true do s = s .. s end"},
        // Kept by a global: released once the global is gone.
        {"a global table", "big = {} for i = 1, 1e9 do big[i] = ('z'):rep(1000) .. i end"},
    };
    const std::size_t start = collected();
    EXPECT_EQ(kv::lua::memory_in_use(L), lua_count());
    for (const auto& c : cases) {
        const std::string error = failure(c.code);
        EXPECT_NE(error.find("not enough memory"), std::string::npos) << c.name << ": " << error;
        // At most what describing the failure took after the run, which is always served.
        EXPECT_LE(kv::lua::memory_in_use(L), kv::lua::memory_limit + (64u << 10)) << c.name;
        EXPECT_EQ(kv::lua::memory_in_use(L), lua_count()) << c.name;
        // A failed thread keeps its stack until it is collected.
        scripts.clear();
        ASSERT_EQ(run_plain("big = nil"), "");
        EXPECT_LT(collected(), start + (1u << 20)) << c.name;
        EXPECT_EQ(kv::lua::memory_in_use(L), lua_count()) << c.name;
    }
    // The state goes on.
    EXPECT_EQ(finish("return #('x'):rep(2^20)"), std::vector<std::string>{"1048576"});
}

// An error outside every protected call leaves the state unusable: the
// process logs it and ends with its own status, instead of Lua's abort.
TEST(memory_limit_panic, an_unprotected_error_ends_the_process_with_its_status)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            lua_State* state = kv::lua::new_limited_state();
            lua_pushstring(state, "boom");
            lua_error(state);
        },
        testing::ExitedWithCode(124), "Lua PANIC, an error outside every protected call: boom");
}

} // namespace
