// One socket of a sock_diag dump reply: inet_diag_msg, then attributes.
#include "fuzz/fuzz.hpp"
#include "linux/netlink/sock_diag.hpp"

using fw::linux::netlink::compound_attribute_t;
using fw::linux::sock_diag::response_message_t;

std::vector<fuzz_bytes_t> fuzz_seeds()
{
    using namespace fuzz;
    inet_diag_msg msg{};
    msg.idiag_family = AF_INET;
    msg.idiag_state = 1;
    msg.id.idiag_sport = 0x5000;
    msg.id.idiag_dport = 0x3930;
    msg.id.idiag_src[0] = 0x0100007f;
    msg.id.idiag_dst[0] = 0x0100007f;
    msg.idiag_uid = 1000;
    msg.idiag_inode = 4242;
    return {
        concat({raw(msg), attr(INET_DIAG_MARK, raw(std::uint32_t{3})), attr(INET_DIAG_SHUTDOWN, {0})}),
        raw(msg),
    };
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    try {
        response_message_t message(data, size);
        (void)message.source();
        (void)message.destination();
    } catch (const response_message_t::parse_error_t&) {
    } catch (const compound_attribute_t::parse_error_t&) {
    }
    return 0;
}
