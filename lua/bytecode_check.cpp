#include "lua/bytecode_check.hpp"

#include <algorithm>
#include <array>
#include <bitset>
#include <cstdint>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <lua.hpp>

namespace kv::lua {

namespace {

// Layout of this build's dumps (checked against the header Lua writes).
static_assert(sizeof(int) == 4 && sizeof(std::size_t) == 8 && sizeof(lua_Integer) == 8 && sizeof(lua_Number) == 8);
constexpr std::size_t header_size = 33; // signature 4, version, format, data 6, five sizes, integer 8, number 8

// The opcodes of Lua 5.3, in their order.
enum opcode_t {
    MOVE, LOADK, LOADKX, LOADBOOL, LOADNIL, GETUPVAL, GETTABUP, GETTABLE, SETTABUP, SETUPVAL, SETTABLE, NEWTABLE,
    SELF, ADD, SUB, MUL, MOD, POW, DIV, IDIV, BAND, BOR, BXOR, SHL, SHR, UNM, BNOT, NOT, LEN, CONCAT, JMP, EQ, LT,
    LE, TEST, TESTSET, CALL, TAILCALL, RETURN, FORLOOP, FORPREP, TFORCALL, TFORLOOP, SETLIST, CLOSURE, VARARG,
    EXTRAARG, opcode_count
};

// Instruction fields: op 6 bits, A 8, C 9, B 9; Bx 18 (signed with an excess), Ax 26.
struct instruction_t {
    std::uint32_t raw;
    int op() const { return int(raw & 0x3f); }
    int a() const { return int((raw >> 6) & 0xff); }
    int c() const { return int((raw >> 14) & 0x1ff); }
    int b() const { return int((raw >> 23) & 0x1ff); }
    int bx() const { return int(raw >> 14); }
    int sbx() const { return bx() - ((1 << 17) - 1); }
    int ax() const { return int(raw >> 6); }
};

constexpr int constant_bit = 1 << 8; // an RK operand naming a constant

// The parser refuses more than 200 nested levels of C calls, and every nested
// function takes at least one; Lua's loader recurses once per function.
constexpr int max_nesting = 200;

// Items stored per SETLIST block; the block number times this stays an int.
constexpr int fields_per_flush = 50;
constexpr int max_setlist_block = (0x7fffffff - 511) / fields_per_flush + 1;

struct function_t {
    int upvalue_count = 0;
    int max_stack = 0;
};

// What the code of one function may refer to.
struct tables_t {
    std::vector<bool> string_constant; // per constant: a string
    std::size_t functions = 0;
};

// An instruction that leaves the top of the stack after its last result, and
// one that takes its operands up to that top. The second must follow the first
// directly, or it counts from a top some other instruction left.
bool sets_top(instruction_t i)
{
    return (i.op() == CALL && i.c() == 0) || i.op() == TAILCALL || (i.op() == VARARG && i.b() == 0);
}
bool uses_top(instruction_t i)
{
    return ((i.op() == CALL || i.op() == TAILCALL || i.op() == RETURN || i.op() == SETLIST) && i.b() == 0);
}

// A set of registers: a frame holds at most 255.
constexpr int max_registers = 256;
using registers_t = std::bitset<max_registers>;

// Registers first to last; none when last < first.
registers_t span(int first, int last)
{
    last = std::min(last, max_registers - 1);
    registers_t r;
    if (first > last)
        return r;
    r.set();
    r >>= max_registers - 1 - (last - first);
    return r << first;
}

// Values pushed one per position; the extreme (by `Better`) of those from a
// position on to the last, for queries whose range ends at the last value.
// A monotonic stack, searched in logarithmic time; each entry pushed, popped
// or compared in a search adds a step to `steps`.
template <typename Better>
class extreme_so_far_t {
public:
    explicit extreme_so_far_t(std::size_t& steps) : steps_(steps) {}

    void push(int value)
    {
        while (!kept_.empty() && !Better()(kept_.back().second, value)) {
            ++steps_;
            kept_.pop_back();
        }
        ++steps_;
        kept_.emplace_back(next_++, value);
    }
    // `first` is at most the last position pushed.
    int since(int first) const
    {
        return std::lower_bound(kept_.begin(), kept_.end(), first,
                                [this](const std::pair<int, int>& kept, int at) {
                                    ++steps_;
                                    return kept.first < at;
                                })
            ->second;
    }

private:
    std::vector<std::pair<int, int>> kept_; // (position, value); each value better than those after it
    int next_ = 0;
    std::size_t& steps_;
};

class checker_t {
public:
    explicit checker_t(std::string_view bytes) : bytes_(bytes), at_(header_size) {}

