#pragma once
// The parse error of a message class: its own type, its own text prefix.
#include <algorithm>
#include <cstddef>
#include <stdexcept>
#include <string>

namespace fw::linux::netlink {

template <std::size_t N>
struct error_prefix_t {
    constexpr error_prefix_t(const char (&text)[N]) { std::copy_n(text, N, value); }
    char value[N];
};

template <error_prefix_t Prefix>
class message_parse_error_t : public std::runtime_error {
public:
    explicit message_parse_error_t(const std::string& detail) : std::runtime_error(Prefix.value + detail) {}
};

} // namespace fw::linux::netlink
