// Hooks that make Lua skip the finalizers of the daemon's own values: a
// collection nested near the C-call limit cannot call them, and Lua frees the
// values later without them. The daemon neither reaches a freed value (a
// dropped future's sleep ends after its memory is gone) nor keeps what the
// values held (open files, a future's results): it decides the next
// connection, its descriptors come back to where they were, its memory stays
// flat, and it stops with 107 leaving nothing behind.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include <boost/filesystem/operations.hpp>

#include "tests/e2e/hook_config.hpp"
#include "tests/e2e/stack.hpp"
#include "tests/support/resident.hpp"
#include "tests/support/wait.hpp"

namespace {

using morva_test::resident_kb;
using morva_test::stack_t;
using morva_test::topology_t;

// 84 drops sleeping futures, 86 leaves open files and finished futures
// holding 4 MiB; 85 just passes.
const std::vector<std::string> ports{"84", "85", "86"};

// Each pass makes one value per depth and drops it, then collects under
// `depth` nested protected calls; near the C-call limit the collection
// cannot call the finalizer it should, and says so. The hook logs the depths
// where that happened.
const char* const hook = R"lua(
local morva = require("morva")

local function skipping(make, depths)
  local skipped = {}
  for _, depth in ipairs(depths) do
    make()
    local function deep(n) if n == 0 then return collectgarbage("collect") end
      return select(2, pcall(deep, n - 1)) end
    local _, result = pcall(deep, depth)
    if type(result) == "string" and result:find("error in __gc metamethod", 1, true) then
      skipped[#skipped + 1] = depth
    end
  end
  return skipped
end

local function range(from, to)
  local depths = {}
  for depth = from, to do depths[#depths + 1] = depth end
  return depths
end

KEPT = {}
-- 64 copies make 4 MiB.
local block = ("x"):rep(2^16)

local by_port = {
  [84] = function()
    local futures = skipping(function() morva.async(function() morva.sleep(0.3) end) end, range(120, 230))
    morva.info("finalizers skipped: futures at " .. table.concat(futures, " "))
    -- What Lua freed goes to new values at once: strings of zero bytes, of
    -- every size near the futures', take that memory over before the sleeps
    -- end, so a resumption through a freed future fails in any build.
    collectgarbage()
    SPRAY = {}
    for n = 1, 4000 do SPRAY[n] = ("\0"):rep(24 + n % 480) .. n end
    -- Its sleep ends after those of the dropped futures.
    KEPT[#KEPT + 1] = morva.async(function() morva.sleep(0.3) morva.info("kept future woke") end)
  end,
  [86] = function()
    local files = skipping(function() io.open("/dev/null") end, range(170, 230))
    -- Collections skip at the same depths whatever is dropped: the futures,
    -- 4 MiB each, are dropped there only. A collection first settles their
    -- debt, which would have the collector's next step finalize them at once.
    local futures = skipping(function()
      local f = morva.async(function() return block:rep(64) end)
      collectgarbage()
    end, files)
    collectgarbage()
    morva.info("finalizers skipped: files at " .. table.concat(files, " ") .. ", futures at "
      .. table.concat(futures, " ") .. "; Lua holds " .. math.floor(collectgarbage("count")) .. " kB")
  end,
}

function intercept_hook(ctx)
  local run = by_port[math.tointeger(ctx.dst.port)]
  if run then run() end
  return "pass"
end
)lua";

void start_with_hook(stack_t& stack)
{
    stack.start(morva_test::config_with_hook(stack, morva_test::write_hook(stack, hook)));
}

// A connection from the client host the hook passes: the server sees the client itself.
void expect_passed(stack_t& stack, const std::string& port, const std::string& text)
{
    const auto c = stack.connect(stack.hosts.client, topology_t::server_address, port, text, "60");
    ASSERT_EQ(c.status, 0) << c.output << stack.daemon_output();
    EXPECT_EQ(c.reply.find("peer " + c.local + " "), 0u) << c.output;
}

std::size_t occurrences(const std::string& text, const std::string& what)
{
    std::size_t count = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

// The groups of each of the hook's reports that match `pattern`, in order.
std::vector<std::vector<std::string>> reports(const std::string& output, const std::string& pattern)
{
    const std::regex report("Lua: finalizers skipped: " + pattern);
    std::vector<std::vector<std::string>> found;
    for (auto it = std::sregex_iterator(output.begin(), output.end(), report); it != std::sregex_iterator(); ++it)
        found.emplace_back(it->begin() + 1, it->end());
    return found;
}

std::size_t descriptors(pid_t pid)
{
    std::size_t count = 0;
    boost::system::error_code ec;
    for (boost::filesystem::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", ec), end; !ec && it != end;
         it.increment(ec))
        ++count;
    return count;
}

TEST(hook_finalizers_e2e, dropped_futures_whose_sleep_ends_later_spare_the_daemon)
{
    stack_t stack("", ports);
    start_with_hook(stack);
    for (int run = 1; run <= 3; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        expect_passed(stack, "84", "dropped futures");
        // The dropped futures' sleeps have ended once the kept one's has.
        ASSERT_TRUE(morva_test::wait_until(
            [&] { return occurrences(stack.daemon_output(), "Lua: kept future woke") >= std::size_t(run); }))
            << stack.daemon_output();
    }
    const auto skips = reports(stack.daemon_output(), "futures at ([0-9 ]*)\n");
    ASSERT_EQ(skips.size(), 3u) << stack.daemon_output();
    for (const auto& skip : skips)
        EXPECT_NE(skip[0], "") << "a run skipped no finalizer";
    expect_passed(stack, "85", "after");
    stack.expect_stop_within(std::chrono::seconds(30));
}

// AddressSanitizer keeps freed blocks aside, resident, up to the size of its
// quarantine: a small one lets resident memory show what the daemon holds.
// Only the daemon started meanwhile reads it.
class small_quarantine_t {
public:
    small_quarantine_t()
    {
        const char* options = std::getenv("ASAN_OPTIONS");
        saved_ = options != nullptr ? std::optional<std::string>(options) : std::nullopt;
        ::setenv("ASAN_OPTIONS", (saved_.value_or("") + ":quarantine_size_mb=8").c_str(), 1);
    }
    ~small_quarantine_t()
    {
        if (saved_)
            ::setenv("ASAN_OPTIONS", saved_->c_str(), 1);
        else
            ::unsetenv("ASAN_OPTIONS");
    }
    small_quarantine_t(const small_quarantine_t&) = delete;
    small_quarantine_t& operator=(const small_quarantine_t&) = delete;

private:
    std::optional<std::string> saved_;
};

TEST(hook_finalizers_e2e, dropped_files_and_futures_leave_nothing_behind)
{
    stack_t stack("", ports);
    {
        const small_quarantine_t quarantine;
        start_with_hook(stack);
    }
    const pid_t daemon = stack.daemon_pid();
    expect_passed(stack, "85", "first");
    const std::size_t baseline = descriptors(daemon);
    long settled_kb = 0;
    for (int run = 1; run <= 20; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        expect_passed(stack, "86", "dropped files and futures");
        if (testing::Test::HasFailure())
            break;
        // The allocator's own caches have filled after a few runs.
        if (run == 3)
            settled_kb = resident_kb(daemon);
    }
    const auto skips = reports(stack.daemon_output(), "files at ([0-9 ]*), futures at ([0-9 ]*); Lua holds ([0-9]+) kB");
    // A SYN sent again while the hook ran may have it run again.
    ASSERT_GE(skips.size(), 20u) << stack.daemon_output();
    for (const auto& skip : skips) {
        EXPECT_NE(skip[0], "") << "a run skipped no file's finalizer";
        EXPECT_NE(skip[1], "") << "a run skipped no future's finalizer";
    }
    // A future kept per run would have added its 4 MiB each time.
    EXPECT_LT(std::stol(skips.back()[2]) - std::stol(skips[2][2]), 8 * 1024)
        << "Lua held " << skips[2][2] << " kB after 3 runs, " << skips.back()[2] << " kB at the end";
    EXPECT_LT(resident_kb(daemon) - settled_kb, 24 * 1024) << "resident after 3 runs: " << settled_kb << " kB";
    // A file kept per run would have kept its descriptor.
    EXPECT_TRUE(morva_test::wait_until([&] { return descriptors(daemon) <= baseline; }))
        << descriptors(daemon) << " descriptors, " << baseline << " before";
    stack.expect_stop_within(std::chrono::seconds(30));
}

} // namespace
