// Lua skips a finalizer for good when its protected call cannot start (the
// code that triggered the collection is nested at the C-call limit) and frees
// the object later without it. Each case drops one kind of the daemon's values
// on every pass of a loop that collects under ever deeper nested calls; no
// native code may reach a freed value, and what each value held is gone after
// the next safe point.
#include <dirent.h>

#include <chrono>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "lua/connection_context.hpp"
#include "lua/intercept_types.hpp"
#include "lua/ip_address.hpp"
#include "lua/memory_limit.hpp"
#include "lua/userdata_owners.hpp"
#include "tests/lua/lua_fixture.hpp"

namespace {

using morva_test::lua_fixture;
using morva_test::script_t;
using namespace std::chrono_literals;

// Counts the objects of a kind that live.
struct counted_t {
    static inline int live = 0;
    counted_t() { ++live; }
    counted_t(const counted_t&) { ++live; }
    ~counted_t() { --live; }
};

struct counted_error_t : std::runtime_error, counted_t {
    counted_error_t() : std::runtime_error("counted") {}
};

// The descriptors this process holds.
int open_descriptors()
{
    int count = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (::readdir(dir) != nullptr)
            ++count;
        ::closedir(dir);
    }
    return count;
}

// The loop: `make` creates and drops one value, then a collection runs under
// `depth` nested protected calls. Near the C-call limit the collection cannot
// call the finalizers of what it finds dead; a later one frees them.
std::string skipping_loop(const std::string& make)
{
    return "local morva = require('morva')\n"
           "for round = 1, 2 do\n"
           "  for depth = 120, 230 do\n"
           "    " + make + "\n"
           "    local function deep(n) if n == 0 then return collectgarbage('collect') end\n"
           "      return select(2, pcall(deep, n - 1)) end\n"
           "    pcall(deep, depth)\n"
           "  end\n"
           "end\n";
}

// Values the daemon's own code makes, for scripts to drop.
int make_exception(lua_State* L)
{
    kv::lua::push_exception(L, std::make_exception_ptr(counted_error_t()));
    return 1;
}

int make_shared_pointer(lua_State* L)
{
    fw::lua::intercept::push_shared_pointer(L, std::make_shared<counted_t>());
    return 1;
}

int make_endpoint(lua_State* L)
{
    kv::lua::morva::push_tcp_endpoint(L, {boost::asio::ip::make_address("10.0.0.1"), 443});
    return 1;
}

int make_context(lua_State* L)
{
    fw::lua::intercept::connection_info_t info;
    info.source = {boost::asio::ip::make_address("10.0.0.1"), 40000};
    info.destination = {boost::asio::ip::make_address("10.0.0.2"), 84};
    fw::lua::intercept::push_context(L, info);
    return 1;
}

class skipped_finalizers_test : public lua_fixture {
public:
    skipped_finalizers_test()
    {
        const luaL_Reg makers[] = {{"make_exception", make_exception},
                                   {"make_shared_pointer", make_shared_pointer},
                                   {"make_endpoint", make_endpoint},
                                   {"make_context", make_context},
                                   {nullptr, nullptr}};
        lua_pushglobaltable(L);
        luaL_setfuncs(L, makers, 0);
        lua_pop(L, 1);
    }

    kv::lua::userdata_owners_t& owners() { return *kv::lua::userdata_owners(L); }

    // Lua's count of IpAddress values the registry holds.
    int addresses_in_registry()
    {
        lua_pushnil(L);
        int count = 0;
        while (lua_next(L, LUA_REGISTRYINDEX) != 0) {
            if (kv::lua::morva::test_ip_address(L, -1) != nullptr)
                ++count;
            lua_pop(L, 1);
        }
        return count;
    }
};

