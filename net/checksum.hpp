#pragma once
// Internet checksums (RFC 1071) of the IPv4 and TCP headers the daemon writes.
#include <cstddef>
#include <cstdint>

namespace fw::net {

// The TCP checksum of `segment` (header and payload, `length` bytes, its own
// checksum field taken as it is: zero it first) over the pseudo-header;
// `addresses` points at the source and then the destination address, 8 bytes
// in network order as they stand in an IPv4 header.
std::uint16_t tcp_checksum(const std::uint8_t* addresses, const std::uint8_t* segment, std::size_t length);

// Makes an IPv4 datagram carrying TCP consistent after its payload was cut
// off or changed: the total length becomes `length`, and the IPv4 header
// checksum and the TCP checksum are computed anew. `length` must cover the
// IPv4 header and at least the fixed TCP header.
void reseal_tcp_datagram(std::uint8_t* datagram, std::size_t length);

} // namespace fw::net
