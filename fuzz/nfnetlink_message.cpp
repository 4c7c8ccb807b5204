// An nfnetlink payload: nfgenmsg, then attributes.
#include "fuzz/fuzz.hpp"
#include "linux/netlink/nfnetlink_message.hpp"

using fw::linux::netlink::compound_attribute_t;
using fw::linux::nfnetlink::message_t;

std::vector<fuzz_bytes_t> fuzz_seeds()
{
    using namespace fuzz;
    return {
        concat({fuzz_bytes_t{2, 0, 0, 5}, attr(1, fuzz_bytes_t{0, 0, 0, 9, 8, 0, 3}), attr(10, fuzz_bytes_t(40, 0x45))}),
        fuzz_bytes_t{0, 0, 0, 0},
    };
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    try {
        message_t message = message_t::parse(data, size);
        (void)message.res_id();
        (void)message.serialize();
    } catch (const message_t::parse_error_t&) {
    } catch (const compound_attribute_t::parse_error_t&) {
    }
    return 0;
}
