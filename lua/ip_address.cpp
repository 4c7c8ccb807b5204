#include "lua/ip_address.hpp"

#include <new>
#include <string_view>
#include <vector>

#include <boost/asio/error.hpp>

#include "lua/finalizer_guard.hpp"
#include "lua/morva_registry_keys.hpp"
#include "lua/runtime.hpp"

namespace kv::util {

bool address_prefix_equal(const unsigned char* a, const unsigned char* b, std::size_t size, unsigned bits)
{
    for (std::size_t i = 0; i < size && bits > 0; ++i) {
        if (bits >= 8) {
            if (a[i] != b[i])
                return false;
            bits -= 8;
        } else {
            const unsigned mask = (0xFFu << (8 - bits)) & 0xFFu;
            if ((a[i] & mask) != (b[i] & mask))
                return false;
            bits = 0;
        }
    }
    return true;
}

} // namespace kv::util

namespace kv::lua::morva {

namespace {

namespace ip = boost::asio::ip;

const char* const metatable = registry_key::ip_address_metatable;

std::vector<std::string> split_at_slashes(const std::string& text)
{
    std::vector<std::string> pieces;
    std::string::size_type start = 0;
    for (;;) {
        auto slash = text.find('/', start);
        pieces.push_back(text.substr(start, slash - start));
        if (slash == std::string::npos)
            return pieces;
        start = slash + 1;
    }
}

// An unsigned 16-bit decimal: an optional sign, then digits only; a "-"
// wraps the value as an unsigned conversion does.
bool parse_u16(const std::string& text, unsigned& value)
{
    std::string_view digits(text);
    bool negative = false;
    if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
        negative = digits.front() == '-';
        digits.remove_prefix(1);
    }
    if (digits.empty())
        return false;
    unsigned long n = 0;
    for (char c : digits) {
        if (c < '0' || c > '9')
            return false;
        n = n * 10 + static_cast<unsigned>(c - '0');
        if (n > 0xFFFF)
            return false;
    }
    value = negative ? (0x10000 - n) & 0xFFFF : n;
    return true;
}

// Embedded zero bytes would cut the text short in the parsers below.
bool has_zero_byte(const std::string& text)
{
    return text.find('\0') != std::string::npos;
}

ip::address_v4 parse_v4(const std::string& text)
{
    boost::system::error_code ec;
    auto address = ip::make_address_v4(text, ec);
    if (ec || has_zero_byte(text))
        throw invalid_subnet_t{};
    return address;
}

ip::address_v6 parse_v6(const std::string& text)
{
    boost::system::error_code ec;
    auto address = ip::make_address_v6(text, ec);
    if (ec || has_zero_byte(text))
        throw invalid_subnet_t{};
    return address;
}

ip::address& check_ip_address(lua_State* L, int index)
{
    return *static_cast<ip::address*>(luaL_checkudata(L, index, metatable));
}

int ip_address_gc(lua_State*)
{
    return 0; // the value owns no resource
}

// Parses every text before comparing, so one bad text fails the whole call;
// `bad` then points at it.
template <typename Address, typename Parse>
bool belongs_to_any(const Address& address, const std::vector<std::string>& texts, Parse parse,
                    const std::string*& bad)
{
    using subnet_t = decltype(parse(std::string()));
    std::vector<subnet_t> subnets;
    for (const auto& text : texts) {
        try {
            subnets.push_back(parse(text));
        } catch (const invalid_subnet_t&) {
            bad = &text;
            return false;
        }
    }
    const auto bytes = address.to_bytes();
    for (const auto& subnet : subnets) {
        const auto other = subnet.address().to_bytes();
        if (kv::util::address_prefix_equal(bytes.data(), other.data(), bytes.size(), subnet.prefix_length()))
            return true;
    }
    return false;
}

int ip_address_index(lua_State* L)
{
    if (lua_type(L, 2) == LUA_TSTRING && to_string(L, 2) == "belongs") {
        lua_pushvalue(L, 1);
        lua_pushcclosure(L, belongs, 1);
        return 1;
    }
    lua_pushnil(L);
    return 1;
}

} // namespace

subnet_v4_t parse_subnet_v4(const std::string& text)
{
    auto pieces = split_at_slashes(text);
    if (pieces.size() > 2)
        throw invalid_subnet_t{};
    auto address = parse_v4(pieces[0]);
    if (pieces.size() == 1)
        return subnet_v4_t(address, 32);
    unsigned prefix = 0;
    if (parse_u16(pieces[1], prefix)) {
        if (prefix > 32)
            throw invalid_subnet_t{};
        return subnet_v4_t(address, static_cast<unsigned short>(prefix));
    }
    const auto mask = parse_v4(pieces[1]).to_uint();
    while (prefix < 32 && (mask & (0x80000000u >> prefix)) != 0)
        ++prefix;
    if (prefix < 32 && (mask << prefix) != 0)
        throw invalid_subnet_t{}; // ones after the first zero
    return subnet_v4_t(address, static_cast<unsigned short>(prefix));
}

