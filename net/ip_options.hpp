#pragma once
// The IPv4 option list and its security option (type 130).
#include <cstddef>
#include <cstdint>

namespace fw::net {

constexpr unsigned ip_option_end = 0;
constexpr unsigned ip_option_nop = 1;
constexpr unsigned ip_option_security = 130;
// Any other option: one with a length byte.
constexpr unsigned ip_option_other = 255;

// The class of the option at `option`: 0, 1, 130, or 255 for any other
// type and for a null pointer.
unsigned ip_option_kind(const std::uint8_t* option) noexcept;

// Bytes of the option at `option`: 0 for null, 1 for end of list and no
// operation, otherwise its length byte (the caller vouches that it is there).
unsigned ip_option_length(const std::uint8_t* option) noexcept;

// The one security option of the `size`-byte list, or null when there is none,
// when there are two, or when the list is malformed before its end. Never
// reads outside [options, options + size).
const std::uint8_t* find_security_option(const std::uint8_t* options, std::size_t size) noexcept;

} // namespace fw::net
