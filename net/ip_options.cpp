#include "net/ip_options.hpp"

namespace fw::net {

unsigned ip_option_kind(const std::uint8_t* option) noexcept
{
    if (!option)
        return ip_option_other;
    switch (*option) {
    case ip_option_end:
    case ip_option_nop:
    case ip_option_security:
        return *option;
    default:
        return ip_option_other;
    }
}

unsigned ip_option_length(const std::uint8_t* option) noexcept
{
    if (!option)
        return 0;
    switch (ip_option_kind(option)) {
    case ip_option_end:
    case ip_option_nop:
        return 1;
    default:
        return option[1];
    }
}

const std::uint8_t* find_security_option(const std::uint8_t* options, std::size_t size) noexcept
{
    const std::uint8_t* found = nullptr;
    for (std::size_t pos = 0; pos < size;) {
        const unsigned kind = ip_option_kind(options + pos);
        if (kind == ip_option_end)
            break;
        if (kind == ip_option_nop) {
            ++pos;
            continue;
        }
        // Every other option carries a length byte counting the whole option.
        if (pos + 1 >= size)
            return nullptr;
        const std::size_t length = options[pos + 1];
        if (length < 2 || length > size - pos)
            return nullptr;
        if (kind == ip_option_security) {
            if (found)
                return nullptr;
            found = options + pos;
        }
        pos += length;
    }
    return found;
}

} // namespace fw::net
