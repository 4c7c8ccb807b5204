// Queue configuration messages byte for byte, and the fallback for kernels
// without the owner flags.
#include "linux/nfqueue_config.hpp"

#include <boost/system/system_error.hpp>
#include <gtest/gtest.h>

#include <sys/eventfd.h>

#include <cerrno>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using bytes_t = std::vector<std::uint8_t>;
using namespace fw::linux::nfqueue;

TEST(NfqueueConfig, BindMessageWithOwnerFlags)
{
    const bytes_t expected = {
        0x00, 0x00, 0x00, 0x03,                                                 // nfgenmsg, queue 3
        0x08, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00, 0x02,                         // BIND, AF_INET
        0x0c, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x78, 0x02, 0x00, 0x00, 0x00, // 120 bytes, copy packet
        0x08, 0x00, 0x03, 0x00, 0x00, 0x00, 0x04, 0x00,                         // queue length 1024
        0x08, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x08,                         // mask UID_GID
        0x08, 0x00, 0x05, 0x00, 0x00, 0x00, 0x00, 0x08,                         // flags UID_GID
    };
    EXPECT_EQ(queue_bind_payload(3, 1024, false), expected);
    // With the 16-byte netlink header this is the 64-byte message.
    EXPECT_EQ(expected.size() + 16, 64u);
}

TEST(NfqueueConfig, BindMessageWithoutOwnerFlags)
{
    const bytes_t expected = {
        0x00, 0x00, 0x01, 0x02,                                                 // queue 0x0102
        0x08, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00, 0x02,                         //
        0x0c, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x78, 0x02, 0x00, 0x00, 0x00, //
        0x08, 0x00, 0x03, 0x00, 0x00, 0x01, 0x00, 0x00,                         // 65536
    };
    EXPECT_EQ(queue_bind_payload(0x0102, 65536, true), expected);
}

TEST(NfqueueConfig, FamilyCommands)
{
    EXPECT_EQ(queue_command_payload(7, 4), (bytes_t{0x00, 0x00, 0x00, 0x07, 0x08, 0x00, 0x01, 0x00, 0x04, 0x00, 0x00, 0x02}));
    EXPECT_EQ(queue_command_payload(7, 3), (bytes_t{0x00, 0x00, 0x00, 0x07, 0x08, 0x00, 0x01, 0x00, 0x03, 0x00, 0x00, 0x02}));
}

// Each attempt either throws the error it is given or returns a fresh descriptor.
struct attempts_t {
    std::vector<int> errors; // 0: succeed
    std::vector<std::string> calls;
    std::vector<int> returned;

    fw::util::scoped_fd_t operator()(std::uint16_t queue, std::uint32_t max_length, bool without)
    {
        calls.push_back(std::to_string(queue) + "/" + std::to_string(max_length) + (without ? " without" : " with"));
        const int error = errors.at(calls.size() - 1);
        if (error < 0)
            throw std::runtime_error("not a system error");
        if (error)
            throw boost::system::system_error(error, boost::system::system_category(), "NETLINK error received");
        returned.push_back(::eventfd(0, EFD_CLOEXEC));
        return fw::util::scoped_fd_t(returned.back());
    }
};

TEST(NfqueueConfig, OpenQueueFallsBackOnlyForUnsupportedFlags)
{
    struct case_t {
        std::vector<int> errors;
        std::vector<std::string> calls;
        int thrown; // errno of the propagated error, -1 any other, 0 none
    };
    const case_t cases[] = {
        {{0}, {"5/1024 with"}, 0},
        {{EOPNOTSUPP, 0}, {"5/1024 with", "5/1024 without"}, 0},
        {{EBUSY}, {"5/1024 with"}, EBUSY},
        {{EPERM}, {"5/1024 with"}, EPERM},
        {{EOPNOTSUPP, EOPNOTSUPP}, {"5/1024 with", "5/1024 without"}, EOPNOTSUPP},
        {{EOPNOTSUPP, EBUSY}, {"5/1024 with", "5/1024 without"}, EBUSY},
        {{-1}, {"5/1024 with"}, -1},
    };
    for (const auto& c : cases) {
        attempts_t attempts{c.errors, {}, {}};
        int thrown = 0;
        try {
            auto fd = open_queue(5, 1024, std::ref(attempts));
            ASSERT_EQ(attempts.returned.size(), 1u);
            EXPECT_EQ(fd.get(), attempts.returned.back());
        } catch (const boost::system::system_error& e) {
            thrown = e.code().value();
        } catch (const std::runtime_error&) {
            thrown = -1;
        }
        EXPECT_EQ(attempts.calls, c.calls) << c.errors.size();
        EXPECT_EQ(thrown, c.thrown) << c.errors.size();
    }
}

} // namespace
