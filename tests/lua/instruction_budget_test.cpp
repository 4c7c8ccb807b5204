// The instruction budget of a run: a script that loops without waiting is
// stopped with a Lua error, also when it catches that error; waiting starts a
// fresh budget, and futures run by a coroutine draw on that run's budget.
#include <chrono>
#include <string>

#include "lua/instruction_budget.hpp"
#include "tests/lua/lua_fixture.hpp"

namespace {

using morva_test::lua_fixture;

const std::string exceeded =
    "instruction budget of " + std::to_string(kv::lua::instruction_budget) + " exceeded without a wait";

// A loop of half the budget: `while i < n do i = i + 1 end` runs four
// instructions per turn.
const std::string half_budget_loop =
    "local i = 0 while i < " + std::to_string(kv::lua::instruction_budget / 8) + " do i = i + 1 end";

class instruction_budget_test : public lua_fixture {
public:
    instruction_budget_test() { EXPECT_EQ(run_plain("morva = require('morva')"), ""); }
};

TEST_F(instruction_budget_test, a_run_that_does_not_wait_is_stopped)
{
    struct case_t {
        const char* name;
        std::string code;
    } const cases[] = {
        {"plain loop", "while true do end"},
        {"loop catching the error", "while true do pcall(function() while true do end end) end"},
        {"loop in a script coroutine", "coroutine.wrap(function() while true do end end)()"},
        // Each future would stay within a budget of its own.
        {"futures started without end", "while true do morva.async(function() " + half_budget_loop + " end) end"},
    };
    for (const auto& c : cases) {
        const auto begin = std::chrono::steady_clock::now();
        const std::string error = failure(c.code);
        EXPECT_NE(error.find(exceeded), std::string::npos) << c.name << ": " << error;
        EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(60)) << c.name;
    }
    // The state stays usable.
    EXPECT_EQ(finish("return 'after'"), std::vector<std::string>{"after"});
}

TEST_F(instruction_budget_test, each_wait_starts_a_fresh_budget)
{
    // Three halves of the budget in all, with a wait between them.
    EXPECT_EQ(finish(half_budget_loop + " morva.sleep(0) " + half_budget_loop + " morva.sleep(0) " + half_budget_loop
                     + " return 'done'"),
              std::vector<std::string>{"done"});
}

} // namespace
