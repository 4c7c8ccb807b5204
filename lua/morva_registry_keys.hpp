#pragma once
// The registry entries of the script module "morva" (made by
// morva::init_registry): the io_context and the metatables of its userdata.
namespace kv::lua::morva::registry_key {

inline constexpr const char* io_service = "kv.lua.morva.io_service";
inline constexpr const char* future_metatable = "kv.lua.morva.future_metatable";
inline constexpr const char* ip_address_metatable = "kv.lua.morva.ip_address_metatable";
inline constexpr const char* tcp_endpoint_metatable = "kv.lua.morva.tcp_endpoint_metatable";
inline constexpr const char* steady_timer_ptr_metatable = "kv.lua.morva.steady_timer_ptr_metatable";

} // namespace kv::lua::morva::registry_key
