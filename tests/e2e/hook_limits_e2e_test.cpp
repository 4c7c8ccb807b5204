// Hooks that load list files too large for their memory limit or without an
// end: each such session fails alone (CHECK) and the daemon's memory stays
// within the limit; the daemon decides the next connection, serves a stop
// (107) and leaves nothing behind.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tests/e2e/failing_hook.hpp"
#include "tests/e2e/stack.hpp"
#include "tests/support/resident.hpp"

namespace {

using morva_test::expect_checked;
using morva_test::expect_decides_and_stops;
using morva_test::logged;
using morva_test::stack_t;
using morva_test::start_with_hook;
using morva_test::topology_t;

TEST(hook_limits_e2e, list_files_too_large_or_without_an_end_fail_their_session_alone)
{
    // 9102 passes; the others load the cases' lists.
    stack_t stack("", {"9102", "9103", "9104", "9105", "9106", "9107"});
    // 36 MB in 4 million distinct lines: the Lua state cannot hold them.
    const std::string large = stack.path("large.txt");
    {
        std::FILE* out = std::fopen(large.c_str(), "w");
        ASSERT_NE(out, nullptr);
        for (int i = 0; i < 4'000'000; ++i)
            std::fprintf(out, "%08d\n", i);
        std::fclose(out);
    }
    // Opened read-write by a writer, a FIFO has a writer from the start.
    const std::string silent = stack.path("silent.fifo");
    const std::string endless = stack.path("endless.fifo");
    const std::string unwritten = stack.path("unwritten.fifo");
    for (const auto& fifo : {silent, endless, unwritten})
        ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const morva_test::ns_process_t silent_writer(stack.hosts.firewall, {"/bin/sh", "-c", "exec sleep 600 1<>" + silent});
    const morva_test::ns_process_t endless_writer(stack.hosts.firewall, {"/bin/sh", "-c", "exec yes 1<>" + endless});

    const struct {
        const char* name;
        const char* port;
        std::string path;
        const char* verdict;
        std::string line; // the session's failure, when it fails
    } cases[] = {
        {"a list larger than the memory limit", "9103", large, "CHECK", "not enough memory|instruction budget"},
        {"a FIFO whose writer never writes", "9104", silent, "CHECK",
         "Cannot read .*silent.fifo: Resource temporarily unavailable"},
        // Read faster than written, or not: a pause fails the read, else the budget ends it.
        {"a FIFO whose writer never stops", "9105", endless, "CHECK",
         "instruction budget of 20000000 exceeded|endless.fifo: Resource temporarily unavailable"},
        {"a device without an end", "9106", "/dev/zero", "CHECK", "not enough memory|instruction budget"},
        {"a FIFO without a writer", "9107", unwritten, "REJECT", ""},
    };
    // Each case's port loads its file; a loaded list gives REJECT, a failure CHECK.
    std::string lists;
    for (const auto& c : cases)
        lists += "  [" + std::string(c.port) + "] = '" + c.path + "',\n";
    start_with_hook(stack, "local morva = require('morva')\n"
                           "local lists = {\n" + lists + "}\n"
                           "function intercept_hook(ctx)\n"
                           "  local list = lists[math.tointeger(ctx.dst.port)]\n"
                           "  if list then morva.load_set(list) return 'reject' end\n"
                           "  return 'pass'\n"
                           "end\n");
    const pid_t daemon = stack.daemon_pid();
    const long idle_kb = morva_test::resident_kb(daemon, "VmHWM");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::size_t seen = stack.daemon_output().size();
        // A hook run that reads until its limits may take tens of seconds
        // on a loaded machine in the sanitizer build.
        const auto conn = stack.connect(stack.hosts.client, topology_t::server_address, c.port, c.name, "120");
        if (std::string(c.verdict) == "REJECT") {
            EXPECT_EQ(conn.status, 3) << conn.output << stack.daemon_output().substr(seen);
            continue;
        }
        expect_checked(conn, stack);
        EXPECT_TRUE(logged(stack, "cannot get verdict for intercepted connection: .*(" + c.line + ")", seen))
            << stack.daemon_output().substr(seen);
    }
    // The lines were never all held outside the Lua state: they took the
    // daemon over 1 GB beyond its idle size when they were. The state may
    // hold its 256 MiB, plus what the allocator adds (in the test build,
    // AddressSanitizer's red zones and quarantine).
    const long peak_kb = morva_test::resident_kb(daemon, "VmHWM");
    EXPECT_LT(peak_kb - idle_kb, 640 * 1024) << "idle " << idle_kb << " kB, peak " << peak_kb << " kB";
    expect_decides_and_stops(stack);
}

} // namespace
