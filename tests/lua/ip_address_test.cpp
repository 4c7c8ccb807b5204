// IP address values: parsing, printing, comparison, masking and subnet tests.
#include <cstring>

#include "lua/ip_address.hpp"
#include "tests/lua/lua_fixture.hpp"

namespace {

using morva_test::lua_fixture;

class ip_address_test : public lua_fixture {
public:
    ip_address_test() { EXPECT_EQ(run_plain("morva = require('morva')"), ""); }

    // The value of one expression, as text, or the error it raised.
    std::string eval(const std::string& expression)
    {
        load("return tostring(" + expression + ")");
        if (lua_pcall(L, 0, 1, 0) != LUA_OK)
            return "error: " + kv::lua::error_text(L);
        std::string text = kv::lua::to_string(L, -1);
        lua_pop(L, 1);
        return text;
    }

    struct case_t {
        const char* expression;
        const char* result;
    };

    template <std::size_t N>
    void expect_all(const case_t (&cases)[N])
    {
        for (const auto& c : cases)
            EXPECT_EQ(eval(c.expression), c.result) << c.expression;
    }
};

TEST_F(ip_address_test, made_from_text)
{
    const case_t cases[] = {
        {"morva.ip('10.1.2.3')", "10.1.2.3"},
        {"morva.ip('::1')", "::1"},
        {"morva.ip('2001:DB8::A')", "2001:db8::a"},
        {"morva.ip('fe80::1%7')", "fe80::1%7"}, // no interface 7 here: the number stays
        {"morva.ip('::ffff:1.2.3.4')", "::ffff:1.2.3.4"},
        {"morva.ip('300.1.1.1')", "error: test:1: Cannot create IpAddress from \"300.1.1.1\": Invalid argument"},
        {"morva.ip('')", "error: test:1: Cannot create IpAddress from \"\": Invalid argument"},
        {"morva.ip('10.0.0.1 ')", "error: test:1: Cannot create IpAddress from \"10.0.0.1 \": Invalid argument"},
        {"morva.ip(5)", "error: test:1: Cannot create IpAddress from number"},
        {"morva.ip({})", "error: test:1: Cannot create IpAddress from table"},
        {"morva.ip(nil)", "error: test:1: Cannot create IpAddress from nil"},
        {"morva.ip()", "error: test:1: Cannot create IpAddress: bad arguments"},
        {"morva.ip('10.0.0.1', '10.0.0.2')", "error: test:1: Cannot create IpAddress: bad arguments"},
        // A zero byte would hide the rest of the text from the parser.
        {"morva.ip('10.0.0.1\\0junk')", "error: test:1: Cannot create IpAddress from \"10.0.0.1\": Invalid argument"},
    };
    expect_all(cases);
}

TEST_F(ip_address_test, belongs_to_subnets)
{
    struct case_t {
        const char* address;
        const char* subnets; // a Lua expression
        const char* result;
    } const cases[] = {
        {"10.1.2.3", "'10.0.0.0/8'", "true"},
        {"10.1.2.3", "'10.1.2.3'", "true"},
        {"10.1.2.3", "'10.200.0.0/8'", "true"}, // bits after the prefix do not matter
        {"10.1.2.3", "'0.0.0.0/0'", "true"},
        {"10.1.2.3", "'10.0.0.0/255.0.0.0'", "true"},
        {"10.1.2.3", "'10.1.2.2/255.255.255.254'", "true"},
        {"10.1.2.3", "'10.1.2.0/255.255.255.254'", "false"},
        {"10.1.2.3", "'10.1.2.0/+24'", "true"},
        {"10.1.2.3", "'10.1.2.0/-0'", "true"},
        {"10.1.2.3", "'10.1.2.4'", "false"},
        {"10.1.2.3", "'11.0.0.0/8'", "false"},
        {"10.1.2.3", "'10.1.2.2/31'", "true"},
        {"10.1.2.3", "'10.1.2.4/31'", "false"},
        {"10.1.2.3", "'10.1.2.0/255.255.255.252'", "true"},
        {"10.1.2.3", "{}", "false"},
        {"10.1.2.3", "{ '11.0.0.0/8', '10.1.0.0/16' }", "true"},
        {"10.1.2.3", "setmetatable({}, { __len = function() return 1 end, __index = function() return '10/8' end })",
         "error: test:1: bad argument #1 to 'belongs' (Invalid subnet: 10/8)"},
        {"10.1.2.3", "'10.0.0.0/33'", "error: test:1: bad argument #1 to 'belongs' (Invalid subnet: 10.0.0.0/33)"},
        {"10.1.2.3", "'10.0.0.0/8/8'", "error: test:1: bad argument #1 to 'belongs' (Invalid subnet: 10.0.0.0/8/8)"},
        {"10.1.2.3", "'10.0.0.0/255.0.255.0'",
         "error: test:1: bad argument #1 to 'belongs' (Invalid subnet: 10.0.0.0/255.0.255.0)"},
        {"10.1.2.3", "'10.0.0.0/-1'", "error: test:1: bad argument #1 to 'belongs' (Invalid subnet: 10.0.0.0/-1)"},
        {"10.1.2.3", "'10.0.0.0/'", "error: test:1: bad argument #1 to 'belongs' (Invalid subnet: 10.0.0.0/)"},
        {"10.1.2.3", "'10.0.0.0/8x'", "error: test:1: bad argument #1 to 'belongs' (Invalid subnet: 10.0.0.0/8x)"},
        {"10.1.2.3", "'::/0'", "error: test:1: bad argument #1 to 'belongs' (Invalid subnet: ::/0)"},
        {"10.1.2.3", "''", "error: test:1: bad argument #1 to 'belongs' (Invalid subnet: )"},
        // One bad text fails the whole list, also beside a match.
        {"10.1.2.3", "{ '10.0.0.0/8', '10.0.0.0/33' }",
         "error: test:1: bad argument #1 to 'belongs' (Invalid subnet: 10.0.0.0/33)"},
        {"10.1.2.3", "{ '10.0.0.0/8', 5 }",
         "error: test:1: bad argument #1 to 'belongs' (all elements of subnet array must be strings)"},
        {"10.1.2.3", "5", "error: test:1: bad argument #1 to 'belongs' (must be string or array of strings)"},
        {"10.1.2.3", "nil", "error: test:1: bad argument #1 to 'belongs' (must be string or array of strings)"},
        {"2001:db8::1", "'2001:db8::/32'", "true"},
        {"2001:db8::1", "'2001:db9::/32'", "false"},
        {"2001:db8::1", "'2001:db8::1'", "true"},
        {"2001:db8::1", "'2001:db8::7f/121'", "true"},
        {"2001:db8::1", "'2001:db8::ff/121'", "false"},
        {"2001:db8::1", "'2001:db8::100/121'", "false"},
        {"2001:db8::1", "'::/0'", "true"},
        {"2001:db8::1", "'2001:db8::%9/64'", "true"}, // the scope is kept but not compared
        {"2001:db8::1", "'2001:db8::/129'", "error: test:1: bad argument #1 to 'belongs' (Invalid subnet: 2001:db8::/129)"},
        {"2001:db8::1", "'2001:db8::/ffff::'",
         "error: test:1: bad argument #1 to 'belongs' (Invalid subnet: 2001:db8::/ffff::)"},
        {"2001:db8::1", "'10.0.0.0/8'", "error: test:1: bad argument #1 to 'belongs' (Invalid subnet: 10.0.0.0/8)"},
    };
    for (const auto& c : cases) {
        const std::string expression =
            std::string("morva.ip('") + c.address + "').belongs(" + c.subnets + ")";
        EXPECT_EQ(eval(expression), c.result) << expression;
    }
}

TEST_F(ip_address_test, only_the_field_call_of_belongs_works)
{
    EXPECT_EQ(eval("morva.ip('10.0.0.1'):belongs('10.0.0.0/8')"),
              "error: test:1: calling 'belongs' on bad self (must be string or array of strings)");
    EXPECT_EQ(eval("type(morva.ip('10.0.0.1').belongs)"), "function");
    EXPECT_EQ(eval("morva.ip('10.0.0.1').other"), "nil");
    EXPECT_EQ(eval("morva.ip('10.0.0.1')[1]"), "nil");
}

TEST_F(ip_address_test, comparison)
{
    const case_t cases[] = {
        {"morva.ip('10.0.0.1') == morva.ip('10.0.0.1')", "true"},
        {"morva.ip('10.0.0.1') ~= morva.ip('10.0.0.2')", "true"},
        {"morva.ip('::1') == morva.ip('0::0:1')", "true"},
        {"morva.ip('fe80::1%1') == morva.ip('fe80::1%2')", "false"},
        {"morva.ip('fe80::1%1') == morva.ip('fe80::1%1')", "true"},
        {"morva.ip('0.0.0.1') == morva.ip('::1')", "false"},
        {"morva.ip('::ffff:10.0.0.1') == morva.ip('10.0.0.1')", "false"},
        {"morva.ip('10.0.0.1') == '10.0.0.1'", "false"},
        {"morva.ip('10.0.0.1') == io.stdout", "false"}, // another kind of userdata is not read as an address
    };
    expect_all(cases);
}

TEST_F(ip_address_test, masking)
{
    const case_t cases[] = {
        {"morva.ip('192.168.1.77') & morva.ip('255.255.255.0')", "192.168.1.0"},
        {"morva.ip('2001:db8:1:2::5') & morva.ip('ffff:ffff::')", "2001:db8::"},
        {"morva.ip('fe80::1%3') & morva.ip('ffff::')", "fe80::"}, // the result has no scope
        {"morva.ip('10.0.0.1') & morva.ip('::1')", "error: test:1: Cannot mask ip addresses with different ip versions"},
        {"type(morva.ip('10.0.0.1') & 5)", "error: test:1: bad argument #2 to '__band' (kv.lua.morva.ip_address_metatable "
                                           "expected, got number)"},
    };
    expect_all(cases);
}

TEST_F(ip_address_test, concatenation)
{
    const case_t cases[] = {
        {"'from ' .. morva.ip('10.0.0.1')", "from 10.0.0.1"},
        {"morva.ip('10.0.0.1') .. ' on'", "10.0.0.1 on"},
        {"morva.ip('10.0.0.1') .. 7", "10.0.0.17"},
        {"morva.ip('10.0.0.1') .. morva.ip('::1')", "10.0.0.1::1"},
        {"morva.ip('10.0.0.1') .. setmetatable({}, { __concat = function(a, b) return a .. '+T' end })",
         "10.0.0.1+T"},
    };
    expect_all(cases);
    EXPECT_NE(eval("morva.ip('10.0.0.1') .. {}").find("attempt to concatenate a table value"), std::string::npos);
}

TEST(address_prefix_equal, leading_bits)
{
    const unsigned char a[4] = {10, 1, 2, 3};
    const unsigned char b[4] = {10, 1, 2, 0x83};
    struct case_t {
        unsigned bits;
        bool equal;
    } const cases[] = {{0, true}, {8, true}, {24, true}, {25, false}, {32, false}};
    for (const auto& c : cases)
        EXPECT_EQ(kv::util::address_prefix_equal(a, b, 4, c.bits), c.equal) << c.bits;

    const unsigned char c6[16] = {0x20, 0x01, 0xff};
    const unsigned char d6[16] = {0x20, 0x01, 0xf0};
    EXPECT_TRUE(kv::util::address_prefix_equal(c6, d6, 16, 20));
    EXPECT_FALSE(kv::util::address_prefix_equal(c6, d6, 16, 21));
}

TEST(subnet_parsers, prefix_and_address_as_written)
{
    const auto v4 = kv::lua::morva::parse_subnet_v4("10.200.0.1/255.0.0.0");
    EXPECT_EQ(v4.address().to_string(), "10.200.0.1");
    EXPECT_EQ(v4.prefix_length(), 8);
    EXPECT_EQ(kv::lua::morva::parse_subnet_v4("1.2.3.4").prefix_length(), 32);
    EXPECT_EQ(kv::lua::morva::parse_subnet_v4("1.2.3.4/0.0.0.0").prefix_length(), 0);
    EXPECT_EQ(kv::lua::morva::parse_subnet_v4("1.2.3.4/255.255.255.255").prefix_length(), 32);
    EXPECT_EQ(kv::lua::morva::parse_subnet_v6("::1").prefix_length(), 128);
    EXPECT_THROW(kv::lua::morva::parse_subnet_v4("1.2.3.4/65536"), kv::lua::morva::invalid_subnet_t);
    EXPECT_THROW(kv::lua::morva::parse_subnet_v6("::1/-128"), kv::lua::morva::invalid_subnet_t);
}

} // namespace
