// What quisad sends the client: length-prefixed frames over the stream, each a
// ServerMessage. The input is the byte stream; the peer then closes it.
#include "fuzz/fuzz.hpp"
#include "common/error.hpp"
#include "links/protobuf_error.hpp"
#include "links/quisad/ipc.hpp"
#include "links/stream_socket.hpp"
#include "quisad_client_ipc.pb.h"

#include <google/protobuf/stubs/logging.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>

#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>

namespace {

struct recorder_t : fw::quisad::ipc_t::delegate_t {
    bool failed = false;
    void on_lookup_response(std::uint32_t, std::vector<std::string>) override {}
    void on_lookup_error(std::uint32_t, const kv::Error&) override {}
    void on_check_response(std::uint32_t, bool) override {}
    void on_check_error(std::uint32_t, const kv::Error&) override {}
    void on_error(std::exception_ptr) override { failed = true; } // a read error or a bad frame size
};

fuzz_bytes_t frame(const qd::ServerMessage& message)
{
    const std::string body = message.SerializeAsString();
    return fuzz::concat({fuzz::raw(static_cast<std::uint32_t>(body.size())), fuzz::text(body)});
}

} // namespace

std::vector<fuzz_bytes_t> fuzz_seeds()
{
    qd::ServerMessage lookup;
    lookup.set_tag(qd::ServerMessage::LOOKUP_RESPONSE);
    lookup.set_serial(1);
    lookup.add_data("alice");
    lookup.add_data("bob");
    qd::ServerMessage check;
    check.set_tag(qd::ServerMessage::CHECK_RESPONSE);
    check.set_serial(2);
    check.set_result(true);
    qd::ServerMessage failed;
    failed.set_tag(qd::ServerMessage::CHECK_RESPONSE);
    failed.set_serial(3);
    failed.mutable_error()->set_code(kv::EC_PROTOCOL_VIOLATION);
    failed.mutable_error()->set_what("no source");
    return {fuzz::concat({frame(lookup), frame(check), frame(failed)})};
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using boost::asio::local::stream_protocol;
    static const bool quiet = (google::protobuf::SetLogHandler(nullptr), true); // bodies that fail to parse are expected
    (void)quiet;
    boost::asio::io_context io;
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        std::abort();
    stream_protocol::socket socket(io);
    socket.assign(stream_protocol(), fds[0]);
    recorder_t recorder;
    fw::quisad::ipc_t ipc(
        std::make_unique<fw::util::asio_stream_socket_wrapper_t<stream_protocol::socket>>(std::move(socket)), &recorder);
    if (size && ::send(fds[1], data, size, MSG_NOSIGNAL) != static_cast<ssize_t>(size))
        std::abort(); // inputs stay far below the socket buffer
    ::shutdown(fds[1], SHUT_WR);
    // A body that does not parse, or a response without what its tag requires,
    // leaves the event loop as the client's error.
    try {
        while (!recorder.failed && io.poll() > 0)
            io.restart();
    } catch (const fw::util::protobuf_parse_error_t&) {
    } catch (const cf_exception_t&) {
    }
    ::close(fds[1]);
    return 0;
}
