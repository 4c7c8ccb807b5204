// Hooks cannot give objects finalizers that loop: Lua runs finalizers with
// the count hook off, so without the refusal such a finalizer holds the event
// loop for good. Each such session fails alone (CHECK); the daemon decides
// the next connection, serves a stop (107) and leaves nothing behind.
#include <gtest/gtest.h>

#include "tests/e2e/failing_hook.hpp"
#include "tests/e2e/stack.hpp"

namespace {

TEST(looping_finalizers_e2e, finalizers_that_loop_neither_end_nor_hold_the_daemon)
{
    const struct {
        const char* name;
        const char* body;
        const char* line;
    } cases[] = {
        {"a finalizer that loops",
         "setmetatable({}, { __gc = function() while true do end end }) collectgarbage() return 'pass'", ".*"},
        {"a finalizer that loops, on the metatable of io's file handles",
         "getmetatable(io.stdout).__gc = function() while true do end end io.open('/dev/null') collectgarbage()"
         " return 'pass'",
         "hook.lua:4: attempt to index a boolean value"},
        {"a finalizer that loops, on the metatable of io's file handles through their index",
         "io.stdout.__index.__gc = function() while true do end end io.open('/dev/null') collectgarbage()"
         " return 'pass'",
         "hook.lua:4: attempt to index a nil value \\(field '__index'\\)"},
    };
    // One set of hosts and peers; a daemon of its own for each case.
    morva_test::stack_t stack("", morva_test::failing_hook_ports);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        morva_test::expect_failing_hook_spares_the_daemon(stack, c.body, 2, c.line);
    }
}

} // namespace
