// An rtnetlink route or rule payload: the 12-byte header, then attributes.
#include "fuzz/fuzz.hpp"
#include "linux/netlink/routing_message.hpp"

using fw::linux::netlink::compound_attribute_t;
using fw::linux::rtnetlink::routing::message_t;

std::vector<fuzz_bytes_t> fuzz_seeds()
{
    using namespace fuzz;
    return {
        concat({fuzz_bytes_t{2, 32, 0, 0, 254, 4, 0, 1, 0, 0, 0, 0}, attr(RTA_DST, be32(0x0a000000)),
                attr(RTA_OIF, raw(std::uint32_t{2})), attr(RTA_TABLE, raw(std::uint32_t{100}))}),
        fuzz_bytes_t(12, 0),
    };
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    try {
        message_t message = message_t::parse(data, size);
        (void)message.serialize();
    } catch (const message_t::parse_error_t&) {
    } catch (const compound_attribute_t::parse_error_t&) {
    }
    return 0;
}
