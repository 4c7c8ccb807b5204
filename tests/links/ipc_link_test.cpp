#include "links/ipc_link.hpp"
#include "links/stream_socket.hpp"
#include "tests/links/stream_pair.hpp"

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/post.hpp>
#include <boost/system/system_error.hpp>

#include <chrono>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using boost::asio::local::stream_protocol;
using fw::util::basic_ipc_link_t;
using fw::util::endianness_t;
using fw::util::ipc_link_t;
using fw::util::stream_socket_t;

std::string what_of(std::exception_ptr e)
{
    try {
        std::rethrow_exception(e);
    } catch (const std::exception& x) {
        return x.what();
    }
}

template <endianness_t E = endianness_t::native>
struct recorder_t : basic_ipc_link_t<E>::delegate_t {
    std::vector<std::string> messages;
    std::vector<std::string> errors;
    std::unique_ptr<basic_ipc_link_t<E>>* destroy_on_message = nullptr;
    std::unique_ptr<basic_ipc_link_t<E>>* destroy_on_error = nullptr;

    void on_message(void const* data, std::size_t size) override
    {
        messages.emplace_back(static_cast<const char*>(data), size);
        if (destroy_on_message)
            destroy_on_message->reset();
    }
    void on_error(std::exception_ptr e) override
    {
        errors.push_back(what_of(e));
        if (destroy_on_error)
            destroy_on_error->reset();
    }
};

std::unique_ptr<std::uint8_t[]> bytes_of(const std::string& s)
{
    auto p = std::make_unique<std::uint8_t[]>(s.size());
    std::memcpy(p.get(), s.data(), s.size());
    return p;
}

std::string frame(const std::string& body, std::uint32_t length)
{
    std::string f(reinterpret_cast<const char*>(&length), 4);
    return f + body;
}

std::string frame(const std::string& body) { return frame(body, static_cast<std::uint32_t>(body.size())); }

void write_all(int fd, const std::string& data)
{
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n <= 0)
            throw std::runtime_error("test write failed");
        done += static_cast<std::size_t>(n);
    }
}

std::string read_exactly(int fd, std::size_t size)
{
    std::string out(size, '\0');
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = ::read(fd, out.data() + done, size - done);
        if (n <= 0)
            throw std::runtime_error("test read failed");
        done += static_cast<std::size_t>(n);
    }
    return out;
}

// A link over one end of a real socketpair; the test holds the other end.
template <endianness_t E = endianness_t::native>
struct pair_fixture_t {
    boost::asio::io_context io;
    recorder_t<E> rec;
    std::unique_ptr<basic_ipc_link_t<E>> link;
    int peer = -1;

    pair_fixture_t()
    {
        link = std::make_unique<basic_ipc_link_t<E>>(&rec, morva_test::stream_pair(io, peer));
    }
    ~pair_fixture_t()
    {
        link.reset();
        if (peer >= 0)
            ::close(peer);
    }
    void close_peer()
    {
        ::close(peer);
        peer = -1;
    }
    void run()
    {
        io.restart();
        io.run_for(std::chrono::seconds(5));
    }
    // Turns the loop until done() or the deadline; on a loaded machine a
    // turn count would run out long before the peer's data arrived.
    void run_until(const std::function<bool()>& done, std::chrono::seconds limit = std::chrono::seconds(30))
    {
        io.restart();
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done() && std::chrono::steady_clock::now() < deadline)
            io.run_for(std::chrono::milliseconds(1));
    }
    // Runs the loop until the peer can read `size` bytes, then reads them.
    std::string read_from_peer(std::size_t size)
    {
        run_until([&] {
            int available = 0;
            ::ioctl(peer, FIONREAD, &available);
            return static_cast<std::size_t>(available) >= size;
        });
        return read_exactly(peer, size);
    }
};

TEST(ipc_link, frames_travel_both_ways_over_a_socketpair)
{
    pair_fixture_t<> f;
    write_all(f.peer, frame("hello") + frame("second"));
    f.run_until([&] { return f.rec.messages.size() == 2; });
    EXPECT_EQ(f.rec.messages, (std::vector<std::string>{"hello", "second"}));

    f.link->write(bytes_of("abc"), 3);
    f.link->write(bytes_of("defgh"), 5);
    EXPECT_EQ(f.read_from_peer(16), frame("abc") + frame("defgh"));
    EXPECT_TRUE(f.rec.errors.empty());
}

TEST(ipc_link, nothing_is_delivered_before_the_event_loop_turns)
{
    pair_fixture_t<> f;
    write_all(f.peer, frame("x"));
    EXPECT_TRUE(f.rec.messages.empty());
    f.run_until([&] { return !f.rec.messages.empty(); });
    EXPECT_EQ(f.rec.messages.size(), 1u);
}

