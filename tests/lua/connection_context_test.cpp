// The hook's ctx: fields found on first read and kept, the process chain
// behind one process-finder request, names from the password and group
// databases, interfaces by index, and failures that read as nil.
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>

#include <boost/filesystem/operations.hpp>

#include "lua/connection_context.hpp"
#include "tests/lua/intercept_fixture.hpp"

namespace {

using morva_test::intercept_fixture;
using morva_test::script_t;

std::string user_name(uid_t uid)
{
    const passwd* entry = ::getpwuid(uid);
    return entry != nullptr ? entry->pw_name : "";
}

std::string group_name(gid_t gid)
{
    const group* entry = ::getgrgid(gid);
    return entry != nullptr ? entry->gr_name : "";
}

class connection_context_test : public intercept_fixture {
public:
    // Runs code as a program coroutine given a new ctx (which it may keep in a global).
    script_t& run(const std::string& code)
    {
        load(code);
        scripts.push_back(std::make_unique<script_t>(L));
        script_t& script = *scripts.back();
        fw::lua::intercept::push_context(script.thread(), info);
        script.start(1);
        return script;
    }

    // Runs code as a program coroutine on the ctx kept in the global `ctx`.
    script_t& again(const std::string& code) { return start("local ctx = ctx\n" + code); }