    void check()
    {
        const int closure_upvalues = byte();
        const function_t main = function(nullptr, 0);
        if (main.upvalue_count != closure_upvalues)
            fail("upvalue count of the main function");
        if (at_ != bytes_.size())
            fail("bytes after its end");
    }

    // Instructions, jumps and stack entries visited by the passes over the code.
    std::size_t steps() const noexcept { return steps_; }

private:
    [[noreturn]] static void fail(const std::string& what)
    {
        throw std::runtime_error("corrupt precompiled chunk: " + what);
    }

    const char* take(std::size_t size)
    {
        if (bytes_.size() - at_ < size)
            fail("truncated");
        const char* p = bytes_.data() + at_;
        at_ += size;
        return p;
    }
    int byte() { return static_cast<unsigned char>(*take(1)); }
    std::int32_t integer()
    {
        std::int32_t v;
        std::memcpy(&v, take(4), 4);
        return v;
    }
    // A count of elements of at least `element_size` bytes each.
    std::size_t count(std::size_t element_size)
    {
        const std::int32_t n = integer();
        if (n < 0)
            fail("negative count");
        if (std::size_t(n) * element_size > bytes_.size() - at_)
            fail("truncated");
        return std::size_t(n);
    }
    // Size 0 is how the dump writes an absent string, which the loader makes a
    // null pointer. A stripped function has no source, and when it is dumped
    // again with its debug information, no upvalue names either, which Lua
    // takes for unknown wherever it reads one. Absent local names and string
    // constants it would read as strings.
    void string(const char* what, bool may_be_absent = false)
    {
        std::size_t size = byte();
        if (size == 0xff)
            std::memcpy(&size, take(8), 8);
        if (size == 0) {
            if (!may_be_absent)
                fail(std::string("absent ") + what);
            return;
        }
        take(size - 1);
    }

    function_t function(const function_t* parent, int depth)
    {
        // Bounded, so neither this check nor Lua's loader runs out of stack.
        if (depth > max_nesting)
            fail("functions nested deeper than the compiler nests them");
        string("source", true);
        integer(); // line defined
        integer(); // last line defined
        const int params = byte();
        byte(); // vararg
        function_t f;
        f.max_stack = byte();
        if (params > f.max_stack)
            fail("more parameters than registers");
        std::vector<instruction_t> code(count(4));
        for (auto& i : code)
            std::memcpy(&i.raw, take(4), 4);
        tables_t tables;
        tables.string_constant.resize(count(1));
        for (std::size_t i = 0; i < tables.string_constant.size(); ++i)
            tables.string_constant[i] = constant();
        f.upvalue_count = int(count(2));
        for (int i = 0; i < f.upvalue_count; ++i) {
            const int in_stack = byte();
            const int index = byte();
            if (parent != nullptr && index >= (in_stack ? parent->max_stack : parent->upvalue_count))
                fail("upvalue out of the enclosing function");
        }
        tables.functions = count(1);
        for (std::size_t i = 0; i < tables.functions; ++i)
            function(&f, depth + 1);
        const std::size_t lines = count(4);
        take(lines * 4);
        if (lines != 0 && lines != code.size())
            fail("line information of another length than the code");
        const std::size_t locals = count(9);
        for (std::size_t i = 0; i < locals; ++i) {
            string("name of a local variable");
            integer();
            integer();
        }
        // All or none, as the compiler writes them.
        const std::size_t upvalue_names = count(1);
        if (upvalue_names != 0 && upvalue_names != std::size_t(f.upvalue_count))
            fail("upvalue names of another number than the upvalues");
        for (std::size_t i = 0; i < upvalue_names; ++i)
            string("name of an upvalue", true);
        check_code(code, f, tables);
        return f;
    }

    // Whether the constant is a string.
    bool constant()
    {
        switch (byte()) {
        case LUA_TNIL: return false;
        case LUA_TBOOLEAN: byte(); return false;
        case LUA_TNUMBER: // float
        case LUA_TNUMBER | (1 << 4): take(8); return false; // integer
        case LUA_TSTRING: // short
        case LUA_TSTRING | (1 << 4): string("string constant"); return true; // long
        default: fail("unknown constant type");
        }
    }

