#include "lua/bytecode_check.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
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
    // null pointer: only a function's source may be absent (stripped).
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
            string("name of an upvalue");
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
    static std::vector<std::pair<int, int>> jumps(const std::vector<instruction_t>& code)
    {
        const int size = int(code.size());
        std::vector<std::pair<int, int>> edges;
        auto mark = [&](int from, long to) {
            if (to < 0 || to >= size)
                fail("jump out of the code");
            edges.emplace_back(from, int(to));
        };
        for (int pc = 0; pc < size; ++pc) {
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

    static void check_code(const std::vector<instruction_t>& code, const function_t& f, const tables_t& tables)
    {
        const int size = int(code.size());
        if (size == 0 || code.back().op() != RETURN)
            fail("code that does not end with a return");
        const std::vector<std::pair<int, int>> edges = jumps(code);
        std::vector<bool> target(size);
        for (const auto& [from, to] : edges)
            target[to] = true;
        std::vector<int> constructor_starts(size, -1);
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
                check_table_constructor(code, edges, constructor_starts, pc);
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
    }

    // The registers an instruction may write: [first, last], none when first
    // is negative. A call leaves its callee's frame above its A.
    static std::pair<int, int> written(instruction_t i)
    {
        constexpr int all = 1 << 30;
        const int a = i.a(), b = i.b(), c = i.c();
        switch (i.op()) {
        case SETTABUP: case SETUPVAL: case SETTABLE: case JMP: case EQ: case LT: case LE: case TEST:
        case RETURN: case SETLIST: case EXTRAARG:
            return {-1, -1};
        case LOADNIL: return {a, a + b};
        case SELF: return {a, a + 1};
        case CONCAT: return {std::min(a, b), std::max(a, c)}; // concatenates in place
        case CALL: case TAILCALL: return {a, all};
        case TFORCALL: return {a + 3, all};
        case VARARG: return {a, b == 0 ? all : a + b - 2};
        case FORLOOP: return {a, a + 3};
        case FORPREP: return {a, a + 2};
        default: return {a, a};
        }
    }
    static bool writes(instruction_t i, int first, int last)
    {
        const auto [from, to] = written(i);
        return from >= 0 && from <= last && to >= first;
    }

    // FORLOOP takes its three registers as numbers of the kinds FORPREP made
    // them without looking: nothing else reaches the loop nor changes them.
    // Loops nest as the compiler nests them, so this stays linear in the code.
    static void check_numeric_loops(const std::vector<instruction_t>& code,
                                    const std::vector<std::pair<int, int>>& edges)
    {
        struct loop_t {
            int prep, end, parent;
        };
        std::vector<loop_t> loops;
        std::vector<int> innermost(code.size(), -1);
        std::vector<int> open;
        for (int pc = 0; pc < int(code.size()); ++pc) {
            if (code[pc].op() != FORPREP)
                continue;
            const loop_t loop{pc, pc + 1 + code[pc].sbx(), -1};
            while (!open.empty() && loops[open.back()].end < loop.prep)
                open.pop_back();
            if (!open.empty() && loop.end > loops[open.back()].end)
                fail("numeric loops that overlap");
            if (int(open.size()) >= max_nesting)
                fail("loops nested deeper than the compiler nests them");
            loops.push_back({loop.prep, loop.end, open.empty() ? -1 : open.back()});
            open.push_back(int(loops.size()) - 1);
            const int a = code[pc].a();
            for (int q = loop.prep + 1; q <= loop.end; ++q) {
                innermost[q] = int(loops.size()) - 1;
                if (q < loop.end && writes(code[q], a, a + 2))
                    fail("loop counter changed inside its loop");
            }
        }
        for (const auto& [from, to] : edges) {
            for (int l = innermost[to]; l >= 0; l = loops[l].parent) {
                const loop_t& loop = loops[l];
                if (from > loop.prep && from <= loop.end)
                    break;
                if (from != loop.prep || to != loop.end)
                    fail("jump into a numeric loop");
            }
        }
    }

    // SETLIST stores into R(A) as a table without looking: R(A) must be the
    // table its constructor's NEWTABLE made, on every way to the SETLIST.
    // `starts` keeps, per SETLIST checked, where its constructor starts: the
    // next block of the same list stops there, so long lists stay linear.
    static void check_table_constructor(const std::vector<instruction_t>& code,
                                        const std::vector<std::pair<int, int>>& edges, std::vector<int>& starts,
                                        int setlist)
    {
        const int a = code[setlist].a();
        int start = setlist - 1;
        for (; start >= 0; --start) {
            const instruction_t i = code[start];
            if (i.op() == NEWTABLE && i.a() == a)
                break;
            if (i.op() == SETLIST && i.a() == a && starts[start] >= 0) {
                start = starts[start];
                break;
            }
            if (writes(i, a, a))
                fail("list stored into a register that holds no new table");
        }
        if (start < 0)
            fail("list stored into a register that holds no new table");
        for (const auto& [from, to] : edges) {
            if (to > start && to <= setlist && !(from > start && from <= setlist))
                fail("jump into a table constructor");
        }
        starts[setlist] = start;
    }

    std::string_view bytes_;
    std::size_t at_;
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

void check_precompiled(std::string_view chunk)
{
    const std::string& header = own_header();
    if (header.size() != header_size || chunk.size() <= header_size || chunk.substr(0, header_size) != header)
        return;
    // Lua's load may act on what it has read before it finds the end
    // missing (upvalue names are stored as they come): refused before.
    checker_t(chunk).check();
}

} // namespace kv::lua
