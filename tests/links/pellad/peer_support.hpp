#pragma once
// Shared by the tests that play pellad: the sockets handed to the daemon's side
// of a link, and pellad's reading of the stream with the descriptors that
// arrive with it.
#include <sys/socket.h>
#include <sys/stat.h>

#include <cstring>
#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>

#include "common/scoped_fd.hpp"

namespace morva_test {

inline ino_t inode(int fd)
{
    struct stat st {};
    EXPECT_EQ(::fstat(fd, &st), 0);
    return st.st_ino;
}

// One end of a socketpair handed to the code under test; the test keeps the
// partner, which sees end of stream once every copy of the handed end is closed.
struct handed_socket_t {
    fw::util::scoped_fd_t fd;
    fw::util::scoped_fd_t partner;
    ino_t ino = 0;
    int number = -1;

    handed_socket_t()
    {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
            throw std::runtime_error("socketpair");
        fd.reset(fds[0]);
        partner.reset(fds[1]);
        ino = inode(fd.get());
        number = fd.get();
    }

    bool closed_everywhere() const
    {
        char c;
        return ::recv(partner.get(), &c, 1, MSG_DONTWAIT) == 0;
    }
};

// What one read from pellad's end of a link brought.
struct descriptor_read_t {
    // One control message: its level, its type and the descriptors it carried.
    struct batch_t {
        int level = 0;
        int type = 0;
        std::vector<fw::util::scoped_fd_t> fds;
    };

    ssize_t bytes = 0; // as recvmsg returns it
    bool truncated = false; // MSG_CTRUNC: descriptors were lost
    std::vector<batch_t> batches;
};

// Reads without blocking, appending the bytes to `stream`.
inline descriptor_read_t read_with_descriptors(int fd, std::vector<unsigned char>& stream)
{
    std::vector<unsigned char> buffer(65536);
    iovec io{buffer.data(), buffer.size()};
    alignas(cmsghdr) unsigned char control[CMSG_SPACE(16 * sizeof(int))];
    msghdr header{};
    header.msg_iov = &io;
    header.msg_iovlen = 1;
    header.msg_control = control;
    header.msg_controllen = sizeof control;
    descriptor_read_t read;
    read.bytes = ::recvmsg(fd, &header, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    if (read.bytes <= 0)
        return read;
    read.truncated = (header.msg_flags & MSG_CTRUNC) != 0;
    for (cmsghdr* c = CMSG_FIRSTHDR(&header); c; c = CMSG_NXTHDR(&header, c)) {
        descriptor_read_t::batch_t& batch = read.batches.emplace_back();
        batch.level = c->cmsg_level;
        batch.type = c->cmsg_type;
        for (std::size_t i = 0; i < (c->cmsg_len - CMSG_LEN(0)) / sizeof(int); ++i) {
            int received;
            std::memcpy(&received, CMSG_DATA(c) + i * sizeof(int), sizeof received);
            batch.fds.emplace_back(received);
        }
    }
    stream.insert(stream.end(), buffer.begin(), buffer.begin() + read.bytes);
    return read;
}

} // namespace morva_test