    // Where control may arrive other than from the instruction before: each
    // jump as (from, to).
    std::vector<std::pair<int, int>> jumps(const std::vector<instruction_t>& code)
    {
        const int size = int(code.size());
        std::vector<std::pair<int, int>> edges;
        auto mark = [&](int from, long to) {
            if (to < 0 || to >= size)
                fail("jump out of the code");
            edges.emplace_back(from, int(to));
        };
        for (int pc = 0; pc < size; ++pc) {
            ++steps_;
            const instruction_t i = code[pc];
            switch (i.op()) {
            case JMP: case FORLOOP: case FORPREP: case TFORLOOP:
                mark(pc, long(pc) + 1 + i.sbx()); break;
            case LOADBOOL:
                if (i.c() != 0)
                    mark(pc, pc + 2);
                break;
            case EQ: case LT: case LE: case TEST: case TESTSET:
                mark(pc, pc + 2); break; // past the jump that follows
            default: break;
            }
        }
        return edges;
    }

    void check_code(const std::vector<instruction_t>& code, const function_t& f, const tables_t& tables)
    {
        const int size = int(code.size());
        if (size == 0 || code.back().op() != RETURN)
            fail("code that does not end with a return");
        const std::vector<std::pair<int, int>> edges = jumps(code);
        std::vector<bool> target(size);
        for (const auto& [from, to] : edges) {
            ++steps_;
            target[to] = true;
        }
        const std::size_t constants = tables.string_constant.size();
        auto reg = [&](int r) {
            if (r < 0 || r >= f.max_stack)
                fail("register out of the frame");
        };
        auto constant = [&](std::size_t k) {
            if (k >= constants)
                fail("constant out of the table");
        };
        auto rk = [&](int x) {
            if (x & constant_bit)
                constant(std::size_t(x & ~constant_bit));
            else
                reg(x);
        };
        auto upvalue = [&](int u) {
            if (u >= f.upvalue_count)
                fail("upvalue out of the function");
        };
        auto next_is = [&](int pc, int op) {
            if (pc + 1 >= size || code[pc + 1].op() != op)
                fail("instruction without its companion");
        };
        // A table size as NEWTABLE encodes it ("floating point byte"): the
        // compiler's sizes are ints, a larger exponent overflows the decoding.
        auto table_size = [&](int x) {
            if (x >= 8 && (x >> 3) - 1 > 27)
                fail("table size out of range");
        };
        // The constant a register holds at `pc`: loaded by the instruction (or
        // pair) directly before, which nothing jumps past.
        auto loaded_constant = [&](int pc, int r) -> std::size_t {
            if (target[pc])
                fail("method name that is not a string");
            if (pc >= 1 && code[pc - 1].op() == LOADK && code[pc - 1].a() == r)
                return std::size_t(code[pc - 1].bx());
            if (pc >= 2 && code[pc - 2].op() == LOADKX && code[pc - 2].a() == r && code[pc - 1].op() == EXTRAARG)
                return std::size_t(code[pc - 1].ax());
            fail("method name that is not a string");
        };
        for (int pc = 0; pc < size; ++pc) {
            ++steps_;
            const instruction_t i = code[pc];
            const int a = i.a(), b = i.b(), c = i.c();
            if (sets_top(i)) {
                // The consumer counts from its own A up to the top this leaves:
                // its registers start at or below this one's results.
                if (pc + 1 >= size || !uses_top(code[pc + 1]) || target[pc + 1])
                    fail("open result count without its consumer");
                const instruction_t next = code[pc + 1];
                if (next.op() == RETURN ? a < next.a() : a <= next.a())
                    fail("open result count below its consumer");
            }
            if (uses_top(i) && (pc == 0 || !sets_top(code[pc - 1])))
                fail("open result count without its producer");
            switch (i.op()) {
            case MOVE: case UNM: case BNOT: case NOT: case LEN:
                reg(a); reg(b); break;
            case LOADK:
                reg(a);
                constant(std::size_t(i.bx()));
                break;
            case LOADKX:
                reg(a);
                next_is(pc, EXTRAARG);
                constant(std::size_t(code[pc + 1].ax()));
                break;
            case LOADBOOL: reg(a); break;
            case LOADNIL: reg(a + b); break;
            case GETUPVAL: reg(a); upvalue(b); break;
            case SETUPVAL: reg(a); upvalue(b); break;
            case GETTABUP: reg(a); upvalue(b); rk(c); break;
            case SETTABUP: upvalue(a); rk(b); rk(c); break;
            case GETTABLE: reg(a); reg(b); rk(c); break;
            case SETTABLE: reg(a); rk(b); rk(c); break;
            case NEWTABLE: reg(a); table_size(b); table_size(c); break;
            case SELF: {
                // The virtual machine takes the key as a string without looking.
                reg(a + 1); reg(b); rk(c);
                const std::size_t k = (c & constant_bit) ? std::size_t(c & ~constant_bit) : loaded_constant(pc, c);
                constant(k);
                if (!tables.string_constant[k])
                    fail("method name that is not a string");
                break;
            }
            case ADD: case SUB: case MUL: case MOD: case POW: case DIV: case IDIV:
            case BAND: case BOR: case BXOR: case SHL: case SHR:
                reg(a); rk(b); rk(c); break;
            case CONCAT:
                reg(a);
                if (b >= c)
                    fail("empty concatenation");
                reg(c);
                break;
            case JMP:
                if (a != 0)
                    reg(a - 1);
                break;
            case EQ: case LT: case LE:
                rk(b); rk(c); next_is(pc, JMP); break;
            case TEST: reg(a); next_is(pc, JMP); break;
            case TESTSET: reg(a); reg(b); next_is(pc, JMP); break;
            case CALL: case TAILCALL:
                reg(a);
                if (b > 0) reg(a + b - 1);
                if (c > 1) reg(a + c - 2);
                break;
            case RETURN:
                if (b == 0) reg(a);
                if (b > 1) reg(a + b - 2);
                break;
            case FORLOOP: case FORPREP: {
                // A pair: the loop's FORPREP jumps to its FORLOOP, which jumps
                // back to the instruction after it, both on the same registers.
                reg(a + 3);
                const int prep = i.op() == FORPREP ? pc : pc + i.sbx();
                const int loop = i.op() == FORLOOP ? pc : pc + 1 + i.sbx();
                if (prep < 0 || loop <= prep || code[prep].op() != FORPREP || code[loop].op() != FORLOOP
                    || code[prep].a() != a || code[loop].a() != a || loop + 1 + code[loop].sbx() != prep + 1
                    || prep + 1 + code[prep].sbx() != loop)
                    fail("numeric loop without its pair");
                break;
            }
            case TFORCALL:
                // The iterator is called with its three values copied above them.
                reg(a + 5);
                reg(a + 2 + c);
                next_is(pc, TFORLOOP);
                break;
            case TFORLOOP: reg(a + 1); break;
            case SETLIST:
                reg(a);
                if (b > 0) reg(a + b);
                if (c == 0) {
                    next_is(pc, EXTRAARG);
                    const int block = code[pc + 1].ax();
                    if (block < 1 || block > max_setlist_block)
                        fail("list block out of range");
                }
                break;
            case CLOSURE:
                reg(a);
                if (std::size_t(i.bx()) >= tables.functions)
                    fail("function out of the table");
                break;
            case VARARG:
                if (b != 1) reg(a);
                if (b > 1) reg(a + b - 2);
                break;
            case EXTRAARG:
                if (pc == 0 || !(code[pc - 1].op() == LOADKX || (code[pc - 1].op() == SETLIST && code[pc - 1].c() == 0)))
                    fail("instruction without its companion");
                break;
            default: fail("unknown instruction");
            }
        }
        check_numeric_loops(code, edges);
        check_table_constructors(code, edges);
    }