subnet_v6_t parse_subnet_v6(const std::string& text)
{
    auto pieces = split_at_slashes(text);
    if (pieces.size() > 2)
        throw invalid_subnet_t{};
    auto address = parse_v6(pieces[0]);
    if (pieces.size() == 1)
        return subnet_v6_t(address, 128);
    unsigned prefix = 0;
    if (!parse_u16(pieces[1], prefix) || prefix > 128)
        throw invalid_subnet_t{};
    return subnet_v6_t(address, static_cast<unsigned short>(prefix));
}

void push_ip_address(lua_State* L, const boost::asio::ip::address& address)
{
    new (lua_newuserdata(L, sizeof(ip::address))) ip::address(address);
    luaL_setmetatable(L, metatable);
}

const boost::asio::ip::address* test_ip_address(lua_State* L, int index)
{
    return static_cast<const ip::address*>(luaL_testudata(L, index, metatable));
}

void push_ip_address_metatable(lua_State* L)
{
    luaL_newmetatable(L, metatable);
    const luaL_Reg functions[] = {
        {"__gc", ip_address_gc},
        {"__index", ip_address_index},
        {"__tostring", ip_address_tostring},
        {"__concat", ip_address_concat},
        {"__eq", ip_address_eq},
        {"__band", ip_address_band},
        {nullptr, nullptr},
    };
    luaL_setfuncs(L, functions, 0);
    protect_metatable(L);
}

int ip(lua_State* L)
{
    if (lua_gettop(L) != 1)
        return luaL_error(L, "Cannot create IpAddress: bad arguments");
    if (lua_type(L, 1) != LUA_TSTRING)
        return luaL_error(L, "Cannot create IpAddress from %s", luaL_typename(L, 1));
    const std::string text = to_string(L, 1);
    boost::system::error_code ec;
    ip::address address = ip::make_address_v6(text, ec);
    if (ec)
        address = ip::make_address_v4(text, ec);
    if (!ec && has_zero_byte(text))
        ec = boost::asio::error::invalid_argument;
    if (ec) {
        const std::string message = ec.message();
        return luaL_error(L, "Cannot create IpAddress from \"%s\": %s", text.c_str(), message.c_str());
    }
    push_ip_address(L, address);
    return 1;
}

int belongs(lua_State* L)
{
    const ip::address address = check_ip_address(L, lua_upvalueindex(1));
    std::vector<std::string> texts;
    if (lua_type(L, 1) == LUA_TSTRING) {
        texts.push_back(to_string(L, 1));
    } else if (lua_type(L, 1) == LUA_TTABLE) {
        const lua_Integer size = luaL_len(L, 1);
        for (lua_Integer j = 1; j <= size; ++j) {
            if (lua_geti(L, 1, j) != LUA_TSTRING)
                return luaL_argerror(L, 1, "all elements of subnet array must be strings");
            texts.push_back(to_string(L, -1));
            lua_pop(L, 1);
        }
    } else {
        return luaL_argerror(L, 1, "must be string or array of strings");
    }

    const std::string* bad = nullptr;
    const bool found = address.is_v4() ? belongs_to_any(address.to_v4(), texts, parse_subnet_v4, bad)
                                       : belongs_to_any(address.to_v6(), texts, parse_subnet_v6, bad);
    if (bad != nullptr) {
        const std::string message = "Invalid subnet: " + *bad;
        return luaL_argerror(L, 1, message.c_str());
    }
    lua_pushboolean(L, found);
    return 1;
}

int ip_address_tostring(lua_State* L)
{
    const ip::address& address = check_ip_address(L, 1);
    return guarded(L, [&] {
        const std::string text = address.to_string();
        lua_pushlstring(L, text.data(), text.size());
        return 1;
    });
}

int ip_address_concat(lua_State* L)
{
    return concat_with_tostring(L, luaL_testudata(L, 1, metatable) != nullptr ? 1 : 2);
}

int ip_address_eq(lua_State* L)
{
    const auto* a = test_ip_address(L, 1);
    const auto* b = test_ip_address(L, 2);
    bool equal = false;
    if (a != nullptr && b != nullptr) {
        if (a->is_v4() && b->is_v4())
            equal = a->to_v4() == b->to_v4();
        else if (a->is_v6() && b->is_v6())
            equal = a->to_v6() == b->to_v6(); // bytes and scope id
    }
    lua_pushboolean(L, equal);
    return 1;
}

int ip_address_band(lua_State* L)
{
    const ip::address a = check_ip_address(L, 1);
    const ip::address b = check_ip_address(L, 2);
    if (a.is_v4() && b.is_v4()) {
        push_ip_address(L, ip::address_v4(a.to_v4().to_uint() & b.to_v4().to_uint()));
        return 1;
    }
    if (a.is_v6() && b.is_v6()) {
        auto bytes = a.to_v6().to_bytes();
        const auto other = b.to_v6().to_bytes();
        for (std::size_t i = 0; i < bytes.size(); ++i)
            bytes[i] &= other[i];
        push_ip_address(L, ip::address_v6(bytes));
        return 1;
    }
    return luaL_error(L, "Cannot mask ip addresses with different ip versions");
}

} // namespace kv::lua::morva
