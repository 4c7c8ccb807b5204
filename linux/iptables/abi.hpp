#pragma once
// The kernel structures of the iptables socket-option interface, as this build
// sees them. Every size the blob code relies on is named here and checked
// against the x86_64 layout, so a different ABI fails to compile instead of
// writing tables the kernel misreads.
#include <cstddef>
#include <cstdint>

#include "linux/iptables/uapi.hpp"

namespace fw::linux::iptables::abi {

constexpr std::size_t align(std::size_t size) { return XT_ALIGN(size); }

constexpr std::size_t xt_align = XT_ALIGN(1);

// Table blob.
constexpr std::size_t ip_size = sizeof(struct ipt_ip);
constexpr std::size_t entry_size = sizeof(struct ipt_entry);
constexpr std::size_t ext_header_size = sizeof(struct xt_entry_match);
constexpr std::size_t ext_name_offset = offsetof(struct xt_entry_match, u.user.name);
constexpr std::size_t ext_revision_offset = offsetof(struct xt_entry_match, u.user.revision);
constexpr std::size_t standard_target_size = align(sizeof(struct xt_standard_target));
constexpr std::size_t error_target_size = align(sizeof(struct xt_error_target));
constexpr std::size_t standard_entry_size = entry_size + standard_target_size;
constexpr std::size_t error_entry_size = entry_size + error_target_size;
constexpr std::size_t verdict_offset = offsetof(struct xt_standard_target, verdict);
constexpr std::size_t errorname_offset = offsetof(struct xt_error_target, errorname);
constexpr std::size_t errorname_size = sizeof(xt_error_target::errorname);
constexpr std::size_t table_name_size = XT_TABLE_MAXNAMELEN;
constexpr std::size_t ext_name_size = XT_EXTENSION_MAXNAMELEN;

// Socket-option headers.
constexpr std::size_t getinfo_size = sizeof(struct ipt_getinfo);
constexpr std::size_t get_entries_size = sizeof(struct ipt_get_entries);
constexpr std::size_t replace_size = sizeof(struct ipt_replace);
constexpr std::size_t counters_info_size = sizeof(struct xt_counters_info);
constexpr std::size_t counters_size = sizeof(struct xt_counters);
constexpr std::size_t get_revision_size = sizeof(struct xt_get_revision);

// Extensions: header plus data, aligned as the kernel expects them.
template <class Data>
constexpr std::size_t ext_size = align(ext_header_size + sizeof(Data));

static_assert(xt_align == 8);
static_assert(ip_size == 84);
static_assert(entry_size == 112);
static_assert(ext_header_size == 32 && sizeof(struct xt_entry_target) == 32);
static_assert(ext_name_offset == 2 && ext_revision_offset == 31);
static_assert(offsetof(struct xt_entry_target, u.user.name) == ext_name_offset);
static_assert(offsetof(struct xt_entry_target, u.user.revision) == ext_revision_offset);
static_assert(offsetof(struct ipt_entry, target_offset) == 88);
static_assert(offsetof(struct ipt_entry, next_offset) == 90);
static_assert(offsetof(struct ipt_entry, counters) == 96);
static_assert(standard_target_size == 40 && standard_entry_size == 152);
static_assert(error_target_size == 64 && error_entry_size == 176);
static_assert(verdict_offset == 32 && errorname_offset == 32 && errorname_size == 30);
static_assert(table_name_size == 32 && ext_name_size == 29);
static_assert(getinfo_size == 84);
static_assert(get_entries_size == 40 && offsetof(struct ipt_get_entries, entrytable) == 40);
static_assert(replace_size == 96 && offsetof(struct ipt_replace, counters) == 88);
static_assert(counters_info_size == 40 && offsetof(struct xt_counters_info, counters) == 40);
static_assert(counters_size == 16);
static_assert(get_revision_size == 30);

static_assert(ext_size<xt_NFQ_info> == 40 && ext_size<xt_NFQ_info_v1> == 40);
static_assert(ext_size<xt_NFQ_info_v2> == 40 && ext_size<xt_NFQ_info_v3> == 40);
static_assert(ext_size<xt_tproxy_target_info> == 48 && ext_size<xt_tproxy_target_info_v1> == 64);
static_assert(offsetof(xt_tproxy_target_info, lport) == 12);
static_assert(offsetof(xt_tproxy_target_info_v1, laddr) == 8);
static_assert(offsetof(xt_tproxy_target_info_v1, lport) == 24);
static_assert(ext_size<xt_mark_tginfo2> == 40);
static_assert(ext_size<xt_connmark_tginfo1> == 48 && ext_size<xt_connmark_tginfo2> == 48);
static_assert(offsetof(xt_connmark_tginfo1, mode) == 12 && offsetof(xt_connmark_tginfo2, mode) == 14);
static_assert(ext_size<xt_tcp> == 48 && offsetof(xt_tcp, flg_mask) == 9);
static_assert(ext_size<xt_mark_mtinfo1> == 48 && ext_size<xt_connmark_mtinfo1> == 48);
static_assert(ext_size<xt_socket_mtinfo1> == 40 && ext_size<xt_socket_mtinfo2> == 40);
static_assert(ext_size<xt_socket_mtinfo3> == 40 && offsetof(xt_socket_mtinfo3, flags) == 0);
static_assert(ext_size<xt_comment_info> == 288 && XT_MAX_COMMENT_LEN == 256);

} // namespace fw::linux::iptables::abi
