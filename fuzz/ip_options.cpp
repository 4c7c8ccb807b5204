// The option list of an IPv4 header as a forged packet brings it.
#include "fuzz/fuzz.hpp"
#include "net/ip_options.hpp"

#include <cstdlib>

std::vector<fuzz_bytes_t> fuzz_seeds()
{
    return {
        {1, 1, 130, 11, 0xf1, 0x35, 0, 0, 0, 0, 0, 0},
        {130, 4, 1, 2, 0, 0, 0, 0},
        {7, 7, 4, 0, 0, 0, 0, 130, 3, 9, 1, 0},
        {130, 4, 1, 2, 130, 4, 1, 2},
        {0},
    };
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::uint8_t* option = fw::net::find_security_option(data, size);
    if (!option)
        return 0;
    // What it returns is a whole security option inside the list.
    if (option < data || option + 2 > data + size || fw::net::ip_option_kind(option) != fw::net::ip_option_security)
        std::abort();
    const unsigned length = fw::net::ip_option_length(option);
    if (length < 2 || option + length > data + size)
        std::abort();
    return 0;
}
