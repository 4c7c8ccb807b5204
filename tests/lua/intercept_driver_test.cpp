// Hook sessions: verdicts and failures as the diverter receives them, posted
// delivery, the session's log lines and prefix, waits inside the hook and
// sessions destroyed while they wait.
#include <pwd.h>

#include <algorithm>
#include <optional>

#include "lua/intercept_driver.hpp"
#include "tests/lua/intercept_fixture.hpp"

namespace {

using fw::lua::intercept::artifacts_t;
using fw::lua::intercept::driver_t;
using fw::lua::intercept::verdict_t;

struct delivery_t {
    std::string error; // empty for a verdict
    verdict_t verdict;
    artifacts_t artifacts;
};

class intercept_driver_test : public morva_test::intercept_fixture {
public:
    ~intercept_driver_test() override { drivers.clear(); }

    // A session of the hook defined by `body` (the body of function(ctx)).
    driver_t& session(const std::string& body, const std::string& id = "7")
    {
        load("return function(ctx)\n" + body + "\nend");
        EXPECT_EQ(lua_pcall(L, 0, 1, 0), LUA_OK);
        drivers.push_back(std::make_unique<driver_t>(L, io, info, id));
        driver_t& driver = *drivers.back();
        EXPECT_EQ(lua_gettop(L), 0);
        return driver;
    }

    // Records every delivery of the driver into `deliveries`.
    void listen(driver_t& driver)
    {
        driver.set_completion_handler([this](std::exception_ptr e, verdict_t verdict, const artifacts_t& artifacts) {
            deliveries.push_back({e ? kv::util::exception_message(e) : "", verdict, artifacts});
        });
    }

    // Runs the session to its delivery, answering every pid request with an error.
    delivery_t decide(const std::string& body)
    {
        deliveries.clear();
        driver_t& driver = session(body);
        listen(driver);
        for (std::size_t i = 0; i < finder.requests.size(); ++i)
            finder.fail(i, "no owner");
        finder.requests.clear();
        drain();
        EXPECT_EQ(deliveries.size(), 1u) << body;
        return deliveries.empty() ? delivery_t{"none", fw::lua::intercept::CHECK, {}} : deliveries.back();
    }

