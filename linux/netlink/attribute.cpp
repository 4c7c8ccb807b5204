#include "linux/netlink/attribute.hpp"

#include "linux/netlink/message.hpp"

#include <linux/netlink.h>


namespace fw::linux::netlink {

static_assert(NLA_HDRLEN == 4);
// The type without the nested and byte-order flags.
constexpr std::uint16_t type_mask = 0x3fff;
static_assert((type_mask & (NLA_F_NESTED | NLA_F_NET_BYTEORDER)) == 0);

compound_attribute_t compound_attribute_t::parse(const void* data, std::size_t size)
{
    return parse(static_cast<const std::uint8_t*>(data), size, 0);
}

namespace {

// Calls visit(type, nested, payload, payload size) for each attribute of one
// level, in order; a malformed one throws parse_error_t.
template <typename Visit>
void walk(const std::uint8_t* p, std::size_t remaining, int depth, Visit&& visit)
{
    if (depth > compound_attribute_t::max_nesting)
        throw compound_attribute_t::parse_error_t("Nesting deeper than "
                                                  + std::to_string(compound_attribute_t::max_nesting) + " levels");
    while (remaining >= NLA_HDRLEN) {
        nlattr header;
        std::memcpy(&header, p, sizeof header);
        if (header.nla_len < NLA_HDRLEN || header.nla_len > remaining)
            throw compound_attribute_t::parse_error_t("Invalid header length: " + std::to_string(header.nla_len));
        visit(static_cast<std::uint16_t>(header.nla_type & type_mask), (header.nla_type & NLA_F_NESTED) != 0,
              p + NLA_HDRLEN, static_cast<std::size_t>(header.nla_len - NLA_HDRLEN));
        // The last attribute may lack its padding.
        std::size_t step = align4(header.nla_len);
        if (step > remaining)
            break;
        p += step;
        remaining -= step;
    }
}

void check_nested(const std::uint8_t* p, std::size_t size, int depth)
{
    walk(p, size, depth, [depth](std::uint16_t, bool nested, const std::uint8_t* payload, std::size_t payload_size) {
        if (nested)
            check_nested(payload, payload_size, depth + 1);
    });
}

} // namespace

compound_attribute_t compound_attribute_t::parse(const std::uint8_t* p, std::size_t remaining, int depth)
{
    compound_attribute_t set;
    // The last occurrence of a type wins.
    walk(p, remaining, depth,
         [&set, depth](std::uint16_t type, bool nested, const std::uint8_t* payload, std::size_t payload_size) {
             if (nested)
                 set.values_[type] = attribute_value_t(parse(payload, payload_size, depth + 1));
             else
                 set.values_[type] = attribute_value_t(byte_array_t(payload, payload_size));
         });
    return set;
}

attribute_table_t attribute_table_t::parse(const void* data, std::size_t size)
{
    attribute_table_t table;
    walk(static_cast<const std::uint8_t*>(data), size, 0,
         [&table](std::uint16_t type, bool nested, const std::uint8_t* payload, std::size_t payload_size) {
             if (nested)
                 check_nested(payload, payload_size, 1);
             if (type < capacity)
                 table.slots_[type] = {{payload, payload_size}, true, nested};
         });
    return table;
}

const attribute_table_t::bytes_t* attribute_table_t::find_bytes(std::uint16_t type) const
{
    if (type >= capacity || !slots_[type].present)
        return nullptr;
    if (slots_[type].nested)
        throw compound_attribute_t::invalid_attribute_t();
    return &slots_[type].bytes;
}

const attribute_table_t::bytes_t& attribute_table_t::get_bytes(std::uint16_t type) const
{
    if (const bytes_t* bytes = find_bytes(type))
        return *bytes;
    throw compound_attribute_t::no_such_attribute_t(type);
}

namespace {

void put_header(std::vector<std::uint8_t>& out, std::size_t len, std::uint16_t type)
{
    if (len > 0xffff)
        throw std::length_error("netlink: attribute " + std::to_string(type & type_mask) + " too long: "
                                + std::to_string(len) + " bytes");
    nlattr header{static_cast<std::uint16_t>(len), type};
    auto* bytes = reinterpret_cast<const std::uint8_t*>(&header);
    out.insert(out.end(), bytes, bytes + sizeof header);
}

} // namespace

void compound_attribute_t::serialize(std::vector<std::uint8_t>& out) const
{
    for (const auto& [type, value] : values_) {
        if (const byte_array_t* bytes = value.bytes()) {
            // The padded length goes into nla_len.
            std::size_t len = align4(NLA_HDRLEN + bytes->size);
            put_header(out, len, type);
            out.insert(out.end(), bytes->begin(), bytes->end());
            out.resize(out.size() + (len - NLA_HDRLEN - bytes->size), 0);
        } else {
            std::vector<std::uint8_t> nested;
            value.nested()->serialize(nested);
            put_header(out, NLA_HDRLEN + nested.size(), static_cast<std::uint16_t>(type | NLA_F_NESTED));
            out.insert(out.end(), nested.begin(), nested.end());
        }
    }
}

namespace {

template <typename T>
T& required(T* value, std::uint16_t type)
{
    if (!value)
        throw compound_attribute_t::no_such_attribute_t(type);
    return *value;
}

// The value in the form `pick` selects; a value of the other form is invalid.
template <typename Value, typename Pick>
auto* in_form(Value* value, Pick pick)
{
    decltype(pick(*value)) form = nullptr;
    if (value && !(form = pick(*value)))
        throw compound_attribute_t::invalid_attribute_t();
    return form;
}

constexpr auto pick_bytes = [](auto& value) { return value.bytes(); };
constexpr auto pick_nested = [](auto& value) { return value.nested(); };

} // namespace

const attribute_value_t* compound_attribute_t::find(std::uint16_t type) const noexcept
{
    auto it = values_.find(type);
    return it == values_.end() ? nullptr : &it->second;
}

attribute_value_t* compound_attribute_t::find(std::uint16_t type) noexcept
{
    auto it = values_.find(type);
    return it == values_.end() ? nullptr : &it->second;
}

const attribute_value_t& compound_attribute_t::get(std::uint16_t type) const { return required(find(type), type); }
attribute_value_t& compound_attribute_t::get(std::uint16_t type) { return required(find(type), type); }

const byte_array_t* compound_attribute_t::find_bytes(std::uint16_t type) const { return in_form(find(type), pick_bytes); }
byte_array_t* compound_attribute_t::find_bytes(std::uint16_t type) { return in_form(find(type), pick_bytes); }
const byte_array_t& compound_attribute_t::get_bytes(std::uint16_t type) const { return required(find_bytes(type), type); }
byte_array_t& compound_attribute_t::get_bytes(std::uint16_t type) { return required(find_bytes(type), type); }

const compound_attribute_t* compound_attribute_t::find_nested(std::uint16_t type) const
{
    return in_form(find(type), pick_nested);
}

compound_attribute_t* compound_attribute_t::find_nested(std::uint16_t type) { return in_form(find(type), pick_nested); }

const compound_attribute_t& compound_attribute_t::get_nested(std::uint16_t type) const
{
    return required(find_nested(type), type);
}

compound_attribute_t& compound_attribute_t::get_nested(std::uint16_t type) { return required(find_nested(type), type); }

byte_array_t& compound_attribute_t::add_bytes(std::uint16_t type)
{
    attribute_value_t& value = values_[type];
    value = attribute_value_t(byte_array_t());
    return *value.bytes();
}

compound_attribute_t& compound_attribute_t::add_nested(std::uint16_t type)
{
    attribute_value_t& value = values_[type];
    value = attribute_value_t(compound_attribute_t());
    return *value.nested();
}

} // namespace fw::linux::netlink
