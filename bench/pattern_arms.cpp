#include <chrono>
#include <stdexcept>
#include <string>

#include <lua.hpp>

#include "bench/arms.hpp"
#include "lua/instruction_budget.hpp"
#include "lua/string_patterns.hpp"

namespace bench {

namespace {

// What hooks typically do with patterns: a host or path prefix, a number,
// key=value pairs split, a short string rewritten. Returns a function of
// the number of loops, whose result tells the two libraries' answers apart.
const char* const workload = R"lua(
local find, match, gmatch, gsub = string.find, string.match, string.gmatch, string.gsub
local hosts = {"www.example.com", "api.example.org", "cdn-3.static.example.net", "localhost"}
local paths = {"/api/v1/items/42", "/static/app.js", "/login?next=/home", "/"}
local fields = "user=alice;group=staff;uid=1000;shell=/bin/sh"
return function(n)
  local sum = 0
  for i = 1, n do
    local host, path = hosts[i % 4 + 1], paths[i % 4 + 1]
    if find(host, "^www%.") then sum = sum + 1 end
    if match(host, "%.example%.com$") then sum = sum + 2 end
    if find(path, "^/api/") then sum = sum + 3 end
    local id = match(path, "%d+")
    if id then sum = sum + #id end
    for k, v in gmatch(fields, "([^;=]+)=([^;]*)") do sum = sum + #k + #v end
    sum = sum + #gsub(path, "[/?=]", "_")
  end
  return sum
end
)lua";

constexpr int loops_per_call = 200;

class library_t {
public:
    explicit library_t(bool ours)
    {
        luaL_openlibs(L);
        if (ours)
            kv::lua::register_string_patterns(L);
        if (luaL_dostring(L, workload) != LUA_OK)
            throw std::runtime_error(std::string("pattern workload: ") + lua_tostring(L, -1));
        work_ = luaL_ref(L, LUA_REGISTRYINDEX);
    }
    ~library_t() { lua_close(L); }
    library_t(const library_t&) = delete;
    library_t& operator=(const library_t&) = delete;

    // One call of the workload, as a hook's run: under the budget.
    lua_Integer call()
    {
        kv::lua::budget_scope_t run(L);
        lua_rawgeti(L, LUA_REGISTRYINDEX, work_);
        lua_pushinteger(L, loops_per_call);
        if (lua_pcall(L, 1, 1, 0) != LUA_OK)
            throw std::runtime_error(std::string("pattern workload: ") + lua_tostring(L, -1));
        const lua_Integer sum = lua_tointeger(L, -1);
        lua_pop(L, 1);
        return sum;
    }

    // Loops per second over `seconds`, after `warmup` seconds not counted.
    double rate(double warmup, double seconds)
    {
        using clock = std::chrono::steady_clock;
        const auto warm_end = clock::now() + std::chrono::duration<double>(warmup);
        while (clock::now() < warm_end)
            call();
        long calls = 0;
        const auto start = clock::now();
        const auto end = start + std::chrono::duration<double>(seconds);
        while (clock::now() < end) {
            call();
            ++calls;
        }
        return static_cast<double>(calls) * loops_per_call
               / std::chrono::duration<double>(clock::now() - start).count();
    }

private:
    lua_State* L = luaL_newstate();
    int work_ = LUA_NOREF;
};

} // namespace

void pattern_arms(report_t& report, const options_t& o, int round)
{
    if (!o.wants("patterns"))
        return;
    library_t stock(false), ours(true);
    if (stock.call() != ours.call())
        throw std::runtime_error("pattern workload: the two libraries answer differently");
    // Each goes first in every other round.
    library_t& first = round % 2 == 0 ? stock : ours;
    library_t& second = round % 2 == 0 ? ours : stock;
    const double first_rate = first.rate(o.warmup, o.seconds);
    const double second_rate = second.rate(o.warmup, o.seconds);
    report.add("patterns.stock", arm_sample_t::of(round % 2 == 0 ? first_rate : second_rate));
    report.add("patterns.ours", arm_sample_t::of(round % 2 == 0 ? second_rate : first_rate));
}

} // namespace bench
