// A hook cannot end the daemon: os.exit would end it at once, leaving its
// rules, route and state file. Each such session fails alone (CHECK); the
// daemon decides the next connection, serves a stop (107) and leaves nothing
// behind.
#include <gtest/gtest.h>

#include "tests/e2e/failing_hook.hpp"
#include "tests/e2e/stack.hpp"

namespace {

TEST(hook_os_exit_e2e, a_hook_cannot_end_the_daemon)
{
    // One set of hosts and peers; a daemon of its own for each case.
    morva_test::stack_t stack("", morva_test::failing_hook_ports);
    for (const char* body : {"os.exit(3)", "require('os').exit(true, true)"}) {
        SCOPED_TRACE(body);
        morva_test::expect_failing_hook_spares_the_daemon(stack, body, 2,
                                                          "hook.lua:4: os.exit is not allowed in a hook");
    }
}

} // namespace
