#pragma once
// The outcome of a lazy lookup: not looked up yet, looked up and absent, or
// present. Keeping "absent" apart from "not yet" stops a failed lookup from
// being repeated on every read.
#include <boost/variant.hpp>

#include <utility>

namespace fw::util::tristate {

struct undefined_t {};
struct none_t {};

// The order matters: a default-constructed value holds undefined_t.
template <typename T>
using value_t = boost::variant<undefined_t, none_t, T>;

template <typename T>
bool is_undefined(const value_t<T>& value)
{
    return value.type() == typeid(undefined_t);
}

template <typename T>
bool is_none(const value_t<T>& value)
{
    return value.type() == typeid(none_t);
}

template <typename T>
bool has_value(const value_t<T>& value)
{
    return value.type() == typeid(T);
}

// Throws boost::bad_get when the value holds a tag.
template <typename T>
T& get(value_t<T>& value)
{
    return boost::get<T>(value);
}

template <typename T>
const T& get(const value_t<T>& value)
{
    return boost::get<T>(value);
}

template <typename T, typename U>
void set_value(value_t<T>& value, U&& v)
{
    if (T* held = boost::get<T>(&value))
        *held = std::forward<U>(v);
    else
        value = T(std::forward<U>(v));
}

template <typename T>
void set_none(value_t<T>& value)
{
    if (!is_none(value))
        value = none_t{};
}

} // namespace fw::util::tristate
