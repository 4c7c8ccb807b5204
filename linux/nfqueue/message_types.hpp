#pragma once
// The nfnetlink message types of the queue subsystem, as the kernel expects
// them in nlmsg_type: the subsystem in the high byte, the message in the low.
#include <linux/netfilter/nfnetlink.h>
#include <linux/netfilter/nfnetlink_queue.h>

#include <cstdint>

namespace fw::linux::nfqueue {

inline constexpr std::uint16_t config_type = (NFNL_SUBSYS_QUEUE << 8) | NFQNL_MSG_CONFIG;
inline constexpr std::uint16_t packet_type = (NFNL_SUBSYS_QUEUE << 8) | NFQNL_MSG_PACKET;
inline constexpr std::uint16_t verdict_type = (NFNL_SUBSYS_QUEUE << 8) | NFQNL_MSG_VERDICT;

} // namespace fw::linux::nfqueue
