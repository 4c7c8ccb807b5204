// The pellad stand-in as the daemon's tie sees it: frames with their sockets
// go in, bytes flow between each frame's client and server, nothing comes back.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include <boost/asio/io_context.hpp>
#include <gtest/gtest.h>

#include "common/scoped_fd.hpp"
#include "links/pellad/tie.hpp"
#include "rules.pb.h"
#include "tests/common/temp_dir.hpp"
#include "tests/links/pellad/child.hpp"
#include "tests/support/process.hpp"

namespace {

using fw::util::scoped_fd_t;

struct delegate_t : fw::pellad::tie_t::delegate_t {
    int drained = 0;
    int closed = 0;
    int errors = 0;
    void on_drained() override { ++drained; }
    void on_closed() override { ++closed; }
    void on_error(std::exception_ptr) override { ++errors; }
};

std::pair<scoped_fd_t, scoped_fd_t> socket_pair()
{
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    return {scoped_fd_t(fds[0]), scoped_fd_t(fds[1])};
}

// Reads what arrives within a second: the text, or "EOF" for the end of stream.
std::string receive(int fd)
{
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 1000) != 1)
        return "(nothing)";
    char buffer[256];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    return n == 0 ? "EOF" : std::string(buffer, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
}

void put(int fd, const std::string& text)
{
    ASSERT_EQ(::send(fd, text.data(), text.size(), MSG_NOSIGNAL), static_cast<ssize_t>(text.size()));
}

// One connection: the application ends the test keeps, the daemon's ends the tie hands over.
struct connection_t {
    scoped_fd_t client_app, client, server, server_app;
    connection_t()
    {
        std::tie(client_app, client) = socket_pair();
        std::tie(server, server_app) = socket_pair();
    }
};

using pellad_standin = morva_test::temp_dir_test_t;

TEST_F(pellad_standin, pairs_sockets_with_frames_relays_with_half_close_and_prints_variables)
{
    const std::string path = (dir / "pellad.sock").string();
    morva_test::child_t standin({morva_test::built("tools/pellad-standin"), path}, dir / "out.txt");
    ASSERT_TRUE(standin.wait_for("listening on")) << standin.output();

    boost::asio::io_context io;
    fw::pellad::tie_t::socket_t socket(io);
    socket.connect(path);
    delegate_t delegate;
    fw::pellad::tie_t tie(std::move(socket), {true, false, false, false, false}, {60, true, 1, 2, 3, 4, 5}, true);
    tie.start(&delegate);

    connection_t first, second;
    kv::RuleSet rules;
    rules.add_variable()->set_user_name("alice");
    tie.send_connections(rules, std::move(first.server), std::move(first.client));
    rules.mutable_variable(0)->set_user_name("bob");
    tie.send_connections(rules, std::move(second.server), std::move(second.client));
    EXPECT_EQ(delegate.drained, 2);

    // Each frame's client reaches that frame's server, and back.
    put(first.client_app.get(), "hello");
    put(second.client_app.get(), "other");
    EXPECT_EQ(receive(first.server_app.get()), "hello");
    EXPECT_EQ(receive(second.server_app.get()), "other");
    put(first.server_app.get(), "world");
    EXPECT_EQ(receive(first.client_app.get()), "world");

    // The client's end of stream reaches the server, which may still answer.
    ASSERT_EQ(::shutdown(first.client_app.get(), SHUT_WR), 0);
    EXPECT_EQ(receive(first.server_app.get()), "EOF");
    put(first.server_app.get(), "late answer");
    EXPECT_EQ(receive(first.client_app.get()), "late answer");
    first.server_app.reset();
    EXPECT_EQ(receive(first.client_app.get()), "EOF");

    ASSERT_TRUE(standin.wait_for("frame 2: variable user_name: \"bob\"")) << standin.output();
    const std::string out = standin.output();
    EXPECT_NE(out.find("link 1 frame 1: variable user_name: \"alice\""), std::string::npos) << out;
    EXPECT_NE(out.find("frame 1: COMPLEMENTARY_CONNECTIONS scan_timeout=60 heuristic_analysis=1"), std::string::npos)
        << out;

    // Nothing ever came back on the link.
    io.run_for(std::chrono::milliseconds(50));
    EXPECT_EQ(delegate.errors, 0);
    EXPECT_EQ(delegate.closed, 0);
}

} // namespace
