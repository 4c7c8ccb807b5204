// What marend sends the daemon: length-prefixed frames over the stream, each a
// Marend2FirewallMessage answering the oldest request of its kind. A few
// requests of each kind are outstanding; the input is the byte stream.
#include "fuzz/stream_peer.hpp"
#include "common/log.hpp"
#include "links/marend_tie.hpp"
#include "marend_linux_firewall_ipc.pb.h"

namespace {

struct recorder_t : fw::marend::tie_t::delegate_t {
    bool failed = false;
    // Every malformed or unexpected message ends up here.
    void on_error(std::exception_ptr) override { failed = true; }
};

} // namespace

std::vector<fuzz_bytes_t> fuzz_seeds()
{
    kv::Marend2FirewallMessage config;
    config.set_tag(kv::Marend2FirewallMessage::GET_CONFIG_RESPONSE);
    config.set_config_revision(7);
    config.mutable_config();
    kv::Marend2FirewallMessage pellad;
    pellad.set_tag(kv::Marend2FirewallMessage::GET_PELLAD_RESPONSE);
    pellad.set_socket_path("/run/pellad.sock");
    kv::Marend2FirewallMessage quisad;
    quisad.set_tag(kv::Marend2FirewallMessage::GET_QUISAD_RESPONSE);
    quisad.mutable_error()->set_code(kv::EC_PROTOCOL_VIOLATION);
    kv::Marend2FirewallMessage suspended = config;
    suspended.mutable_control()->set_suspended(true);
    suspended.mutable_control()->set_app(kv::APP_MAREND);
    return {fuzz::concat({fuzz::frame(config), fuzz::frame(pellad), fuzz::frame(quisad)}), fuzz::frame(suspended)};
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    cf_log_threshold = 100; // the tie logs every message it sends
    boost::asio::io_context io;
    fuzz::stream_peer_t peer(io);
    recorder_t recorder;
    fw::marend::tie_t tie(recorder, peer.take_socket());
    for (int i = 0; i < 3; ++i) {
        tie.request_config([](kv::LinuxFirewallConfig&, unsigned) {});
        tie.request_pellad_path([](boost::system::error_code, std::string) {});
        tie.request_quisad_path([](boost::system::error_code, std::string) {});
    }
    peer.send_and_close(data, size);
    try {
        while (!recorder.failed && io.poll() > 0)
            io.restart();
    } catch (kv::ErrorCode code) {
        // marend suspends the component: the daemon exits with this code
        if (code != kv::EC_APP_SUSPENDED)
            throw;
    }
    return 0;
}
