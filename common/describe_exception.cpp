#include "common/error.hpp"

#include <cstring>
#include <new>
#include <typeinfo>

#include <boost/xpressive/xpressive_static.hpp>

namespace {

namespace xp = boost::xpressive;

// The Boost libraries prefix their texts with their scope ("boost::filesystem::").
const xp::cregex& boost_scope()
{
    static const xp::cregex re = xp::bos >> "boost::" >> *(+xp::_w >> "::");
    return re;
}

const char* cut_boost_scope(const char* text)
{
    xp::cmatch match;
    if (!xp::regex_search(text, match, boost_scope()))
        return nullptr;
    const char* rest = text + match.length(0);
    static constexpr char construct[] = "construct:";
    if (match.str(0) == "boost::filesystem::directory_iterator::"
        && std::strncmp(rest, construct, sizeof construct - 1) == 0) {
        // What failed there was opendir; the rewritten text lives per thread.
        thread_local std::string rewritten;
        rewritten = "opendir:";
        rewritten += rest + sizeof construct - 1;
        return rewritten.c_str();
    }
    return rest;
}

} // namespace

const char* describe_exception(const std::exception& e) noexcept
{
    const char* text = e.what();
    try {
        if (const char* cut = cut_boost_scope(text))
            return cut;
    } catch (...) {
        // Falls back to the exception's own text: describing must never throw.
    }
    if (typeid(e) == typeid(std::bad_alloc))
        return "Not enough memory";
    return text;
}
