// Precompiled chunks that would run outside Lua's objects, given as the
// hook's buffer of a revision: refused, the daemon ends with 102 and leaves
// nothing behind.
#include "tests/e2e/crafted_chunk_refusal.hpp"

namespace {

TEST(crafted_chunks_as_buffer_e2e, precompiled_chunks_that_would_run_outside_lua_are_refused_as_the_hooks_buffer)
{
    morva_test::expect_crafted_chunks_refused(morva_test::chunk_way_t::buffer);
}

} // namespace