TEST(ipc_link, swapped_link_byte_swaps_the_prefix_both_ways)
{
    pair_fixture_t<endianness_t::swapped> f;
    write_all(f.peer, std::string("\0\0\0\3abc", 7));
    f.run_until([&] { return !f.rec.messages.empty(); });
    EXPECT_EQ(f.rec.messages, std::vector<std::string>{"abc"});
    f.link->write(bytes_of("de"), 2);
    EXPECT_EQ(f.read_from_peer(6), std::string("\0\0\0\2de", 6));
}

TEST(ipc_link, received_lengths_outside_one_to_64_mib_fail_the_link)
{
    for (std::uint32_t length : {0u, 67108865u, 0xffffffffu}) {
        SCOPED_TRACE(length);
        pair_fixture_t<> f;
        write_all(f.peer, frame("", length));
        f.run_until([&] { return !f.rec.errors.empty(); });
        EXPECT_EQ(f.rec.errors, std::vector<std::string>{"invalid message size received"});
        EXPECT_TRUE(f.rec.messages.empty());
        EXPECT_EQ(f.link->receive_capacity(), 0u);
    }
}

TEST(ipc_link, a_body_of_exactly_64_mib_is_accepted)
{
    pair_fixture_t<> f;
    const std::uint32_t size = 67108864;
    std::thread writer([&] {
        std::string body(size, 'z');
        body.back() = 'e';
        try {
            write_all(f.peer, frame(body));
        } catch (const std::exception&) {
            // The peer was shut down below: the link did not take it all in time.
        }
    });
    f.run_until([&] { return !f.rec.messages.empty() || !f.rec.errors.empty(); }, std::chrono::seconds(120));
    // A writer still blocked on a full socket would never be joined otherwise.
    ::shutdown(f.peer, SHUT_RDWR);
    writer.join();
    ASSERT_EQ(f.rec.messages.size(), 1u);
    EXPECT_EQ(f.rec.messages[0].size(), size);
    EXPECT_EQ(f.rec.messages[0].back(), 'e');
    EXPECT_EQ(f.link->receive_capacity(), size);
}

TEST(ipc_link, receive_buffer_grows_to_the_body_and_never_shrinks)
{
    pair_fixture_t<> f;
    EXPECT_EQ(f.link->receive_capacity(), 4096u);
    write_all(f.peer, frame(std::string(100, 'a')));
    f.run_until([&] { return f.rec.messages.size() == 1; });
    EXPECT_EQ(f.link->receive_capacity(), 4096u);
    write_all(f.peer, frame(std::string(5000, 'b')));
    f.run_until([&] { return f.rec.messages.size() == 2; });
    EXPECT_EQ(f.link->receive_capacity(), 5000u);
    write_all(f.peer, frame(std::string(100, 'c')));
    f.run_until([&] { return f.rec.messages.size() == 3; });
    EXPECT_EQ(f.link->receive_capacity(), 5000u);
    EXPECT_EQ(f.rec.messages[1], std::string(5000, 'b'));
    EXPECT_EQ(f.rec.messages[2], std::string(100, 'c'));
}

TEST(ipc_link, peer_closing_gives_exactly_one_read_error)
{
    pair_fixture_t<> f;
    write_all(f.peer, frame("ab").substr(0, 4)); // a prefix, then the end of stream
    f.close_peer();
    f.run();
    ASSERT_EQ(f.rec.errors.size(), 1u);
    EXPECT_EQ(f.rec.errors[0].rfind("read failed: ", 0), 0u) << f.rec.errors[0];
    EXPECT_NE(f.rec.errors[0].find("End of file"), std::string::npos) << f.rec.errors[0];
    // A dead link drops what it is given.
    f.link->write(bytes_of("late"), 4);
    f.run();
    EXPECT_EQ(f.rec.errors.size(), 1u);
}

TEST(ipc_link, delegate_may_destroy_the_link_inside_its_callbacks)
{
    {
        pair_fixture_t<> f;
        f.rec.destroy_on_message = &f.link;
        write_all(f.peer, frame("one") + frame("two"));
        f.link->write(bytes_of("pending"), 7);
        f.run();
        EXPECT_EQ(f.rec.messages, std::vector<std::string>{"one"});
        EXPECT_FALSE(f.link);
    }
    {
        pair_fixture_t<> f;
        f.rec.destroy_on_error = &f.link;
        f.close_peer();
        f.run();
        EXPECT_EQ(f.rec.errors.size(), 1u);
        EXPECT_FALSE(f.link);
    }
}

// A stream whose completions the test hands out itself, to see each gather
// write and to cut writes short.
struct fake_state_t {
    boost::asio::io_context* io = nullptr;
    struct write_t {
        std::vector<std::string> buffers;
        stream_socket_t::handler_t handler;
    };
    std::vector<write_t> writes;
    std::optional<stream_socket_t::handler_t> read_handler;
    bool destroyed = false;

    std::string joined(std::size_t i) const
    {
        std::string s;
        for (auto& b : writes.at(i).buffers)
            s += b;
        return s;
    }
    void complete_write(std::size_t i, std::size_t n, boost::system::error_code ec = {})
    {
        boost::asio::post(*io, [h = writes.at(i).handler, ec, n] { h(ec, n); });
    }
};

