#include "fw/divert/session_id.hpp"

#include <cstdint>
#include <random>

namespace fw::service {

std::string make_session_id()
{
    // Seeded from the system's random source on first use; the ids only tell
    // sessions apart in the log, they guard nothing.
    thread_local std::mt19937_64 generator{std::random_device{}()};
    static const char digits[] = "0123456789abcdef";
    std::uint64_t bits = generator();
    std::string id(14, '-');
    for (std::size_t i = 0; i < id.size(); ++i) {
        if (i % 5 == 4)
            continue;
        id[i] = digits[bits & 0x0f];
        bits >>= 4;
    }
    return id;
}

} // namespace fw::service
