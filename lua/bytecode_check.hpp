#pragma once
// Lua 5.3 loads a precompiled chunk without verifying it, and its virtual
// machine trusts every operand: a register past the frame, a constant or
// upvalue past its array, a jump out of the code, a debug count larger than
// its array all reach memory outside the function. A precompiled hook is
// checked before it is loaded, so a corrupt one is refused with a clear error
// instead of crashing the daemon. The check follows the layout of Lua 5.3's
// dump and the operand modes of its instructions; it bounds every operand to
// the function it belongs to, and it holds the code to what the virtual
// machine takes for granted: a method name is a string constant, a string
// constant is never absent, an open count of values follows the instruction
// that leaves it, a list is stored into the table its constructor made,
// functions nest no deeper than the compiler nests them. Everything the
// compiler and string.dump write passes, in time close to linear in its
// size. It proves nothing about what the code does with its values (as Lua's
// own, long removed, verifier did not either).
#include <cstddef>
#include <string_view>

namespace kv::lua {

// Throws std::runtime_error "corrupt precompiled chunk: <what>" when `chunk`
// is a precompiled chunk for this build that ends early or whose structure
// or operands are out of bounds. Anything else passes (source text, a header
// Lua itself refuses: Lua's load reports those). `steps`, when given, is set
// to the work a check that passes did: one step per instruction, jump and
// stack entry each pass over the code visits, so that its growth with the
// size of the code can be measured without a clock.
void check_precompiled(std::string_view chunk, std::size_t* steps = nullptr);

} // namespace kv::lua