class fake_stream_t : public stream_socket_t {
public:
    explicit fake_stream_t(std::shared_ptr<fake_state_t> s) : s_(std::move(s)) {}
    ~fake_stream_t() override
    {
        // Like a real socket: what is pending completes, aborted.
        s_->destroyed = true;
        auto aborted = boost::asio::error::operation_aborted;
        for (auto& w : s_->writes)
            boost::asio::post(*s_->io, [h = w.handler, aborted] { h(aborted, 0); });
        if (s_->read_handler)
            boost::asio::post(*s_->io, [h = *s_->read_handler, aborted] { h(aborted, 0); });
    }
    void async_read_some(boost::asio::mutable_buffer, handler_t h) override { s_->read_handler = std::move(h); }
    void async_write_some(const std::list<boost::asio::const_buffer>& buffers, handler_t h) override
    {
        fake_state_t::write_t w;
        for (auto& b : buffers)
            w.buffers.emplace_back(static_cast<const char*>(b.data()), b.size());
        w.handler = std::move(h);
        s_->writes.push_back(std::move(w));
    }
    void close() override {}
    executor_type get_executor() override { return s_->io->get_executor(); }

private:
    std::shared_ptr<fake_state_t> s_;
};

struct fake_fixture_t {
    boost::asio::io_context io;
    std::shared_ptr<fake_state_t> state = std::make_shared<fake_state_t>();
    recorder_t<> rec;
    std::unique_ptr<ipc_link_t> link;

    fake_fixture_t()
    {
        state->io = &io;
        link = std::make_unique<ipc_link_t>(&rec, std::make_unique<fake_stream_t>(state));
    }
    void run()
    {
        io.restart();
        io.run();
    }
};

TEST(ipc_link, frames_queued_during_a_write_go_out_together_in_order)
{
    fake_fixture_t f;
    f.link->write(bytes_of("first"), 5);
    ASSERT_EQ(f.state->writes.size(), 1u);
    EXPECT_EQ(f.state->writes[0].buffers, (std::vector<std::string>{frame("first").substr(0, 4), "first"}));

    f.link->write(bytes_of("second"), 6);
    f.link->write(bytes_of("third"), 5);
    EXPECT_EQ(f.state->writes.size(), 1u) << "at most one write in progress";

    f.state->complete_write(0, 9);
    f.run();
    ASSERT_EQ(f.state->writes.size(), 2u);
    EXPECT_EQ(f.state->writes[1].buffers.size(), 4u);
    EXPECT_EQ(f.state->joined(1), frame("second") + frame("third"));
}

TEST(ipc_link, a_partial_write_resumes_where_it_stopped_before_later_frames)
{
    fake_fixture_t f;
    f.link->write(bytes_of("abcdef"), 6);
    f.link->write(bytes_of("later"), 5); // queued behind the write in progress
    // 4 prefix bytes and 2 body bytes sent.
    f.state->complete_write(0, 6);
    f.run();
    ASSERT_EQ(f.state->writes.size(), 2u);
    EXPECT_EQ(f.state->writes[1].buffers[0], "cdef");
    EXPECT_EQ(f.state->joined(1), "cdef" + frame("later"));

    // Cut inside the prefix of the next frame.
    f.state->complete_write(1, 6);
    f.run();
    ASSERT_EQ(f.state->writes.size(), 3u);
    EXPECT_EQ(f.state->joined(2), frame("later").substr(2));

    f.state->complete_write(2, 7);
    f.run();
    EXPECT_EQ(f.state->writes.size(), 3u) << "nothing left to send";
}

TEST(ipc_link, a_write_error_fails_the_link_once_and_drops_unsent_frames)
{
    fake_fixture_t f;
    f.link->write(bytes_of("abc"), 3);
    f.link->write(bytes_of("def"), 3);
    f.state->complete_write(0, 0, boost::asio::error::broken_pipe);
    f.run();
    ASSERT_EQ(f.rec.errors.size(), 1u);
    EXPECT_EQ(f.rec.errors[0].rfind("write failed: ", 0), 0u) << f.rec.errors[0];
    EXPECT_NE(f.rec.errors[0].find("Broken pipe"), std::string::npos);
    EXPECT_TRUE(f.state->destroyed);
    // The aborted read posted by the closed stream did nothing.
    EXPECT_EQ(f.state->writes.size(), 1u);
}

TEST(ipc_link, completions_after_destruction_do_nothing)
{
    fake_fixture_t f;
    f.link->write(bytes_of("abc"), 3);
    auto handler = f.state->writes[0].handler;
    f.link.reset();
    handler({}, 7); // would credit bytes of a freed link
    f.run();        // the aborted completions posted by the stream
    EXPECT_TRUE(f.rec.errors.empty());
}

} // namespace
