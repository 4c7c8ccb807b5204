#pragma once
// Precompiled hooks that Lua 5.3 would load and run into memory outside its
// objects, each made from what the compiler writes (lua_dump, as luac) by one
// change, and the text the check refuses each with.
#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <lua.hpp>

namespace morva_test {

// What luac writes for `code` (luac -s when stripped); for a precompiled
// `code`, what luac writes when given that chunk (string.dump of the function
// it loads).
inline std::string compile(const std::string& code, bool strip)
{
    const std::unique_ptr<lua_State, void (*)(lua_State*)> L(luaL_newstate(), lua_close);
    if (luaL_loadbuffer(L.get(), code.data(), code.size(), "=compile") != LUA_OK)
        throw std::runtime_error(lua_tostring(L.get(), -1));
    std::string bytes;
    lua_dump(
        L.get(),
        [](lua_State*, const void* p, std::size_t size, void* out) {
            static_cast<std::string*>(out)->append(static_cast<const char*>(p), size);
            return 0;
        },
        &bytes, strip);
    return bytes;
}

// The main function of a stripped chunk: the 33-byte header, its upvalue
// count, an absent source, two line numbers and three bytes, then its code.
constexpr std::size_t max_stack_at = 45;
constexpr std::size_t code_at = 50;

inline std::uint32_t word(const std::string& chunk, std::size_t at)
{
    std::uint32_t w;
    std::memcpy(&w, chunk.data() + at, 4);
    return w;
}

// The offset of the first instruction of the stripped main function with
// opcode `op` (Lua 5.3's numbering), whose B is `b` unless b is negative.
inline std::size_t instruction_at(const std::string& chunk, int op, int b = -1)
{
    const std::uint32_t size = word(chunk, code_at - 4);
    for (std::size_t at = code_at; at < code_at + 4 * std::size_t(size); at += 4) {
        const std::uint32_t i = word(chunk, at);
        if (int(i & 0x3f) == op && (b < 0 || int(i >> 23) == b))
            return at;
    }
    throw std::runtime_error("no such instruction");
}

// Sets the operands of the instruction at `at`.
inline void set_operands(std::string& chunk, std::size_t at, int a, int b, int c)
{
    const std::uint32_t i = (word(chunk, at) & 0x3fu) | std::uint32_t(a) << 6 | std::uint32_t(c) << 14
                            | std::uint32_t(b) << 23;
    std::memcpy(chunk.data() + at, &i, 4);
}

inline void flip(std::string& chunk, std::size_t at, int bit)
{
    chunk[at + std::size_t(bit / 8)] = char(chunk[at + std::size_t(bit / 8)] ^ (1 << (bit % 8)));
}

struct crafted_chunk_t {
    std::string name;
    std::string chunk;
    std::string refusal; // follows "corrupt precompiled chunk: "
};

inline std::vector<crafted_chunk_t> crafted_chunks()
{
    constexpr int SELF = 12, RETURN = 38, VARARG = 45;
    std::vector<crafted_chunk_t> chunks;

    // The size byte of "" (1: no bytes and no terminator) flipped to 0, which
    // the loader reads as an absent string.
    {
        std::string chunk = compile("local e = '' function intercept_hook(ctx) return 'pass' .. e end", true);
        const auto at = chunk.find(std::string("\x04\x01\x04\x0fintercept_hook", 18));
        if (at == std::string::npos)
            throw std::runtime_error("no empty string constant");
        flip(chunk, at + 1, 0);
        chunks.push_back({"empty string constant made absent", chunk, "absent string constant"});
    }
    // SELF's key moved by one bit from the constant "m" to the number 2.5.
    {
        std::string chunk = compile("local n = 2.5 local t = {m = function(self, x) return 'pass' end} "
                                    "local v = t:m(n) function intercept_hook(ctx) return v end",
                                    true);
        flip(chunk, instruction_at(chunk, SELF), 14);
        chunks.push_back({"method name that is a number", chunk, "method name that is not a string"});
    }
    // `return ...` as VARARG 0 0; RETURN 249 0 in a frame of 250 registers:
    // the return counts from above the top VARARG left.
    {
        std::string chunk = compile("function intercept_hook(ctx) return 'pass' end return ...", true);
        const auto at = instruction_at(chunk, RETURN, 0);
        const std::uint32_t i = (word(chunk, at) & ~(0xffu << 6)) | (249u << 6);
        std::memcpy(chunk.data() + at, &i, 4);
        chunk[max_stack_at] = char(250);
        chunks.push_back({"open return above its producer", chunk, "open result count below its consumer"});
    }
    // VARARG 0 0 flipped to VARARG 0 1: the return that follows counts up to
    // a top nothing set.
    {
        std::string chunk = compile("function intercept_hook(ctx) return 'pass' end return ...", true);
        flip(chunk, instruction_at(chunk, VARARG, 0), 23);
        chunks.push_back({"open return without its producer", chunk, "open result count without its producer"});
    }
    // 200,000 functions, each the only one of the one before (8.8 MB).
    {
        const std::string header = compile("", true).substr(0, 33);
        const std::string no_count(4, '\0');
        auto count = [](std::uint32_t n) { return std::string(reinterpret_cast<const char*>(&n), 4); };
        constexpr std::uint32_t return_0_1 = 38u | (1u << 23);
        // source, two line numbers, parameters, vararg, registers, the code,
        // no constants, no upvalues, then one function.
        const std::string before = std::string(1, '\0') + no_count + no_count + std::string("\0\0\2", 3) + count(1)
                                   + count(return_0_1) + no_count + no_count + count(1);
        // no functions (the innermost), then no lines, locals, upvalue names
        const std::string after = no_count + no_count + no_count;
        constexpr int depth = 200000;
        std::string chunk = header + std::string(1, '\0');
        chunk.reserve(chunk.size() + depth * (before.size() + after.size()));
        for (int i = 0; i < depth; ++i)
            chunk += before;
        chunk.resize(chunk.size() - 4);
        chunk += no_count;
        for (int i = 0; i < depth; ++i)
            chunk += after;
        chunks.push_back({"200,000 nested functions", chunk, "functions nested deeper than the compiler nests them"});
    }
    return chunks;
}

} // namespace morva_test
