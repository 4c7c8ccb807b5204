#pragma once
// The kernel's iptables headers. The C library's <netinet/in.h> and <net/if.h>
// come first: <linux/in.h> and <linux/if.h>, which ip_tables.h pulls in, then
// yield to them, while the other order breaks every later user of the C library
// headers (Boost.Asio among them).
#include <netinet/in.h>
#include <net/if.h>

#include <linux/netfilter/x_tables.h>
#include <linux/netfilter/xt_CONNMARK.h>
#include <linux/netfilter/xt_MARK.h>
#include <linux/netfilter/xt_NFQUEUE.h>
#include <linux/netfilter/xt_TPROXY.h>
#include <linux/netfilter/xt_addrtype.h>
#include <linux/netfilter/xt_comment.h>
#include <linux/netfilter/xt_connmark.h>
#include <linux/netfilter/xt_mark.h>
#include <linux/netfilter/xt_socket.h>
#include <linux/netfilter/xt_tcpudp.h>
#include <linux/netfilter_ipv4/ip_tables.h>
