// sleep on event-loop timers, async and wait.
#include <chrono>
#include <cstddef>

#include <malloc.h>
#if defined(__SANITIZE_ADDRESS__)
// AddressSanitizer's allocator, which stands in for malloc's (g++ ships no header for it).
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#endif

#include "lua/memory_limit.hpp"
#include "tests/lua/lua_fixture.hpp"

namespace {

using morva_test::lua_fixture;
using morva_test::script_t;
using namespace std::chrono_literals;

class future_test : public lua_fixture {
public:
    future_test() { EXPECT_EQ(run_plain("morva = require('morva')"), ""); }

    std::string global(const char* name)
    {
        lua_getglobal(L, name);
        std::string text = kv::lua::tostring(L, -1);
        lua_pop(L, 1);
        return text;
    }

    kv::util::logger_t prefixed(std::string prefix)
    {
        return [this, prefix](kv::util::log_level_t level, const std::string& text) {
            lines.emplace_back(level, prefix + text);
        };
    }

    std::vector<std::string> texts() const
    {
        std::vector<std::string> out;
        for (const auto& line : lines)
            out.push_back(line.second);
        return out;
    }
};

TEST_F(future_test, sleep_without_delay_resumes_at_the_next_turn)
{
    for (const char* seconds : {"0", "-1", "-math.huge", "0/0", "'0'"}) {
        auto& script = start(std::string("morva.sleep(") + seconds + ") return 'woke'");
        EXPECT_EQ(script.outcome, script_t::pending) << seconds;
        EXPECT_EQ(script.suspensions, 1) << seconds;
        io.poll();
        io.restart();
        EXPECT_EQ(script.outcome, script_t::finished) << seconds;
        EXPECT_EQ(script.results, std::vector<std::string>{"woke"}) << seconds;
    }
}

TEST_F(future_test, sleep_waits_on_a_timer)
{
    const auto begin = std::chrono::steady_clock::now();
    auto& script = start("morva.sleep(0.05) return 'woke'");
    drain();
    const auto elapsed = std::chrono::steady_clock::now() - begin;
    EXPECT_EQ(script.outcome, script_t::finished);
    EXPECT_GE(elapsed, 50ms);
    EXPECT_LT(elapsed, 5s);
}

TEST_F(future_test, sleep_errors)
{
    EXPECT_EQ(run_plain("morva.sleep(0)"), "test:1: No coroutine is running");
    EXPECT_EQ(failure("morva.sleep('soon')"), "test:1: bad argument #1 to 'sleep' (number expected, got string)");
    EXPECT_EQ(failure("morva.sleep()"), "test:1: bad argument #1 to 'sleep' (number expected, got no value)");
}

TEST_F(future_test, endless_sleeps_end_with_the_state)
{
    auto& script = start("morva.sleep(math.huge) error('woke')");
    start("morva.sleep(1e300) error('woke')");
    EXPECT_EQ(script.suspensions, 1);
    scripts.clear();
    state.reset(); // destroys the timers: their completions find nothing alive
    const auto begin = std::chrono::steady_clock::now();
    drain();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 5s);
}

TEST_F(future_test, sleeps_end_with_their_coroutine)
{
    // Each leaves an hour-long sleep behind: a session that ended, a future
    // collected, and a sleep whose yield a plain coroutine swallowed before
    // the script waited on something else. None may keep the loop busy.
    struct case_t {
        const char* name;
        const char* code;
        bool destroy; // the script ends by its destruction
    } const cases[] = {
        {"ended session", "morva.sleep(3600)", true},
        {"collected future", "morva.async(function() morva.sleep(3600) end) collectgarbage() collectgarbage()", false},
        {"wait given up", "coroutine.wrap(function() morva.sleep(3600) end)() morva.sleep(0)", false},
    };
    for (const auto& c : cases) {
        auto& script = start(c.code);
        if (c.destroy)
            scripts.clear();
        const auto begin = std::chrono::steady_clock::now();
        io.run_for(5s);
        EXPECT_TRUE(io.stopped()) << c.name << ": a timer still waits";
        EXPECT_LT(std::chrono::steady_clock::now() - begin, 5s) << c.name;
        io.restart();
        if (!c.destroy) {
            EXPECT_EQ(script.outcome, script_t::finished) << c.name << ": " << script.error;
        }
    }
    // The cancelled waits released their timers' anchors: the collector takes the timers.
    lua_gc(L, LUA_GCCOLLECT, 0);
    lua_gc(L, LUA_GCCOLLECT, 0);
    EXPECT_EQ(run_plain("local n = 0 for _, v in pairs(debug.getregistry()) do if type(v) == 'userdata' and "
                        "getmetatable(v) == debug.getregistry()['kv.lua.morva.steady_timer_ptr_metatable'] then "
                        "n = n + 1 end end assert(n == 0, n .. ' timers anchored')"),
              "");
}

