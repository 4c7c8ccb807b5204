// The pattern functions against Lua's own on the same input: the results and
// the error texts must be equal. Input: one byte choosing the function and
// its options, then subject, pattern and replacement separated by 0xff.
// Ours runs first under the instruction budget; an input past it (or past
// the stock matcher's recursion limit) is a work bound, not compared.
#include "fuzz/fuzz.hpp"

#include <cstdio>
#include <cstdlib>
#include <string>

#include <lua.hpp>

#include "lua/instruction_budget.hpp"
#include "lua/string_patterns.hpp"

namespace {

constexpr std::size_t most_subject = 48;
constexpr std::size_t most_pattern = 32;

// The replacement function: keeps the match for "a", gives a number for
// "b", otherwise its first and last argument.
int replace_with(lua_State* L)
{
    const int n = lua_gettop(L);
    std::size_t length = 0;
    const char* first = lua_tolstring(L, 1, &length);
    if (first != nullptr && length == 1 && (*first == 'a' || *first == 'b')) {
        if (*first == 'a')
            lua_pushboolean(L, 0);
        else
            lua_pushinteger(L, 7);
        return 1;
    }
    lua_pushvalue(L, 1);
    lua_pushvalue(L, n);
    lua_concat(L, 2);
    return 1;
}

struct input_t {
    unsigned op;
    std::string subject, pattern, replacement;
    lua_Integer init;
    bool plain;
    unsigned replacement_kind; // 0 text, 1 function, 2 table
    lua_Integer count;         // gsub's limit, below 0 for none
};

// Appends a value as type and content.
void describe_value(lua_State* L, int index, std::string& out)
{
    out += luaL_typename(L, index);
    out += ':';
    if (lua_type(L, index) == LUA_TSTRING || lua_type(L, index) == LUA_TNUMBER) {
        std::size_t length = 0;
        lua_pushvalue(L, index); // tolstring would change a number in place
        const char* text = lua_tolstring(L, -1, &length);
        out.append(text, length);
        lua_pop(L, 1);
    }
    out += ';';
}

// Pushes the function's arguments; returns how many.
int push_arguments(lua_State* L, const input_t& in)
{
    lua_pushlstring(L, in.subject.data(), in.subject.size());
    lua_pushlstring(L, in.pattern.data(), in.pattern.size());
    switch (in.op) {
    case 0: // find
        lua_pushinteger(L, in.init);
        lua_pushboolean(L, in.plain);
        return 4;
    case 1: // match
        lua_pushinteger(L, in.init);
        return 3;
    case 2: // gmatch
        return 2;
    default: // gsub
        if (in.replacement_kind == 1) {
            lua_pushcfunction(L, replace_with);
        } else if (in.replacement_kind == 2) {
            lua_createtable(L, 0, 3);
            lua_pushstring(L, "<A>");
            lua_setfield(L, -2, "a");
            lua_pushboolean(L, 0);
            lua_setfield(L, -2, "b");
            lua_pushinteger(L, 12);
            lua_setfield(L, -2, "ab");
        } else {
            lua_pushlstring(L, in.replacement.data(), in.replacement.size());
        }
        if (in.count < 0)
            return 3;
        lua_pushinteger(L, in.count);
        return 4;
    }
}

// Calls the function in a protected call: "ok" and the results (gmatch: its
// first matches), or "error" and the error text.
std::string outcome(lua_State* L, const input_t& in)
{
    static const char* const names[] = {"find", "match", "gmatch", "gsub"};
    lua_settop(L, 0);
    lua_getglobal(L, "string");
    lua_getfield(L, -1, names[in.op]);
    lua_remove(L, 1);
    const int n = push_arguments(L, in);
    std::string out;
    int status = lua_pcall(L, n, LUA_MULTRET, 0);
    if (status == LUA_OK && in.op == 2) {
        lua_Integer index = 0;
        for (int i = 0; i < 16 && status == LUA_OK; ++i) {
            lua_settop(L, 1);
            lua_pushvalue(L, 1);
            status = lua_pcall(L, 0, LUA_MULTRET, 0);
            if (status == LUA_OK && lua_gettop(L) == 1)
                break;
            for (int k = 2; status == LUA_OK && k <= lua_gettop(L); ++k)
                describe_value(L, k, out);
            out += std::to_string(++index) + '|';
        }
    }
    if (status != LUA_OK) {
        const char* text = lua_tostring(L, -1);
        return "error " + std::string(text != nullptr ? text : "?");
    }
    if (in.op != 2)
        for (int k = 1; k <= lua_gettop(L); ++k)
            describe_value(L, k, out);
    lua_settop(L, 0);
    return "ok " + out;
}

struct states_t {
    lua_State* stock = luaL_newstate();
    lua_State* ours = luaL_newstate();
    states_t()
    {
        luaL_openlibs(stock);
        luaL_openlibs(ours);
        kv::lua::register_string_patterns(ours);
    }
    ~states_t()
    {
        lua_close(stock);
        lua_close(ours);
    }
};

input_t parse_input(const std::uint8_t* data, std::size_t size)
{
    input_t in{};
    if (size == 0)
        return in;
    const unsigned flags = data[0];
    in.op = flags & 3;
    in.plain = (flags & 4) != 0;
    in.replacement_kind = (flags >> 3) & 3;
    static const lua_Integer inits[] = {1, 2, 0, -1, -3, 5, 100, -100};
    in.init = inits[(flags >> 5) & 7];
    in.count = (flags & 0x80) != 0 ? static_cast<lua_Integer>(flags & 3) : -1;
    std::string* parts[] = {&in.subject, &in.pattern, &in.replacement};
    std::size_t part = 0;
    for (std::size_t i = 1; i < size; ++i) {
        if (data[i] == 0xff && part < 2)
            ++part;
        else
            parts[part]->push_back(static_cast<char>(data[i]));
    }
    if (in.replacement_kind == 3)
        in.replacement_kind = 0;
    return in;
}

} // namespace

