#pragma once
// Owned bytes with their length: an attribute's value, a message payload and
// the receive buffer of the netlink links.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

namespace fw::linux::netlink {

struct byte_array_t {
    std::unique_ptr<std::uint8_t[]> data;
    std::size_t size = 0;

    byte_array_t() = default;
    // `size` zero bytes.
    explicit byte_array_t(std::size_t n) : data(n ? std::make_unique<std::uint8_t[]>(n) : nullptr), size(n) {}
    byte_array_t(const void* bytes, std::size_t n) : byte_array_t(n)
    {
        if (n)
            std::memcpy(data.get(), bytes, n);
    }
    byte_array_t(std::unique_ptr<std::uint8_t[]> bytes, std::size_t n) noexcept : data(std::move(bytes)), size(n) {}

    std::uint8_t* begin() noexcept { return data.get(); }
    std::uint8_t* end() noexcept { return data.get() + size; }
    const std::uint8_t* begin() const noexcept { return data.get(); }
    const std::uint8_t* end() const noexcept { return data.get() + size; }
};

} // namespace fw::linux::netlink
