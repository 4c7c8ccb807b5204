#pragma once
// Shared by the fuzz targets: the entry point every target defines, the seed
// inputs the g++ driver starts from, and builders for netlink attributes.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string_view>
#include <vector>

using fuzz_bytes_t = std::vector<std::uint8_t>;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

// Small valid inputs of the target; the driver mutates them. libFuzzer ignores it.
std::vector<fuzz_bytes_t> fuzz_seeds();

namespace fuzz {

inline fuzz_bytes_t concat(std::initializer_list<fuzz_bytes_t> parts)
{
    fuzz_bytes_t out;
    for (const auto& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

inline fuzz_bytes_t text(std::string_view s) { return fuzz_bytes_t(s.begin(), s.end()); }
// With its terminating NUL, as netlink carries strings.
inline fuzz_bytes_t cstr(std::string_view s) { return concat({text(s), {0}}); }

template <typename T>
fuzz_bytes_t raw(const T& value)
{
    fuzz_bytes_t out(sizeof value);
    std::memcpy(out.data(), &value, sizeof value);
    return out;
}

inline fuzz_bytes_t be32(std::uint32_t v)
{
    return {std::uint8_t(v >> 24), std::uint8_t(v >> 16), std::uint8_t(v >> 8), std::uint8_t(v)};
}

// One attribute, padded to 4 bytes; nla_len is the unpadded length.
inline fuzz_bytes_t attr(std::uint16_t type, const fuzz_bytes_t& payload)
{
    const auto len = static_cast<std::uint16_t>(4 + payload.size());
    fuzz_bytes_t out = concat({raw(len), raw(type), payload});
    out.resize((out.size() + 3) & ~std::size_t{3}, 0);
    return out;
}

inline fuzz_bytes_t nested(std::uint16_t type, std::initializer_list<fuzz_bytes_t> children)
{
    return attr(static_cast<std::uint16_t>(type | 0x8000), concat(children));
}

} // namespace fuzz