TEST_F(future_test, every_wait_gets_the_results)
{
    const auto results = finish(R"(
        local f = morva.async(function(a, b) morva.sleep(0.01) return a, nil, b end, 1, 3)
        local waited = table.pack(f.wait())
        local again = table.pack(f.wait())
        return waited.n, waited[1], waited[2], waited[3], again.n, again[1], again[2], again[3]
    )");
    EXPECT_EQ(results, (std::vector<std::string>{"3", "1", "nil", "3", "3", "1", "nil", "3"}));
}

TEST_F(future_test, async_runs_the_function_at_once_also_outside_a_coroutine)
{
    EXPECT_EQ(run_plain(R"(
        X = 0
        F = morva.async(function(v) X = v return v * 2 end, 21)
        assert(X == 21, "ran before async returned")
        assert(F.wait() == 42)
        local keys = {}
        for k in pairs(F) do keys[#keys + 1] = k end
        assert(#keys == 1 and keys[1] == "wait")
    )"), "");
    EXPECT_EQ(run_plain("morva.async(5)"), "test:1: bad argument #1 to 'async' (function expected, got number)");
    EXPECT_EQ(run_plain("F = morva.async(morva.sleep, 1) F.wait()"), "test:1: No coroutine is running");
}

TEST_F(future_test, waiters_resume_in_order)
{
    EXPECT_EQ(run_plain("ORDER = {} F = morva.async(function() morva.sleep(0.01) return 'v' end)"), "");
    auto& a = start("table.insert(ORDER, 'A' .. F.wait())");
    auto& b = start("table.insert(ORDER, 'B' .. F.wait())");
    EXPECT_EQ(a.outcome, script_t::pending);
    drain();
    EXPECT_EQ(a.outcome, script_t::finished);
    EXPECT_EQ(b.outcome, script_t::finished);
    EXPECT_EQ(run_plain("assert(table.concat(ORDER, ',') == 'Av,Bv', table.concat(ORDER, ','))"), "");
}

TEST_F(future_test, failed_futures)
{
    // Waiting before the failure and after it both get the error value itself.
    EXPECT_EQ(run_plain("E = {} F = morva.async(function() morva.sleep(0.01) error(E) end)"
                        " G = morva.async(function() morva.sleep(0.01) error('x', 0) end)"),
              "");
    auto& before = start("local ok, e = pcall(F.wait) assert(not ok and rawequal(e, E)) F.wait()");
    auto& before_text = start("G.wait()");
    drain();
    EXPECT_EQ(before.outcome, script_t::failed);
    EXPECT_FALSE(before.error_was_exception);
    EXPECT_EQ(before.error, global("E"));
    EXPECT_FALSE(before_text.error_was_exception);
    EXPECT_EQ(before_text.error, "x");
    EXPECT_EQ(run_plain("local ok, e = pcall(F.wait) assert(not ok and rawequal(e, E))"
                        " ok, e = pcall(G.wait) assert(not ok and e == 'x')"),
              "");

    // A yield outside the program's protocol fails the future.
    auto& untagged = start("return morva.async(function() coroutine.yield(1) end).wait()");
    EXPECT_EQ(untagged.outcome, script_t::failed);
    EXPECT_EQ(untagged.error, "Invalid coroutine tag");

    // An error value whose text cannot be made does not escape the waiter.
    auto& odd = start(R"(
        local f = morva.async(function()
            morva.sleep(0)
            error(setmetatable({}, { __tostring = function() error("no text", 0) end }))
        end)
        return f.wait()
    )");
    drain();
    EXPECT_EQ(odd.outcome, script_t::failed);
    EXPECT_EQ(odd.error, "no text");
}

// Bytes the process holds in malloc's blocks beyond those of the Lua state.
std::size_t held_outside_state(lua_State* L)
{
#if defined(__SANITIZE_ADDRESS__)
    const std::size_t heap = __sanitizer_get_current_allocated_bytes();
#else
    const std::size_t heap = mallinfo2().uordblks;
#endif
    const std::size_t state = kv::lua::memory_in_use(L);
    return heap > state ? heap - state : 0;
}

TEST_F(future_test, the_waiters_of_a_failed_future_share_its_error_value)
{
    // Twelve waiters keep what they caught of one 4 MiB error.
    const std::size_t before = held_outside_state(L);
    EXPECT_EQ(run_plain(R"(
        local F = morva.async(function() morva.sleep(0) error(string.rep("x", 4 * 2^20), 0) end)
        CAUGHT, WAITERS = {}, {}
        for i = 1, 12 do
            WAITERS[i] = morva.async(function() CAUGHT[i] = select(2, pcall(F.wait)) end)
        end
    )"), "");
    drain();
    EXPECT_EQ(run_plain("for i = 1, 12 do assert(CAUGHT[i] == string.rep('x', 4 * 2^20), i) end"), "");
    const std::size_t after = held_outside_state(L);
    EXPECT_LT(after, before + 2 * 1024 * 1024) << "held outside the state: " << before << " then " << after;
}

TEST_F(future_test, futures_keep_the_log_handler_of_their_start)
{
    kv::util::set_logger(prefixed("outer: "));
    EXPECT_EQ(run_plain(R"(
        F = morva.async(function()
            morva.info("first")
            morva.sleep(0)
            morva.info("second")
        end)
        morva.info("after")
    )"), "");
    kv::util::set_logger(prefixed("later: "));
    drain();
    kv::util::log(1, "end");
    EXPECT_EQ(texts(), (std::vector<std::string>{"outer: Lua: first", "outer: Lua: after", "outer: Lua: second",
                                                 "later: end"}));
}

TEST_F(future_test, collected_futures_never_resume)
{
    // Collected while sleeping.
    EXPECT_EQ(run_plain("morva.async(function() morva.sleep(0.01) X = 'ran' end) collectgarbage() collectgarbage()"),
              "");
    drain();
    EXPECT_EQ(global("X"), "nil");

    // Collected in the middle of its own run: the run goes on to its next
    // wait, which fails (no coroutine owns the thread any more); the handler
    // saved for the run is put back.
    kv::util::set_logger(prefixed("outer: "));
    EXPECT_EQ(run_plain(R"(
        morva.async(function()
            morva.sleep(0)
            collectgarbage() collectgarbage()
            Y = "continued"
            morva.info("still running")
            local ok, e = pcall(morva.sleep, 0)
            W = e
            morva.sleep(0)
            Z = "resumed"
        end)
    )"), "");
    drain();
    kv::util::log(1, "end");
    EXPECT_EQ(global("Y"), "continued");
    EXPECT_EQ(global("W"), "No coroutine is running");
    EXPECT_EQ(global("Z"), "nil");
    EXPECT_EQ(texts(), (std::vector<std::string>{"outer: Lua: still running", "outer: end"}));
}

TEST_F(future_test, nesting_too_deep_fails_instead_of_overflowing_the_stack)
{
    const auto results = finish(R"(
        local function depth(n)
            if n == 0 then return 0 end
            return morva.async(depth, n - 1).wait() + 1
        end
        local ok, e = pcall(depth, 100000)
        return depth(10), ok, e
    )");
    ASSERT_EQ(results.size(), 3u);
    EXPECT_EQ(results[0], "10");
    EXPECT_EQ(results[1], "false");
    EXPECT_NE(results[2].find("C stack overflow"), std::string::npos) << results[2];
}

TEST_F(future_test, results_that_do_not_fit_the_waiters_stack_fail_the_wait)
{
    // A waiter a hundred calls deep reads what the future's `body` returns
    // from `count` values, ready before its wait or handed over when the
    // future ends. Lua's stack holds a million values at most.
    const char* const unpack = "return table.unpack(values)";
    const char* const overflow = "local function r() return 1 + r() end return r()";
    const struct {
        const char* name;
        const char* body;
        int count;
        bool ready;
        const char* outcome; // the count read, or the error the wait raises
    } cases[] = {
        {"a thousand results, ready", unpack, 1000, true, "1000"},
        {"a thousand results, handed over", unpack, 1000, false, "1000"},
        {"nearly a million results, ready", unpack, 999900, true, "test:6: too many results"},
        {"nearly a million results, handed over", unpack, 999900, false, "test:6: too many results"},
        // The future's own stack is full: its error still reaches the waiter.
        {"a stack overflow, ready", overflow, 0, true, "test:2: stack overflow"},
        {"a stack overflow, handed over", overflow, 0, false, "test:2: stack overflow"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // The earlier cases' futures are finalized first: a collector step
        // on the overflowing stack would fail their finalizers, which Lua
        // then drops.
        lua_gc(L, LUA_GCCOLLECT, 0);
        const auto results = finish("local count, ready = " + std::to_string(c.count) + ", " +
                                    (c.ready ? "true" : "false") +
                                    " local values = {} for i = 1, count do values[i] = i end\n"
                                    "local body = function() " + c.body + " end" + R"(
            local f = morva.async(function() if not ready then morva.sleep(0) end return body() end)
            local function deep(n)
                if n == 0 then
                    return select('#', f.wait())
                end
                return (deep(n - 1))
            end
            local ok, read = pcall(deep, 100)
            return read
        )");
        EXPECT_EQ(results, std::vector<std::string>{c.outcome});
    }
}

} // namespace
