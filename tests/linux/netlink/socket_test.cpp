#include "linux/netlink/socket.hpp"

#include "tests/support/netns.hpp"

#include <boost/system/system_error.hpp>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cerrno>
#include <string>

namespace {

using namespace fw::linux::netlink;

TEST(OpenNetlinkSocket, OpensBlockingCloseOnExecDatagramSockets)
{
    for (int protocol : {NETLINK_ROUTE, NETLINK_SOCK_DIAG, NETLINK_NETFILTER}) {
        fw::util::scoped_fd_t fd = open_netlink_socket(protocol);
        ASSERT_TRUE(fd);
        int value = 0;
        socklen_t len = sizeof value;
        ASSERT_EQ(::getsockopt(fd.get(), SOL_SOCKET, SO_PROTOCOL, &value, &len), 0);
        EXPECT_EQ(value, protocol);
        ASSERT_EQ(::getsockopt(fd.get(), SOL_SOCKET, SO_TYPE, &value, &len), 0);
        EXPECT_EQ(value, SOCK_DGRAM);
        EXPECT_EQ(::fcntl(fd.get(), F_GETFL) & O_NONBLOCK, 0);
        EXPECT_NE(::fcntl(fd.get(), F_GETFD) & FD_CLOEXEC, 0) << protocol;
    }
}

TEST(OpenNetlinkSocket, ChildProgramsDoNotInheritIt)
{
    fw::util::scoped_fd_t fd = open_netlink_socket(NETLINK_ROUTE);
    struct stat st{};
    ASSERT_EQ(::fstat(fd.get(), &st), 0);
    const std::string mine = "socket:[" + std::to_string(st.st_ino) + "]";
    // The shell lists its own descriptors: what it inherited from us.
    const std::string listing = morva_test::sh("ls -l /proc/$$/fd/");
    EXPECT_EQ(listing.find(mine), std::string::npos) << listing;
}

TEST(OpenNetlinkSocket, ReportsTheProtocolOnFailure)
{
    try {
        open_netlink_socket(31); // beyond MAX_LINKS
        ADD_FAILURE() << "no exception";
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(e.code().category(), boost::system::system_category());
        EXPECT_EQ(std::string(e.what()).rfind("Cannot open socket (protocol 31): ", 0), 0u) << e.what();
    }
}

TEST(MakeReceiveBuffer, SizedAndZeroedAsTheSocketReports)
{
    fw::util::scoped_fd_t fd = open_netlink_socket(NETLINK_ROUTE);
    int size = 0;
    socklen_t len = sizeof size;
    ASSERT_EQ(::getsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &size, &len), 0);
    byte_array_t buffer = make_receive_buffer(fd.get());
    ASSERT_EQ(buffer.size, static_cast<std::size_t>(size));
    EXPECT_EQ(std::count(buffer.begin(), buffer.end(), 0), size);

    try {
        make_receive_buffer(-1);
        ADD_FAILURE() << "no exception";
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(e.code().value(), EBADF);
        EXPECT_EQ(std::string(e.what()).rfind("getsockopt(SO_RCVBUF): ", 0), 0u) << e.what();
    }
}

} // namespace
