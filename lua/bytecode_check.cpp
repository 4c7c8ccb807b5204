#include "lua/bytecode_check.hpp"

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
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

struct function_t {
    int upvalue_count = 0;
    int max_stack = 0;
};

class checker_t {
public:
    explicit checker_t(std::string_view bytes) : bytes_(bytes), at_(header_size) {}

    void check()
    {
        const int closure_upvalues = byte();
        const function_t main = function(nullptr);
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
    void string()
    {
        std::size_t size = byte();
        if (size == 0xff) {
            std::memcpy(&size, take(8), 8);
        }
        if (size > 0)
            take(size - 1);
    }

    function_t function(const function_t* parent)
    {
        string(); // source
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
        const std::size_t constants = count(1);
        for (std::size_t i = 0; i < constants; ++i)
            constant();
        f.upvalue_count = int(count(2));
        for (int i = 0; i < f.upvalue_count; ++i) {
            const int in_stack = byte();
            const int index = byte();
            if (parent != nullptr && index >= (in_stack ? parent->max_stack : parent->upvalue_count))
                fail("upvalue out of the enclosing function");
        }
        const std::size_t functions = count(1);
        for (std::size_t i = 0; i < functions; ++i)
            function(&f);
        const std::size_t lines = count(4);
        take(lines * 4);
        if (lines != 0 && lines != code.size())
            fail("line information of another length than the code");
        const std::size_t locals = count(9);
        for (std::size_t i = 0; i < locals; ++i) {
            string();
            integer();
            integer();
        }
        const std::size_t upvalue_names = count(1);
        if (upvalue_names > std::size_t(f.upvalue_count))
            fail("more upvalue names than upvalues");
        for (std::size_t i = 0; i < upvalue_names; ++i)
            string();
        check_code(code, f, constants, functions);
        return f;
    }

    void constant()
    {
        switch (byte()) {
        case LUA_TNIL: return;
        case LUA_TBOOLEAN: byte(); return;
        case LUA_TNUMBER: // float
        case LUA_TNUMBER | (1 << 4): take(8); return; // integer
        case LUA_TSTRING: // short
        case LUA_TSTRING | (1 << 4): string(); return; // long
        default: fail("unknown constant type");
        }
    }

    static void check_code(const std::vector<instruction_t>& code, const function_t& f, std::size_t constants,
                           std::size_t functions)
    {
        const int size = int(code.size());
        if (size == 0 || code.back().op() != RETURN)
            fail("code that does not end with a return");
        auto reg = [&](int r) {
            if (r < 0 || r >= f.max_stack)
                fail("register out of the frame");
        };
        auto rk = [&](int x) {
            if (x & constant_bit) {
                if (std::size_t(x & ~constant_bit) >= constants)
                    fail("constant out of the table");
            } else
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
        auto target = [&](int pc, int offset) {
            const long to = long(pc) + 1 + offset;
            if (to < 0 || to >= size)
                fail("jump out of the code");
        };
        for (int pc = 0; pc < size; ++pc) {
            const instruction_t i = code[pc];
            const int a = i.a(), b = i.b(), c = i.c();
            switch (i.op()) {
            case MOVE: case UNM: case BNOT: case NOT: case LEN:
                reg(a); reg(b); break;
            case LOADK:
                reg(a);
                if (std::size_t(i.bx()) >= constants)
                    fail("constant out of the table");
                break;
            case LOADKX:
                reg(a);
                next_is(pc, EXTRAARG);
                if (std::size_t(code[pc + 1].ax()) >= constants)
                    fail("constant out of the table");
                break;
            case LOADBOOL:
                reg(a);
                if (c != 0 && pc + 2 >= size)
                    fail("jump out of the code");
                break;
            case LOADNIL: reg(a + b); break;
            case GETUPVAL: reg(a); upvalue(b); break;
            case SETUPVAL: reg(a); upvalue(b); break;
            case GETTABUP: reg(a); upvalue(b); rk(c); break;
            case SETTABUP: upvalue(a); rk(b); rk(c); break;
            case GETTABLE: reg(a); reg(b); rk(c); break;
            case SETTABLE: reg(a); rk(b); rk(c); break;
            case NEWTABLE: reg(a); break;
            case SELF: reg(a + 1); reg(b); rk(c); break;
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
                target(pc, i.sbx());
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
            case FORLOOP: case FORPREP: reg(a + 3); target(pc, i.sbx()); break;
            case TFORCALL:
                reg(a + 2 + c);
                next_is(pc, TFORLOOP);
                break;
            case TFORLOOP: reg(a + 1); target(pc, i.sbx()); break;
            case SETLIST:
                reg(a);
                if (b > 0) reg(a + b);
                if (c == 0) next_is(pc, EXTRAARG);
                check_table_constructor(code, pc);
                break;
            case CLOSURE:
                reg(a);
                if (std::size_t(i.bx()) >= functions)
                    fail("function out of the table");
                break;
            case VARARG:
                if (b != 1) reg(a);
                if (b > 1) reg(a + b - 2);
                break;
            case EXTRAARG: break;
            default: fail("unknown instruction");
            }
        }
    }

    // The lowest register an instruction may write, or -1; `open` when it
    // writes every register from there up.
    static int written(instruction_t i, bool& open)
    {
        open = false;
        switch (i.op()) {
        case SETTABUP: case SETUPVAL: case SETTABLE: case JMP: case EQ: case LT: case LE: case TEST:
        case RETURN: case SETLIST: case EXTRAARG:
            return -1;
        case TFORCALL: open = true; return i.a() + 3;
        default: open = true; return i.a(); // a range above A at most; taken as all
        }
    }

    // SETLIST stores into R(A) as a table without looking: R(A) must be the
    // table its constructor's NEWTABLE made, on every way to the SETLIST.
    static void check_table_constructor(const std::vector<instruction_t>& code, int setlist)
    {
        const int a = code[setlist].a();
        int start = setlist - 1;
        for (; start >= 0; --start) {
            const instruction_t i = code[start];
            if (i.op() == NEWTABLE && i.a() == a)
                break;
            bool open = false;
            const int from = written(i, open);
            if (from >= 0 && from <= a)
                fail("list stored into a register that holds no new table");
        }
        if (start < 0)
            fail("list stored into a register that holds no new table");
        for (int pc = 0; pc < int(code.size()); ++pc) {
            if (pc > start && pc <= setlist)
                continue;
            const instruction_t i = code[pc];
            int to = -1;
            if (i.op() == JMP || i.op() == FORLOOP || i.op() == FORPREP || i.op() == TFORLOOP)
                to = pc + 1 + i.sbx();
            else if (i.op() == LOADBOOL && i.c() != 0)
                to = pc + 2;
            if (to > start && to <= setlist)
                fail("jump into a table constructor");
        }
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

namespace kv::lua {

void check_precompiled_file(const char* path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return;
    const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    std::string_view chunk = bytes;
    if (chunk.substr(0, 3) == "\xEF\xBB\xBF")
        chunk.remove_prefix(3);
    if (!chunk.empty() && chunk[0] == '#') {
        const auto end = chunk.find('\n');
        chunk.remove_prefix(end == std::string_view::npos ? chunk.size() : end + 1);
    }
    check_precompiled(chunk);
}

} // namespace kv::lua
