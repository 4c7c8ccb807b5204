// A received attribute set: parse, and what we parsed must survive our own
// serialize and parse unchanged.
#include "fuzz/fuzz.hpp"
#include "linux/netlink/attribute.hpp"

#include <cstdlib>
#include <stdexcept>

using fw::linux::netlink::compound_attribute_t;

std::vector<fuzz_bytes_t> fuzz_seeds()
{
    using namespace fuzz;
    return {
        concat({attr(1, be32(7)), attr(2, text("eth0")), nested(3, {attr(1, be32(1)), nested(2, {attr(4, {})})})}),
        attr(5, text("abc")), // unpadded last attribute kept below
        {},
    };
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    compound_attribute_t set;
    try {
        set = compound_attribute_t::parse(data, size);
    } catch (const compound_attribute_t::parse_error_t&) {
        return 0;
    }
    std::vector<std::uint8_t> once;
    try {
        set.serialize(once);
    } catch (const std::length_error&) {
        return 0; // padding grew an attribute past 64 KiB
    }
    std::vector<std::uint8_t> twice;
    compound_attribute_t::parse(once.data(), once.size()).serialize(twice);
    if (once != twice)
        std::abort();
    return 0;
}