    std::vector<std::unique_ptr<driver_t>> drivers;
    std::vector<delivery_t> deliveries;
};

TEST_F(intercept_driver_test, verdicts_and_failures)
{
    info.uid = 0; // CHECK looks up the user: from the preset uid here
    const std::string root = ::getpwuid(0)->pw_name;
    using fw::lua::intercept::CHECK;
    using fw::lua::intercept::DROP;
    using fw::lua::intercept::PASS;
    using fw::lua::intercept::REJECT;
    struct case_t {
        const char* body;
        verdict_t verdict;
        const char* error;
        std::optional<std::string> user; // absent unless the session looked it up
    } const cases[] = {
        {"return 'pass'", PASS, "", {}},
        {"return 'PaSs'", PASS, "", {}},
        {"return 'drop'", DROP, "", {}},
        {"return 'REJECT'", REJECT, "", {}},
        {"return 'check'", CHECK, "", root},
        {"return 'Check'", CHECK, "", root},
        {"return ' pass'", CHECK, "incorrect return value:  pass", root},
        {"return 'Allow'", CHECK, "incorrect return value: allow", root},
        {"return", CHECK, "Expected string, got nil", root},
        {"return 1", CHECK, "Expected string, got number", root},
        {"return {}", CHECK, "Expected string, got table", root},
        {"error('boom', 0)", CHECK, "boom", root},
        {"error(setmetatable({}, { __tostring = function() return 'described' end }))", CHECK, "described", root},
        // Described outside every protected call: a failing "__tostring" must not end the process.
        {"error(setmetatable({}, { __tostring = function() error('tostring broken', 0) end }))", CHECK,
         "tostring broken", root},
        {"local u = ctx.user return 'pass'", PASS, "", root},
        // Stopped by the instruction budget, which ends the whole run at once.
        {"while true do end", CHECK, "test:2: instruction budget of 20000000 exceeded without a wait", {}},
        // Described after the run: the description has a budget of its own.
        {"error(setmetatable({}, { __tostring = function() while true do end end }))", CHECK,
         "test:2: instruction budget of 20000000 exceeded without a wait", root},
        // A hook cannot end the daemon.
        {"os.exit(3)", CHECK, "test:2: os.exit is not allowed in a hook", root},
        {"require('os').exit(true, true)", CHECK, "test:2: os.exit is not allowed in a hook", root},
        // Failures outside the hook's protected call lose the artifacts.
        {"coroutine.yield()", CHECK, "Coroutine tag not found", {}},
        {"coroutine.yield('not a tag')", CHECK, "Invalid coroutine tag", {}},
        {"ctx.__index = function() error('index broken', 0) end return 'check'", CHECK, "index broken", {}},
        {"ctx.__index = function() require('morva.lookup').check({}, 'a@b') end return 'check'", CHECK,
         "Check: first arg must be a string or have __tostring metamethod", {}},
    };
    for (const auto& c : cases) {
        const delivery_t d = decide(c.body);
        EXPECT_EQ(d.verdict, c.verdict) << c.body;
        EXPECT_EQ(d.error, c.error) << c.body;
        EXPECT_EQ(d.artifacts.user, c.user) << c.body;
        EXPECT_EQ(d.artifacts.exe_path, std::nullopt) << c.body;
    }
    // The state stays usable after every failure.
    EXPECT_EQ(decide("return 'drop'").verdict, DROP);
}

TEST_F(intercept_driver_test, a_decision_without_waiting_is_still_posted)
{
    driver_t& driver = session("return 'drop'");
    EXPECT_EQ(lines_from(), (std::vector<std::string>{"1 Session 7: started 10.0.0.1:40000 -> 10.0.0.2:80",
                                                      "1 Session 7: DROP "}));
    listen(driver);
    EXPECT_TRUE(deliveries.empty());
    drain();
    ASSERT_EQ(deliveries.size(), 1u);
    EXPECT_EQ(deliveries[0].verdict, fw::lua::intercept::DROP);
    EXPECT_EQ(deliveries[0].error, "");
    EXPECT_FALSE(deliveries[0].artifacts.user);
    EXPECT_FALSE(deliveries[0].artifacts.exe_path);

    // A handler set later gets the same result; the handler may destroy the driver.
    driver.set_completion_handler([this](std::exception_ptr e, verdict_t verdict, const artifacts_t&) {
        deliveries.push_back({e ? "failure" : "", verdict, {}});
        drivers.clear();
    });
    drain();
    ASSERT_EQ(deliveries.size(), 2u);
    EXPECT_EQ(deliveries[1].verdict, fw::lua::intercept::DROP);
    EXPECT_TRUE(drivers.empty());
}

TEST_F(intercept_driver_test, the_session_line_names_the_fields_found)
{
    info.in_interface = 1;
    driver_t& driver = session("local _ = ctx.pid, ctx.iface_in, ctx.src, ctx.divert, ctx.iface_out return 'pass'");
    listen(driver);
    ASSERT_EQ(finder.requests.size(), 1u);
    finder.answer(0, 42);
    drain();
    ASSERT_EQ(deliveries.size(), 1u);
    const auto all = lines_from();
    EXPECT_EQ(all.back(), "1 Session 7: PASS src=10.0.0.1:40000 divert=output iface_in=lo pid=42");

    // With the hook's error, and fields the hook set itself.
    lines.clear();
    driver_t& failing = session("ctx.uid = 3.75 ctx.user = 'eve' error('bad', 0)", "8");
    listen(failing);
    ASSERT_EQ(finder.requests.size(), 2u); // the artifacts of the CHECK
    finder.fail(1, "no owner");
    drain();
    EXPECT_EQ(lines_from().back(), "1 Session 8: bad: uid=3 user=eve");

    // A field whose "__tostring" fails is written with its error.
    lines.clear();
    driver_t& odd = session("ctx.group = setmetatable({}, { __tostring = function() error('no text', 0) end }) "
                            "return 'drop'",
                            "9");
    listen(odd);
    drain();
    EXPECT_EQ(lines_from().back(), "1 Session 9: DROP group=no text");

    // After a failure outside the hook's protected call, from the ended thread.
    lines.clear();
    driver_t& broken = session("local _ = ctx.src ctx.__index = function() error('index broken', 0) end "
                               "return 'check'",
                               "10");
    listen(broken);
    drain();
    EXPECT_EQ(lines_from().back(), "1 Session 10: index broken: src=10.0.0.1:40000");
}

TEST_F(intercept_driver_test, artifacts_that_are_not_strings_are_dropped)
{
    const delivery_t d = decide("ctx.user = 'alice' ctx.exe_path = 5 return 'check'");
    EXPECT_EQ(d.artifacts.user, "alice");
    EXPECT_EQ(d.artifacts.exe_path, std::nullopt);
    const auto all = lines_from();
    EXPECT_NE(std::find(all.begin(), all.end(), "3 Session 7: Field \"exe_path\" is not a string"), all.end());
    EXPECT_TRUE(finder.requests.empty());
}

TEST_F(intercept_driver_test, lines_of_a_running_session_carry_its_prefix)
{
    driver_t& first = session(R"(
        local morva = require("morva")
        morva.info("hello")
        morva.sleep(0)
        morva.info("again")
        return "check"
    )", "A");
    listen(first);
    info.uid = 0;
    driver_t& second = session("require('morva').warning(tostring(ctx.pid)) return 'pass'", "B");
    listen(second);
    kv::util::log(1, "between");
    ASSERT_EQ(finder.requests.size(), 1u);
    finder.answer(0, 99);
    drain();
    // The sleeping session A asks for its pid only after its sleep; fail it.
    ASSERT_EQ(finder.requests.size(), 2u);
    finder.fail(1, "no owner");
    drain();
    kv::util::log(1, "after");
    ASSERT_EQ(deliveries.size(), 2u);

    std::vector<std::string> relevant;
    for (const auto& line : lines_from())
        if (line.find("Lua: ") != std::string::npos || line.find("between") != std::string::npos ||
            line.find("after") != std::string::npos || line.find("pid") != std::string::npos)
            relevant.push_back(line);
    EXPECT_EQ(relevant, (std::vector<std::string>{
                            "1 Session A: Lua: hello",
                            "1 between",
                            "3 Session B: Lua: 99",
                            "1 Session B: PASS pid=99",
                            "1 Session A: Lua: again",
                            "0 Session A: Lua: Verdict is CHECK; gathering hook artifacts for Pellad",
                            "1 Session A: Cannot get pid: no owner",
                            "1 after",
                        }));
}

TEST_F(intercept_driver_test, a_session_destroyed_while_it_waits_never_delivers)
{
    driver_t& on_pid = session("local p = ctx.pid return 'pass'");
    listen(on_pid);
    driver_t& on_sleep = session("require('morva').sleep(0) return 'pass'");
    listen(on_sleep);
    driver_t& on_lookup = session("return require('morva.lookup').lookup('cidr@x')[1]");
    listen(on_lookup);
    drivers.clear();
    lua_gc(L, LUA_GCCOLLECT, 0);
    ASSERT_EQ(finder.requests.size(), 1u);
    finder.answer(0, 1);
    ASSERT_EQ(delegate.lookups.size(), 1u);
    delegate.lookups[0].callback(nullptr, {"pass"});
    drain();
    EXPECT_TRUE(deliveries.empty());
    // The state goes on serving new sessions.
    EXPECT_EQ(decide("return 'reject'").verdict, fw::lua::intercept::REJECT);
}

} // namespace
