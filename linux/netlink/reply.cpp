#include "linux/netlink/reply.hpp"

#include <boost/system/system_error.hpp>

#include <cerrno>
#include <climits>
#include <cstring>

namespace fw::linux::netlink {

nlmsghdr read_header(const std::uint8_t* p) noexcept
{
    nlmsghdr header;
    std::memcpy(&header, p, sizeof header);
    return header;
}

int errno_of(std::int32_t error) noexcept
{
    if (error == 0)
        return 0;
    if (error > 0 || error == INT_MIN)
        return EPROTO;
    return -error;
}

std::int32_t error_field(const std::uint8_t* p) noexcept
{
    std::int32_t error;
    std::memcpy(&error, p + NLMSG_HDRLEN + offsetof(nlmsgerr, error), sizeof error);
    return error;
}

void check_error(const std::uint8_t* p, std::size_t available)
{
    if (available < NLMSG_HDRLEN)
        throw truncated_reply_t();
    nlmsghdr header = read_header(p);
    if (header.nlmsg_type != NLMSG_ERROR)
        return;
    if (header.nlmsg_len < error_message_size || available < error_message_size)
        throw truncated_reply_t();
    if (int code = errno_of(error_field(p)))
        throw boost::system::system_error(code, boost::system::system_category(), "NETLINK error received");
}

} // namespace fw::linux::netlink