    bool logged(const std::string& line) const
    {
        const auto all = lines_from();
        return std::find(all.begin(), all.end(), line) != all.end();
    }
};

TEST_F(connection_context_test, endpoints_and_divert_are_stored_on_first_read)
{
    auto& script = run(R"(
        local ctx = ...
        local before = rawget(ctx, "src")
        local a, b = ctx.src, ctx.src
        return before == nil, rawequal(a, b), rawequal(rawget(ctx, "src"), a), tostring(a), tostring(ctx.dst),
               ctx.divert, a.port, tostring(a.ip)
    )");
    ASSERT_EQ(script.outcome, script_t::finished) << script.error;
    EXPECT_EQ(script.results, (std::vector<std::string>{"true", "true", "true", "10.0.0.1:40000", "10.0.0.2:80",
                                                        "output", "40000.0", "10.0.0.1"}));
    EXPECT_TRUE(finder.requests.empty());
}

TEST_F(connection_context_test, other_keys_read_nil)
{
    auto& script = run(R"(
        local ctx = ...
        local n = 0
        for _ in pairs(ctx) do n = n + 1 end
        return ctx.nope, ctx[1], ctx[true], ctx.SRC, type(ctx.__index), n, ctx.__index(ctx), ctx.__index(),
               tostring(ctx.__index(5, "src")), tostring(ctx.__index({}, "divert"))
    )");
    ASSERT_EQ(script.outcome, script_t::finished) << script.error;
    // A direct call with something other than a table stores nothing and does not fail.
    EXPECT_EQ(script.results, (std::vector<std::string>{"nil", "nil", "nil", "nil", "function", "1", "nil", "nil",
                                                        "10.0.0.1:40000", "output"}));
}

TEST_F(connection_context_test, one_request_serves_the_process_chain)
{
    auto& script = run(R"(
        ctx = ...
        return ctx.exe_path, ctx.uid, ctx.gid, ctx.user, ctx.group, ctx.pid
    )");
    EXPECT_EQ(script.suspensions, 1);
    ASSERT_EQ(finder.requests.size(), 1u);
    EXPECT_EQ(finder.requests[0].src, info.source);
    EXPECT_EQ(finder.requests[0].dst, info.destination);
    finder.answer(0, ::getpid());
    ASSERT_EQ(script.outcome, script_t::finished) << script.error;
    EXPECT_EQ(script.suspensions, 1);
    EXPECT_EQ(script.results,
              (std::vector<std::string>{boost::filesystem::read_symlink("/proc/self/exe").string(),
                                        std::to_string(::geteuid()), std::to_string(::getegid()),
                                        user_name(::geteuid()), group_name(::getegid()),
                                        std::to_string(::getpid())}));

    // Every value found is a raw field now.
    auto& listed = again(R"(
        local names = {}
        for k in pairs(ctx) do names[#names + 1] = k end
        table.sort(names)
        return table.concat(names, ",")
    )");
    EXPECT_EQ(listed.results, (std::vector<std::string>{"__index,exe_path,gid,group,pid,uid,user"}));
    EXPECT_EQ(finder.requests.size(), 1u);
}

TEST_F(connection_context_test, reading_the_user_logs_the_climb)
{
    auto& script = run("local ctx = ... return ctx.user");
    const std::size_t before_answer = lines.size();
    EXPECT_EQ(lines_from(), (std::vector<std::string>{
                                "0 Attempting to retrieve originator user name",
                                "0 Attempting to retrieve originator uid/gid via /proc filesystem",
                                "0 Getting originator PID for connection 10.0.0.1:40000 --> 10.0.0.2:80",
                            }));
    finder.answer(0, ::getpid());
    ASSERT_EQ(script.outcome, script_t::finished) << script.error;
    EXPECT_EQ(lines_from(before_answer),
              (std::vector<std::string>{
                  "0 Originator PID is " + std::to_string(::getpid()),
                  "0 Originator uid=" + std::to_string(::geteuid()) + " gid=" + std::to_string(::getegid()),
                  "0 Originator user name is " + user_name(::geteuid()),
              }));
}

TEST_F(connection_context_test, preset_ids_need_no_process)
{
    info.uid = 0;
    info.gid = 0;
    auto& script = run(R"(
        ctx = ...
        return ctx.uid, ctx.gid, ctx.user, ctx.group
    )");
    ASSERT_EQ(script.outcome, script_t::finished) << script.error;
    EXPECT_EQ(script.suspensions, 0);
    EXPECT_TRUE(finder.requests.empty());
    EXPECT_EQ(script.results, (std::vector<std::string>{"0", "0", user_name(0), group_name(0)}));
    EXPECT_EQ(lines_from(), (std::vector<std::string>{
                                "0 Attempting to retrieve originator user name",
                                "0 Originator user name is " + user_name(0),
                                "0 Attempting to retrieve originator group name",
                                "0 Originator group name is " + group_name(0),
                            }));

    auto& pid = again("return ctx.pid");
    EXPECT_EQ(pid.suspensions, 1);
    ASSERT_EQ(finder.requests.size(), 1u);
    finder.answer(0, 4242);
    EXPECT_EQ(pid.results, (std::vector<std::string>{"4242"}));
}

TEST_F(connection_context_test, a_failed_pid_lookup_is_not_repeated)
{
    info.uid = 0; // the user still comes from the preset uid, also when gid is read first
    auto& script = run("ctx = ... return ctx.pid");
    finder.fail(0, "no owner");
    ASSERT_EQ(script.outcome, script_t::finished) << script.error;
    EXPECT_EQ(script.results, (std::vector<std::string>{"nil"}));
    EXPECT_TRUE(logged("1 Cannot get pid: no owner"));

    auto& rest = again(R"(
        local names = {}
        for k in pairs(ctx) do names[#names + 1] = k end
        return ctx.pid, ctx.exe_path, ctx.gid, ctx.group, ctx.uid, ctx.user, #names
    )");
    ASSERT_EQ(rest.outcome, script_t::finished) << rest.error;
    EXPECT_EQ(rest.suspensions, 0);
    EXPECT_EQ(finder.requests.size(), 1u);
    EXPECT_EQ(rest.results, (std::vector<std::string>{"nil", "nil", "nil", "nil", "0", user_name(0), "1"}));
}

TEST_F(connection_context_test, a_vanished_process_gives_nil_with_warnings)
{
    const int pid = 2147483647; // above every pid_max
    auto& script = run("local ctx = ... return ctx.uid, ctx.exe_path, ctx.pid, ctx.group");
    finder.answer(0, pid);
    ASSERT_EQ(script.outcome, script_t::finished) << script.error;
    EXPECT_EQ(script.results, (std::vector<std::string>{"nil", "nil", std::to_string(pid), "nil"}));
    const auto all = lines_from();
    const auto warning = [&](const std::string& start) {
        return std::count_if(all.begin(), all.end(), [&](const std::string& l) { return l.rfind(start, 0) == 0; });
    };
    EXPECT_EQ(warning("3 Cannot get status of process 2147483647: Cannot open /proc/2147483647/status"), 1);
    EXPECT_EQ(warning("3 Cannot get exe path for pid 2147483647: "), 1);
}

TEST_F(connection_context_test, ids_without_database_entries)
{
    const unsigned unknown = 2000000000;
    ASSERT_EQ(::getpwuid(unknown), nullptr);
    ASSERT_EQ(::getgrgid(unknown), nullptr);
    info.uid = unknown;
    info.gid = unknown;
    auto& script = run("local ctx = ... return ctx.user, ctx.uid, ctx.group, ctx.gid, ctx.user");
    ASSERT_EQ(script.outcome, script_t::finished) << script.error;
    EXPECT_EQ(script.results, (std::vector<std::string>{"nil", "2000000000", "nil", "2000000000", "nil"}));
    EXPECT_TRUE(logged("3 No user entry found for uid 2000000000"));
    EXPECT_TRUE(logged("3 No group entry found for gid 2000000000"));
    EXPECT_EQ(std::count(lines.begin(), lines.end(), std::make_pair(3, std::string("No user entry found for uid 2000000000"))),
              1);
}

TEST_F(connection_context_test, interfaces_by_index)
{
    struct case_t {
        std::optional<std::uint32_t> index;
        const char* value;
        const char* line; // the line after "Attempting to get iface_in"
    } const cases[] = {
        {std::nullopt, "nil", "1 Cannot get iface_in: no interface index provided"},
        {1, "lo", "0 iface_in is lo"},
        {99999, "nil", "3 No interface found for index 99999"},
    };
    for (const auto& c : cases) {
        lines.clear();
        info.in_interface = c.index;
        auto& script = run("ctx = ... return ctx.iface_in, ctx.iface_in, ctx.iface_out");
        ASSERT_EQ(script.outcome, script_t::finished) << script.error;
        EXPECT_EQ(script.results, (std::vector<std::string>{c.value, c.value, "nil"}));
        // One lookup per field: the second read adds no line.
        EXPECT_EQ(lines_from(), (std::vector<std::string>{"0 Attempting to get iface_in", c.line,
                                                          "0 Attempting to get iface_out",
                                                          "1 Cannot get iface_out: no interface index provided"}))
            << c.value;
    }
}

TEST_F(connection_context_test, an_assigned_field_is_never_looked_up)
{
    auto& script = run(R"(
        local ctx = ...
        ctx.user = "alice"
        return ctx.user
    )");
    ASSERT_EQ(script.outcome, script_t::finished) << script.error;
    EXPECT_EQ(script.results, (std::vector<std::string>{"alice"}));
    EXPECT_TRUE(finder.requests.empty());
    EXPECT_TRUE(lines.empty());
}

TEST_F(connection_context_test, process_fields_outside_a_program_coroutine)
{
    fw::lua::intercept::push_context(L, info);
    set_global("ctx");
    EXPECT_EQ(run_plain("assert(tostring(ctx.src) == '10.0.0.1:40000')"), "");
    const std::string error = run_plain("return ctx.pid");
    EXPECT_NE(error.find("No coroutine is running"), std::string::npos) << error;
    EXPECT_TRUE(finder.requests.empty());
}

TEST_F(connection_context_test, an_answer_for_a_gone_coroutine_does_nothing)
{
    run("local ctx = ... return ctx.pid");
    ASSERT_EQ(finder.requests.size(), 1u);
    scripts.clear();
    lua_gc(L, LUA_GCCOLLECT, 0); // the context goes with its table
    finder.answer(0, 1);
    drain();
}

} // namespace
