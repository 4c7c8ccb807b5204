#pragma once
// Precompiled chunks that would run outside Lua's objects, given to a running
// daemon as its next revision: the daemon refuses each, ends with 102 and
// leaves nothing behind. A refused revision ends the daemon, so each chunk
// costs a daemon start; one way of loading per test program keeps each
// program's run short.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include <boost/filesystem/operations.hpp>

#include "tests/e2e/hook_config.hpp"
#include "tests/e2e/stack.hpp"
#include "tests/lua/crafted_chunks.hpp"

namespace morva_test {

// How the revision loads the chunk.
enum class chunk_way_t {
    buffer, // as the hook's buffer
    file,   // as the hook's file
    module, // by require, from the hook's lua_package_path
};

// Each crafted chunk, loaded `way` by revision 2 of a daemon whose first
// revision applied a hook of source text.
inline void expect_crafted_chunks_refused(chunk_way_t way)
{
    stack_t stack("", {"9101"});
    const std::string modules = stack.path("modules");
    boost::filesystem::create_directories(modules);
    for (const auto& c : crafted_chunks()) {
        SCOPED_TRACE(c.name);
        const std::string file = write_hook(stack, "function intercept_hook(ctx) return 'drop' end");
        stack.start(config_with_hook(stack, file));

        std::string config = config_with_hook(stack, file);
        std::string where;
        switch (way) {
        case chunk_way_t::buffer:
            config = config_with(config, "buffer: " + text_format_bytes(c.chunk));
            where = "Cannot load chunk: ";
            break;
        case chunk_way_t::file: {
            const std::string chunk_file = stack.path("crafted.luac");
            std::ofstream(chunk_file, std::ios::binary) << c.chunk;
            config = config_with(config, "file: \"" + chunk_file + "\"");
            where = "Cannot load file " + chunk_file + ": ";
            break;
        }
        case chunk_way_t::module: {
            const std::string module = modules + "/crafted.lua";
            std::ofstream(module, std::ios::binary) << c.chunk;
            write_hook(stack, "require('crafted') function intercept_hook(ctx) return 'pass' end");
            config += "lua_package_path: \"" + modules + "/?.lua\"\n";
            where = "Cannot execute chunk: error loading module 'crafted' from file '" + module + "':\n\t";
            break;
        }
        }
        stack.write_config(config);
        const std::string out = stack.expect_refused_revision();
        EXPECT_NE(out.find("Cannot apply configuration (revision 2): Cannot load intercept hook: " + where
                           + "corrupt precompiled chunk: " + c.refusal),
                  std::string::npos)
            << out;
    }
}

} // namespace morva_test
