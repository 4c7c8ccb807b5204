#pragma once
// The server's ports. Each arm kind has its own, so the hook tells them
// apart by port and the server's counts show which path each one took.
namespace bench {

constexpr int direct_port = 9000;    // echo, measured without the daemon
constexpr int pass_port = 9001;      // echo, the hook passes
constexpr int check_port = 9002;     // echo, the hook checks (pellad stand-in relays)
constexpr int exe_port = 9003;       // echo, the hook reads the executable path, then passes
constexpr int hold_port = 9004;      // held open, the hook checks
constexpr int drop_syn_port = 9005;  // raw SYNs, the hook drops (nothing listens)
constexpr int pass_syn_port = 9006;  // raw SYNs, the hook passes (nothing listens: the server resets)

} // namespace bench
