// Hooks cannot give objects finalizers that raise: without the refusal, a
// collector step outside every protected call (here, after a local client's
// process lookup) runs a finalizer whose error aborts the daemon. Each such
// session fails alone (CHECK); the daemon decides the next connection,
// serves a stop (107) and leaves nothing behind.
#include <gtest/gtest.h>

#include "tests/e2e/failing_hook.hpp"
#include "tests/e2e/stack.hpp"

namespace {

TEST(raising_finalizers_e2e, finalizers_that_raise_neither_end_nor_hold_the_daemon)
{
    const struct {
        const char* name;
        const char* body;
    } cases[] = {
        {"finalizers that raise",
         "for i = 1, 400 do setmetatable({}, { __gc = function() error('x') end }) end return 'pass'"},
        {"finalizers that raise, set through the debug library",
         "for i = 1, 400 do debug.setmetatable({}, { __gc = function() error('x') end }) end return 'pass'"},
        {"a finalizer on the metatable of the daemon's own endpoints",
         "getmetatable(ctx.src).__gc = function() error('x') end return 'pass'"},
    };
    // One set of hosts and peers; a daemon of its own for each case.
    morva_test::stack_t stack("", morva_test::failing_hook_ports);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        morva_test::expect_failing_hook_spares_the_daemon(stack, c.body, 40, ".*");
    }
}

} // namespace
