// What quisad sends the client: length-prefixed frames over the stream, each a
// ServerMessage. The input is the byte stream; the peer then closes it.
#include "fuzz/stream_peer.hpp"
#include "common/error.hpp"
#include "links/protobuf_error.hpp"
#include "links/quisad/ipc.hpp"
#include "quisad_client_ipc.pb.h"

namespace {

struct recorder_t : fw::quisad::ipc_t::delegate_t {
    bool failed = false;
    void on_lookup_response(std::uint32_t, std::vector<std::string>) override {}
    void on_lookup_error(std::uint32_t, const kv::Error&) override {}
    void on_check_response(std::uint32_t, bool) override {}
    void on_check_error(std::uint32_t, const kv::Error&) override {}
    void on_error(std::exception_ptr) override { failed = true; } // a read error or a bad frame size
};

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
    return {fuzz::concat({fuzz::frame(lookup), fuzz::frame(check), fuzz::frame(failed)})};
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    boost::asio::io_context io;
    fuzz::stream_peer_t peer(io);
    recorder_t recorder;
    fw::quisad::ipc_t ipc(peer.take_socket(), &recorder);
    peer.send_and_close(data, size);
    // A body that does not parse, or a response without what its tag requires,
    // leaves the event loop as the client's error.
    try {
        while (!recorder.failed && io.poll() > 0)
            io.restart();
    } catch (const fw::util::protobuf_parse_error_t&) {
    } catch (const cf_exception_t&) {
    }
    return 0;
}
