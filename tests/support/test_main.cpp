// Test entry point. A netns test program first moves into a network namespace
// of its own, before any thread starts, and brings its loopback up; the
// machine's own namespace is never touched.
#include <gtest/gtest.h>

#ifdef MORVA_TEST_NETNS
#include <cstdio>
#include <cstring>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

int main(int argc, char** argv)
{
#ifdef MORVA_TEST_NETNS
    if (::unshare(CLONE_NEWNET) != 0) {
        std::perror("unshare(CLONE_NEWNET)");
        return 1;
    }
    int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct ifreq ifr{};
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    if (s < 0 || ::ioctl(s, SIOCGIFFLAGS, &ifr) != 0
        || (ifr.ifr_flags |= IFF_UP, ::ioctl(s, SIOCSIFFLAGS, &ifr) != 0)) {
        std::perror("bringing lo up");
        return 1;
    }
    ::close(s);
#endif
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