TEST_F(skipped_finalizers_test, values_freed_without_their_finalizer_release_what_they_held)
{
    // A witness of what the value holds, read before and after.
    using measure_t = std::function<long()>;
    const measure_t state_memory = [this] { return long(kv::lua::memory_in_use(L)); };
    const measure_t descriptors = [] { return long(open_descriptors()); };
    const measure_t counted = [] { return long(counted_t::live); };
    const measure_t addresses = [this] { return long(addresses_in_registry()); };
    // What only the owners' count and the leak check at exit see.
    const measure_t nothing = [] { return 0L; };
    const measure_t woken = [this] {
        lua_getglobal(L, "WOKEN");
        const long n = long(lua_tointeger(L, -1));
        lua_pop(L, 1);
        return n;
    };
    const struct {
        const char* name;
        const char* make;
        measure_t measure;
        long slack; // how much the witness may have grown after all
        bool finalized = true; // the value has a finalizer Lua can skip
    } cases[] = {
        // The hook: the sleep's timer resumed the freed future.
        {"a sleeping future", "morva.async(function() morva.sleep(0.01) WOKEN = (WOKEN or 0) + 1 end)", woken, 0},
        // Its thread, with the 4 MiB result on its stack, stayed pinned. A
        // collection settles the debt of 4 MiB first, which would have the
        // collector's next step finalize the future at once.
        {"a finished future",
         "local f = morva.async(function() return ('x'):rep(4 * 2^20) end) collectgarbage() f = nil", state_memory,
         1 << 20},
        // The session's own sleep: a timer that has completed.
        {"a timer", "morva.sleep(0)", nothing, 0},
        {"an exception", "make_exception()", counted, 0},
        {"a shared pointer", "make_shared_pointer()", counted, 0},
        {"a connection context", "make_context()", nothing, 0},
        // It kept its IpAddress through the registry; now it owns nothing outside its userdata.
        {"an endpoint", "make_endpoint()", addresses, 0, false},
        {"a file of io.open", "io.open('/dev/null')", descriptors, 0},
        {"a file of io.lines", "io.lines('/dev/null')", descriptors, 0},
        {"a file of io.tmpfile", "io.tmpfile()", descriptors, 0},
        {"a file of io.input", "io.input('/dev/null')", descriptors, 0},
        {"a file of io.output", "io.output('/dev/null')", descriptors, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        lua_gc(L, LUA_GCCOLLECT, 0);
        const long before = c.measure();
        const std::size_t watched = owners().watched();
        const std::size_t orphaned = owners().orphaned();

        auto& script = start(skipping_loop(c.make));
        // Timers a future left may come due while the loop runs.
        for (int turn = 0; script.outcome == script_t::pending && turn < 1000; ++turn) {
            io.run_one_for(1s);
            io.restart();
        }
        ASSERT_EQ(script.outcome, script_t::finished) << script.error;
        EXPECT_EQ(run_plain("io.input(io.stdin) io.output(io.stdout)"), "");
        // What the loop's last skips left is freed now, outside every run:
        // the timers of freed futures come due before any safe point.
        lua_gc(L, LUA_GCCOLLECT, 0);
        io.run_for(50ms);
        io.restart();
        kv::lua::release_orphans(L);
        // The released values' waits end at once.
        io.run_for(5s);
        EXPECT_TRUE(io.stopped()) << "a timer still waits";
        io.restart();
        lua_gc(L, LUA_GCCOLLECT, 0);

        if (c.finalized) {
            EXPECT_GT(owners().orphaned(), orphaned) << "no finalizer was skipped";
        }
        EXPECT_EQ(owners().watched(), watched);
        EXPECT_LE(c.measure(), before + c.slack);
    }
}

// Lua keeps a value whose finalizer ran as a key of weak-keyed tables until
// the next cycle: reaching it there gives an error or an empty value.
TEST_F(skipped_finalizers_test, values_reached_after_their_finalizer_are_empty)
{
    const struct {
        const char* name;
        const char* code; // leaves the finalized value in the weak table's key
        const char* use;  // returns what using it gives
        const char* result;
    } cases[] = {
        {"an exception", "local _, e = pcall(require('morva.lookup').check, 5, 'a@b') KEEP[e] = true",
         "return tostring(next(KEEP))", "Unexpected exception"},
        {"a future", "KEEP[select(2, debug.getupvalue(require('morva').async(function() end).wait, 1))] = true",
         "local wait = require('morva').async(function() end).wait debug.setupvalue(wait, 1, (next(KEEP)))"
         " return select(2, pcall(wait))",
         "Future was collected"},
        {"a connection context", "KEEP[select(2, debug.getupvalue(getmetatable(make_context()).__index, 1))] = true",
         "local ctx = make_context() debug.setupvalue(getmetatable(ctx).__index, 1, (next(KEEP)))"
         " return select(2, pcall(function() return ctx.src end))",
         "test:1: Connection context was collected"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(run_plain(std::string("KEEP = setmetatable({}, { __mode = 'k' }) ") + c.code), "");
        lua_gc(L, LUA_GCCOLLECT, 0); // runs the finalizer; the value stays a key
        load(c.use);
        ASSERT_EQ(lua_pcall(L, 0, 1, 0), LUA_OK) << kv::lua::error_text(L);
        EXPECT_EQ(kv::lua::tostring(L, -1), c.result);
        lua_pop(L, 1);
    }
}

} // namespace
