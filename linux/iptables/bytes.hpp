#pragma once
// Unaligned access to kernel structures inside byte buffers.
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>

#include "linux/iptables/abi.hpp"

namespace fw::linux::iptables::bytes {

template <class T>
T load(const std::uint8_t* at)
{
    static_assert(std::is_trivially_copyable_v<T>);
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

template <class T>
void store(std::uint8_t* at, const T& value)
{
    static_assert(std::is_trivially_copyable_v<T>);
    std::memcpy(at, &value, sizeof value);
}

// The NUL-terminated text of a fixed-size field, never reading past the field.
inline std::string text(const std::uint8_t* at, std::size_t field_size)
{
    const auto* chars = reinterpret_cast<const char*>(at);
    return std::string(chars, ::strnlen(chars, field_size));
}

// Header fields shared by xt_entry_match and xt_entry_target.
inline std::uint16_t ext_size(const std::uint8_t* at) { return load<std::uint16_t>(at); }
inline std::string ext_name(const std::uint8_t* at)
{
    return text(at + abi::ext_name_offset, abi::ext_name_size);
}

} // namespace fw::linux::iptables::bytes