std::vector<fuzz_bytes_t> fuzz_seeds()
{
    const auto input = [](std::uint8_t flags, std::string_view subject, std::string_view pattern,
                          std::string_view replacement) {
        return fuzz::concat({{flags}, fuzz::text(subject), {0xff}, fuzz::text(pattern), {0xff}, fuzz::text(replacement)});
    };
    return {
        input(0, "www.example.com", "^www%.", ""),
        input(1, "GET /api/v1/items?id=42", "^(%u+) (/[^?]*)%?" "?(.*)$", ""),
        input(2, "a=1, b=22, c=", "(%w+)=(%w*)", ""),
        input(3, "hello world from lua", "(%w+)", "<%1>"),
        input(3 | 8, "f(a(b)c)d [x] 'q'", "%b()", ""),
        input(3 | 16, "ab a b abab", "%f[%w]%w+", ""),
        input(1, "say \"hi\" now", "([\"'])(.-)%1", ""),
        input(0 | 4, "a.b+c", ".b+", ""),
        input(3 | 0x80, "x = 1, y = 2", "(%w+) = (%w+)", "%2 = %1 %% %0"),
        input(1, "key=[%d]-", "[]%%^-]+", ""),
    };
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static states_t states;
    const input_t in = parse_input(data, size);
    if (in.subject.size() > most_subject || in.pattern.size() > most_pattern || in.replacement.size() > most_pattern)
        return 0;
    std::string ours;
    {
        kv::lua::budget_scope_t run(states.ours);
        ours = outcome(states.ours, in);
    }
    if (ours.find("instruction budget of") != std::string::npos)
        return 0;
    const std::string stock = outcome(states.stock, in);
    if (stock.find("pattern too complex") != std::string::npos)
        return 0;
    if (ours != stock) {
        std::fprintf(stderr, "string patterns differ from Lua's own\n  ours:  %s\n  stock: %s\n", ours.c_str(),
                     stock.c_str());
        std::abort();
    }
    lua_gc(states.ours, LUA_GCSTEP, 0);
    lua_gc(states.stock, LUA_GCSTEP, 0);
    return 0;
}
