#pragma once
// A raw SYN generator: as many SYNs as the host can send, from changing
// source ports, for a given time; no connection follows them.
#include <string>

namespace bench {

// SYNs sent from `source` to `destination`:`port` during `seconds`.
long send_syns(const std::string& source, const std::string& destination, int port, double seconds);

} // namespace bench