    // The registers an instruction may write. Besides its results: a call
    // leaves its callee's frame above its A; CONCAT works in its operands and
    // calls a metamethod above them; and a collection step, which NEWTABLE,
    // CLOSURE and CONCAT take, clears the registers above the top they set
    // (above A, above the operands) to nil.
    static registers_t written(instruction_t i)
    {
        constexpr int all = max_registers - 1;
        const int a = i.a(), b = i.b();
        switch (i.op()) {
        case SETTABUP: case SETUPVAL: case SETTABLE: case JMP: case EQ: case LT: case LE: case TEST:
        case RETURN: case SETLIST: case EXTRAARG:
            return {};
        case LOADNIL: return span(a, a + b);
        case SELF: return span(a, a + 1);
        case CONCAT: return span(a, a) | span(b, all);
        case NEWTABLE: case CLOSURE: case CALL: case TAILCALL: return span(a, all);
        case TFORCALL: return span(a + 3, all);
        case VARARG: return span(a, b == 0 ? all : a + b - 2);
        case FORLOOP: return span(a, a + 3);
        case FORPREP: return span(a, a + 2);
        default: return span(a, a);
        }
    }

    // FORLOOP takes its three registers as numbers of the kinds FORPREP made
    // them without looking: nothing else reaches the loop nor changes them.
    // One pass: each loop keeps the counters of the loops around it too.
    void check_numeric_loops(const std::vector<instruction_t>& code,
                             const std::vector<std::pair<int, int>>& edges)
    {
        struct loop_t {
            int prep, end, parent, depth;
            registers_t counters; // of this loop and those around it
        };
        std::vector<loop_t> loops;
        // Per instruction, the innermost loop with prep < pc <= end.
        std::vector<int> innermost(code.size(), -1);
        int open = -1;
        for (int pc = 0; pc < int(code.size()); ++pc) {
            ++steps_;
            while (open >= 0 && loops[open].end < pc) {
                ++steps_;
                open = loops[open].parent;
            }
            innermost[pc] = open;
            // A loop's own FORLOOP, its end, changes its counters.
            const int around = open >= 0 && loops[open].end == pc ? loops[open].parent : open;
            if (around >= 0 && (written(code[pc]) & loops[around].counters).any())
                fail("loop counter changed inside its loop");
            if (code[pc].op() != FORPREP)
                continue;
            const int end = pc + 1 + code[pc].sbx();
            if (open >= 0 && end > loops[open].end)
                fail("numeric loops that overlap");
            const int depth = open >= 0 ? loops[open].depth + 1 : 0;
            if (depth >= max_nesting)
                fail("loops nested deeper than the compiler nests them");
            const int a = code[pc].a();
            const registers_t around_it = open >= 0 ? loops[open].counters : registers_t();
            loops.push_back({pc, end, open, depth, around_it | span(a, a + 2)});
            open = int(loops.size()) - 1;
        }
        // Loops nest, so an edge takes at most two steps out from its target.
        for (const auto& [from, to] : edges) {
            ++steps_;
            for (int l = innermost[to]; l >= 0; l = loops[l].parent) {
                ++steps_;
                const loop_t& loop = loops[l];
                if (from > loop.prep && from <= loop.end)
                    break;
                if (from != loop.prep || to != loop.end)
                    fail("jump into a numeric loop");
            }
        }
    }

