// Precompiled chunks that would run outside Lua's objects, required as a
// module by the hook of a revision: refused, the daemon ends with 102 and
// leaves nothing behind.
#include "tests/e2e/crafted_chunk_refusal.hpp"

namespace {

TEST(crafted_chunks_as_module_e2e, precompiled_chunks_that_would_run_outside_lua_are_refused_as_a_required_module)
{
    morva_test::expect_crafted_chunks_refused(morva_test::chunk_way_t::module);
}

} // namespace
