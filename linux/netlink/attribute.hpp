#pragma once
// The attribute set every netlink message class parses and builds: at most one
// value per attribute type, kept in ascending type order.
#include "linux/netlink/byte_array.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

namespace fw::linux::netlink {

class attribute_value_t;

class compound_attribute_t {
public:
    class exception_t : public std::runtime_error {
    public:
        using std::runtime_error::runtime_error;
    };
    class no_such_attribute_t : public exception_t {
    public:
        explicit no_such_attribute_t(std::uint16_t type)
            : exception_t("netlink: " + std::to_string(type) + ": No such attribute") {}
    };
    class invalid_attribute_t : public exception_t {
    public:
        invalid_attribute_t() : exception_t("netlink: Invalid attribute type") {}
    };
    class parse_error_t : public exception_t {
    public:
        explicit parse_error_t(const std::string& detail)
            : exception_t("netlink: cannot parse attribute: " + detail) {}
    };

    // Kernel replies nest a few levels at most; a deeper stream is refused
    // rather than recursed into.
    static constexpr int max_nesting = 32;

    compound_attribute_t() = default;
    compound_attribute_t(compound_attribute_t&&) noexcept = default;
    compound_attribute_t& operator=(compound_attribute_t&&) noexcept = default;

    // Never reads outside [data, data + size); throws parse_error_t.
    static compound_attribute_t parse(const void* data, std::size_t size);
    // Appends the wire form to `out`, in ascending type order.
    void serialize(std::vector<std::uint8_t>& out) const;

    const attribute_value_t& get(std::uint16_t type) const;
    attribute_value_t& get(std::uint16_t type);
    const attribute_value_t* find(std::uint16_t type) const noexcept;
    attribute_value_t* find(std::uint16_t type) noexcept;

    const byte_array_t& get_bytes(std::uint16_t type) const;
    byte_array_t& get_bytes(std::uint16_t type);
    const byte_array_t* find_bytes(std::uint16_t type) const;
    byte_array_t* find_bytes(std::uint16_t type);

    const compound_attribute_t& get_nested(std::uint16_t type) const;
    compound_attribute_t& get_nested(std::uint16_t type);
    const compound_attribute_t* find_nested(std::uint16_t type) const;
    compound_attribute_t* find_nested(std::uint16_t type);

    byte_array_t& add_bytes(std::uint16_t type);
    compound_attribute_t& add_nested(std::uint16_t type);

    template <typename T>
    T* add_zeroed(std::uint16_t type)
    {
        static_assert(std::is_trivially_copyable_v<T>);
        byte_array_t& bytes = add_bytes(type);
        bytes = byte_array_t(sizeof(T));
        return reinterpret_cast<T*>(bytes.data.get());
    }

    // The first sizeof(T) payload bytes of `type`; a longer payload is fine.
    template <typename T>
    const T* find_as(std::uint16_t type) const
    {
        static_assert(std::is_trivially_copyable_v<T>);
        const byte_array_t* bytes = find_bytes(type);
        if (!bytes)
            return nullptr;
        if (bytes->size < sizeof(T))
            throw invalid_attribute_t();
        return reinterpret_cast<const T*>(bytes->data.get());
    }

    template <typename T>
    const T* get_as(std::uint16_t type) const
    {
        if (const T* value = find_as<T>(type))
            return value;
        throw no_such_attribute_t(type);
    }

    bool empty() const noexcept { return values_.empty(); }
    std::size_t size() const noexcept { return values_.size(); }
    auto begin() const noexcept { return values_.begin(); }
    auto end() const noexcept { return values_.end(); }

private:
    static compound_attribute_t parse(const std::uint8_t* data, std::size_t size, int depth);

    std::map<std::uint16_t, attribute_value_t> values_;
};

// Either payload bytes or a nested set.
class attribute_value_t {
public:
    attribute_value_t() = default;
    explicit attribute_value_t(byte_array_t bytes) : value_(std::move(bytes)) {}
    explicit attribute_value_t(compound_attribute_t nested) : value_(std::move(nested)) {}

    bool is_nested() const noexcept { return std::holds_alternative<compound_attribute_t>(value_); }
    const byte_array_t* bytes() const noexcept { return std::get_if<byte_array_t>(&value_); }
    byte_array_t* bytes() noexcept { return std::get_if<byte_array_t>(&value_); }
    const compound_attribute_t* nested() const noexcept { return std::get_if<compound_attribute_t>(&value_); }
    compound_attribute_t* nested() noexcept { return std::get_if<compound_attribute_t>(&value_); }

private:
    std::variant<byte_array_t, compound_attribute_t> value_;
};

// The attributes of one level read in place, without a copy, for messages on
// a hot path: the last value of each type below `capacity` (higher types are
// skipped). Nested values are checked as compound_attribute_t::parse checks
// them but not kept; reading one as bytes is invalid_attribute_t. Reads follow
// compound_attribute_t's rules and errors.
class attribute_table_t {
public:
    static constexpr std::uint16_t capacity = 32;

    struct bytes_t {
        const std::uint8_t* data = nullptr;
        std::size_t size = 0;
    };

    // Never reads outside [data, data + size); throws compound_attribute_t::parse_error_t.
    static attribute_table_t parse(const void* data, std::size_t size);

    const bytes_t* find_bytes(std::uint16_t type) const;
    const bytes_t& get_bytes(std::uint16_t type) const;

    template <typename T>
    const T* find_as(std::uint16_t type) const
    {
        static_assert(std::is_trivially_copyable_v<T>);
        const bytes_t* bytes = find_bytes(type);
        if (!bytes)
            return nullptr;
        if (bytes->size < sizeof(T))
            throw compound_attribute_t::invalid_attribute_t();
        return reinterpret_cast<const T*>(bytes->data);
    }

    template <typename T>
    const T* get_as(std::uint16_t type) const
    {
        if (const T* value = find_as<T>(type))
            return value;
        throw compound_attribute_t::no_such_attribute_t(type);
    }

private:
    struct slot_t {
        bytes_t bytes;
        bool present = false;
        bool nested = false;
    };
    std::array<slot_t, capacity> slots_{};
};

} // namespace fw::linux::netlink