    // SETLIST stores into R(A) as a table without looking: R(A) must be the
    // table its constructor's NEWTABLE made, on every way to the SETLIST. No
    // instruction between them writes R(A), and no jump enters from outside.
    void check_table_constructors(const std::vector<instruction_t>& code,
                                  const std::vector<std::pair<int, int>>& edges)
    {
        const int size = int(code.size());
        // Per instruction, the first and the last instruction jumping to it.
        std::vector<int> first_from(size, size), last_from(size, -1);
        for (const auto& [from, to] : edges) {
            ++steps_;
            first_from[to] = std::min(first_from[to], from);
            last_from[to] = std::max(last_from[to], from);
        }
        extreme_so_far_t<std::less<>> first_into(steps_);
        extreme_so_far_t<std::greater<>> last_into(steps_);
        registers_t fresh; // holding the table their NEWTABLE made
        std::array<int, max_registers> made_at{};
        for (int pc = 0; pc < size; ++pc) {
            ++steps_;
            first_into.push(first_from[pc]);
            last_into.push(last_from[pc]);
            const instruction_t i = code[pc];
            if (i.op() == SETLIST) {
                if (!fresh[i.a()])
                    fail("list stored into a register that holds no new table");
                const int start = made_at[i.a()];
                if (first_into.since(start + 1) <= start || last_into.since(start + 1) > pc)
                    fail("jump into a table constructor");
            }
            fresh &= ~written(i);
            if (i.op() == NEWTABLE) {
                fresh.set(i.a());
                made_at[i.a()] = pc;
            }
        }
    }

    std::string_view bytes_;
    std::size_t at_;
    std::size_t steps_ = 0;
};

// The header of this build's own dumps.
const std::string& own_header()
{
    static const std::string header = [] {
        lua_State* L = luaL_newstate();
        std::string bytes;
        if (L != nullptr && luaL_loadstring(L, "") == LUA_OK)
            lua_dump(
                L,
                [](lua_State*, const void* p, std::size_t size, void* out) {
                    static_cast<std::string*>(out)->append(static_cast<const char*>(p), size);
                    return 0;
                },
                &bytes, 1);
        if (L != nullptr)
            lua_close(L);
        return bytes.substr(0, header_size);
    }();
    return header;
}

} // namespace

void check_precompiled(std::string_view chunk, std::size_t* steps)
{
    if (steps != nullptr)
        *steps = 0;
    const std::string& header = own_header();
    if (header.size() != header_size || chunk.size() <= header_size || chunk.substr(0, header_size) != header)
        return;
    // Lua's load may act on what it has read before it finds the end
    // missing (upvalue names are stored as they come): refused before.
    checker_t checker(chunk);
    checker.check();
    if (steps != nullptr)
        *steps = checker.steps();
}

} // namespace kv::lua
