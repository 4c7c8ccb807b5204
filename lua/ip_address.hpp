#pragma once
// IP address values in scripts (IpAddress): made by morva.ip(text) or handed
// out as the ip of an endpoint; printed, concatenated, compared, masked, and
// tested against subnets with belongs.
#include <cstddef>
#include <cstdint>
#include <string>

#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/network_v4.hpp>
#include <boost/asio/ip/network_v6.hpp>
#include <lua.hpp>

namespace kv::util {

// Whether the leading bits of two addresses of `size` bytes (4 or 16) agree.
bool address_prefix_equal(const unsigned char* a, const unsigned char* b, std::size_t size, unsigned bits);

} // namespace kv::util

namespace kv::lua::morva {

// A subnet as written: the bits after the prefix are kept and ignored.
using subnet_v4_t = boost::asio::ip::network_v4;
using subnet_v6_t = boost::asio::ip::network_v6;

// Thrown by the subnet parsers, caught by belongs only.
struct invalid_subnet_t {};

subnet_v4_t parse_subnet_v4(const std::string& text);
subnet_v6_t parse_subnet_v6(const std::string& text);

void push_ip_address(lua_State* L, const boost::asio::ip::address& address);
// The address of an IpAddress userdata at index, or null for any other value.
const boost::asio::ip::address* test_ip_address(lua_State* L, int index);
// Creates the metatable (the registry entry of morva::init_registry).
void push_ip_address_metatable(lua_State* L);

// Script functions.
int ip(lua_State* L);
int belongs(lua_State* L);
int ip_address_tostring(lua_State* L);
int ip_address_concat(lua_State* L);
int ip_address_eq(lua_State* L);
int ip_address_band(lua_State* L);

} // namespace kv::lua::morva
