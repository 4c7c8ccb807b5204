#include "linux/iptables/extensions.hpp"

#include <arpa/inet.h>
#include <algorithm>
#include <cerrno>
#include <mutex>
#include <stdexcept>

#include <boost/system/system_error.hpp>

#include "linux/iptables/abi.hpp"
#include "linux/iptables/bytes.hpp"
#include "linux/iptables/sockopt.hpp"

namespace fw::linux::iptables {

using bytes::load;
using bytes::store;

// ---- revision probe ----------------------------------------------------------

namespace {

std::string probe_text(const std::string& name, int option)
{
    return (option == IPT_SO_GET_REVISION_MATCH ? "match '" : "target '") + name + "'";
}

// The revision found for one extension, kept for the life of the process. A
// failed probe leaves it unset, so the next use asks again.
class revision_cell_t {
public:
    constexpr revision_cell_t(const char* name, int option, std::uint8_t lowest, std::uint8_t highest)
        : name_(name), option_(option), lowest_(lowest), highest_(highest)
    {
    }

    std::uint8_t get()
    {
        std::lock_guard lock(mutex_);
        if (!revision_)
            revision_ = probe_xt_revision(name_, lowest_, highest_, option_);
        return *revision_;
    }

private:
    const char* name_;
    int option_;
    std::uint8_t lowest_;
    std::uint8_t highest_;
    std::mutex mutex_;
    std::optional<std::uint8_t> revision_;
};

revision_cell_t tproxy_revision{"TPROXY", IPT_SO_GET_REVISION_TARGET, 0, 1};
revision_cell_t nfqueue_revision{"NFQUEUE", IPT_SO_GET_REVISION_TARGET, 0, 3};
revision_cell_t mark_target_revision{"MARK", IPT_SO_GET_REVISION_TARGET, 2, 2};
// Revision 1 alone would leave the host's own tools unable to print our rules on
// kernels that have revision 2 (every kernel since the 4.x series).
revision_cell_t connmark_target_revision{"CONNMARK", IPT_SO_GET_REVISION_TARGET, 1, 2};
revision_cell_t mark_match_revision{"mark", IPT_SO_GET_REVISION_MATCH, 1, 1};
revision_cell_t connmark_match_revision{"connmark", IPT_SO_GET_REVISION_MATCH, 1, 1};
// Revision 0 has no flags: it would match non-transparent sockets too.
revision_cell_t socket_match_revision{"socket", IPT_SO_GET_REVISION_MATCH, 1, 3};

} // namespace

std::uint8_t probe_xt_revision(const std::string& name, std::uint8_t lowest, std::uint8_t highest, int option)
{
    raw_socket_t socket;
    return probe_xt_revision(socket, name, lowest, highest, option);
}

std::uint8_t probe_xt_revision(sockopt_t& socket, const std::string& name, std::uint8_t lowest,
                               std::uint8_t highest, int option)
{
    struct xt_get_revision request {};
    std::memcpy(request.name, name.data(), std::min(name.size(), sizeof request.name));
    for (int revision = highest; revision >= lowest; --revision) {
        request.revision = static_cast<std::uint8_t>(revision);
        socklen_t length = sizeof request;
        const int error = socket.get(option, &request, length);
        if (error == 0)
            return static_cast<std::uint8_t>(revision);
        if (error == ENOENT)
            throw boost::system::system_error(ENOENT, boost::system::system_category(), probe_text(name, option));
        if (error != EPROTONOSUPPORT)
            throw boost::system::system_error(error, boost::system::system_category(), "getsockopt");
    }
    throw boost::system::system_error(EOPNOTSUPP, boost::system::system_category(), probe_text(name, option));
}

std::uint8_t probe_match_revision(const std::string& name, std::uint8_t lowest, std::uint8_t highest)
{
    return probe_xt_revision(name, lowest, highest, IPT_SO_GET_REVISION_MATCH);
}

std::uint8_t probe_target_revision(const std::string& name, std::uint8_t lowest, std::uint8_t highest)
{
    return probe_xt_revision(name, lowest, highest, IPT_SO_GET_REVISION_TARGET);
}

// ---- layouts -----------------------------------------------------------------

namespace {

// Header plus Data, every byte zero but the size, name, revision and what fill sets.
template <class Data, class Fill>
xt_blob_t make_ext(const char* name, std::uint8_t revision, Fill fill)
{
    xt_blob_t blob(abi::ext_size<Data>);
    store<std::uint16_t>(blob.data(), static_cast<std::uint16_t>(blob.size()));
    std::memcpy(blob.data() + abi::ext_name_offset, name, std::strlen(name));
    blob[abi::ext_revision_offset] = revision;
    Data data;
    std::memset(&data, 0, sizeof data);
    fill(data);
    store(blob.data() + abi::ext_header_size, data);
    return blob;
}

[[noreturn]] void no_layout(const char* name, std::uint8_t revision)
{
    throw std::invalid_argument(std::string("No layout for ") + name + " revision " + std::to_string(revision));
}

// Whether blob is the extension called name with Data after its header. The
// revision byte is not looked at.
template <class Data>
bool is_ext(const xt_blob_t& blob, const char* name)
{
    constexpr std::size_t size = abi::ext_size<Data>;
    return blob.size() >= size && bytes::ext_size(blob.data()) == size && bytes::ext_name(blob.data()) == name;
}

// The uint32 right after the header of a Data extension called name, if blob is one.
template <class Data>
std::optional<std::uint32_t> first_word(const xt_blob_t& blob, const char* name)
{
    if (!is_ext<Data>(blob, name))
        return std::nullopt;
    return load<std::uint32_t>(blob.data() + abi::ext_header_size);
}

} // namespace

namespace xt {

xt_blob_t tproxy_target(std::uint8_t revision, std::uint32_t address, std::uint16_t port,
                        std::uint32_t mark_value, std::uint32_t mark_mask)
{
    auto fill = [&](auto& info) {
        info.mark_mask = mark_mask;
        info.mark_value = mark_value;
        info.lport = htons(port);
    };
    if (revision == 1)
        return make_ext<xt_tproxy_target_info_v1>("TPROXY", revision, [&](auto& info) {
            fill(info);
            info.laddr.ip = htonl(address);
        });
    if (revision == 0)
        return make_ext<xt_tproxy_target_info>("TPROXY", revision, [&](auto& info) {
            fill(info);
            info.laddr = htonl(address);
        });
    no_layout("TPROXY", revision);
}

xt_blob_t nfqueue_target(std::uint8_t revision, std::uint16_t queue, bool bypass)
{
    if (bypass && revision < 2)
        throw std::runtime_error("Cannot set --queue-bypass option: kernel is too old");
    switch (revision) {
    case 0:
        return make_ext<xt_NFQ_info>("NFQUEUE", revision, [&](auto& info) { info.queuenum = queue; });
    case 1:
        return make_ext<xt_NFQ_info_v1>("NFQUEUE", revision, [&](auto& info) {
            info.queuenum = queue;
            info.queues_total = 1;
        });
    case 2:
        return make_ext<xt_NFQ_info_v2>("NFQUEUE", revision, [&](auto& info) {
            info.queuenum = queue;
            info.queues_total = 1;
            info.bypass = bypass ? 1 : 0;
        });
    case 3:
        return make_ext<xt_NFQ_info_v3>("NFQUEUE", revision, [&](auto& info) {
            info.queuenum = queue;
            info.queues_total = 1;
            info.flags = bypass ? NFQ_FLAG_BYPASS : 0;
        });
    }
    no_layout("NFQUEUE", revision);
}

xt_blob_t mark_target(std::uint8_t revision, std::uint32_t mark, std::uint32_t mask)
{
    if (revision != 2)
        no_layout("MARK", revision);
    return make_ext<xt_mark_tginfo2>("MARK", revision, [&](auto& info) {
        info.mark = mark;
        info.mask = mask;
    });
}

xt_blob_t connmark_target(std::uint8_t revision, std::uint8_t mode, std::uint32_t ctmark,
                          std::uint32_t nfmask, std::uint32_t ctmask)
{
    // Revision 2 adds a shift, left at zero: the same meaning as revision 1.
    auto fill = [&](auto& info) {
        info.ctmark = ctmark;
        info.ctmask = ctmask;
        info.nfmask = nfmask;
        info.mode = mode;
    };
    if (revision == 2)
        return make_ext<xt_connmark_tginfo2>("CONNMARK", revision, fill);
    if (revision == 1)
        return make_ext<xt_connmark_tginfo1>("CONNMARK", revision, fill);
    no_layout("CONNMARK", revision);
}

namespace {

// "mark" and "connmark" share their revision-1 layout.
template <class Data>
xt_blob_t mark_mtinfo1(const char* name, std::uint8_t revision, std::uint32_t mark, std::uint32_t mask,
                       bool invert)
{
    if (revision != 1)
        no_layout(name, revision);
    return make_ext<Data>(name, revision, [&](Data& info) {
        info.mark = mark;
        info.mask = mask;
        info.invert = invert ? 1 : 0;
    });
}

} // namespace

xt_blob_t mark_match(std::uint8_t revision, std::uint32_t mark, std::uint32_t mask, bool invert)
{
    return mark_mtinfo1<xt_mark_mtinfo1>("mark", revision, mark, mask, invert);
}

xt_blob_t connmark_match(std::uint8_t revision, std::uint32_t mark, std::uint32_t mask, bool invert)
{
    return mark_mtinfo1<xt_connmark_mtinfo1>("connmark", revision, mark, mask, invert);
}

xt_blob_t transparent_socket_match(std::uint8_t revision)
{
    // The later revisions add flags, each with the same one-byte layout.
    auto fill = [](auto& info) { info.flags = XT_SOCKET_TRANSPARENT; };
    switch (revision) {
    case 1:
        return make_ext<xt_socket_mtinfo1>("socket", revision, fill);
    case 2:
        return make_ext<xt_socket_mtinfo2>("socket", revision, fill);
    case 3:
        return make_ext<xt_socket_mtinfo3>("socket", revision, fill);
    }
    no_layout("socket", revision);
}

std::optional<std::uint32_t> mark_of_target(const xt_blob_t& target)
{
    return first_word<xt_mark_tginfo2>(target, "MARK");
}

std::optional<std::uint32_t> mark_of_match(const xt_blob_t& match)
{
    return first_word<xt_mark_mtinfo1>(match, "mark");
}

} // namespace xt

// ---- builders and readers at the kernel's revisions --------------------------

xt_blob_t make_tproxy_target(std::uint32_t address, std::uint16_t port, std::uint32_t mark_value,
                             std::uint32_t mark_mask)
{
    return xt::tproxy_target(tproxy_revision.get(), address, port, mark_value, mark_mask);
}

xt_blob_t make_nfqueue_target(std::uint16_t queue, bool bypass)
{
    return xt::nfqueue_target(nfqueue_revision.get(), queue, bypass);
}

xt_blob_t make_mark_target(std::uint32_t mark, std::uint32_t mask)
{
    return xt::mark_target(mark_target_revision.get(), mark, mask);
}

xt_blob_t make_connmark_target(std::uint8_t mode, std::uint32_t ctmark, std::uint32_t nfmask,
                               std::uint32_t ctmask)
{
    return xt::connmark_target(connmark_target_revision.get(), mode, ctmark, nfmask, ctmask);
}

xt_blob_t make_tcp_match(std::uint8_t flag_mask, std::uint8_t flag_cmp)
{
    return make_ext<xt_tcp>("tcp", 0, [&](xt_tcp& info) {
        info.spts[1] = 0xFFFF;
        info.dpts[1] = 0xFFFF;
        info.flg_mask = flag_mask;
        info.flg_cmp = flag_cmp;
    });
}

xt_blob_t make_mark_match(std::uint32_t mark, std::uint32_t mask, bool invert)
{
    return xt::mark_match(mark_match_revision.get(), mark, mask, invert);
}

xt_blob_t make_connmark_match(std::uint32_t mark, std::uint32_t mask, bool invert)
{
    return xt::connmark_match(connmark_match_revision.get(), mark, mask, invert);
}

xt_blob_t make_local_destination_match()
{
    return make_ext<xt_addrtype_info_v1>("addrtype", 1, [](xt_addrtype_info_v1& info) {
        info.dest = XT_ADDRTYPE_LOCAL;
    });
}

xt_blob_t make_transparent_socket_match()
{
    return xt::transparent_socket_match(socket_match_revision.get());
}

xt_blob_t make_comment_match(std::string_view text)
{
    // The field keeps a terminating NUL; a cut comment would no longer be ours.
    if (text.size() >= XT_MAX_COMMENT_LEN)
        throw std::runtime_error("Comment is too long: " + std::to_string(text.size()) + " bytes, at most "
                                 + std::to_string(XT_MAX_COMMENT_LEN - 1));
    return make_ext<xt_comment_info>("comment", 0, [&](xt_comment_info& info) {
        std::memcpy(info.comment, text.data(), text.size());
    });
}

std::optional<std::uint32_t> read_mark_target(const xt_blob_t& target)
{
    mark_target_revision.get();
    return xt::mark_of_target(target);
}

std::optional<std::uint32_t> read_mark_match(const xt_blob_t& match)
{
    mark_match_revision.get();
    return xt::mark_of_match(match);
}

std::optional<std::string> get_comment(const xt_blob_t& match)
{
    if (!is_ext<xt_comment_info>(match, "comment"))
        return std::nullopt;
    return bytes::text(match.data() + abi::ext_header_size, XT_MAX_COMMENT_LEN);
}

ipt_rule_t make_own_rule()
{
    ipt_rule_t rule;
    rule.matches.push_back(make_comment_match(own_comment));
    return rule;
}

bool is_own_rule(const ipt_rule_t& rule)
{
    return std::any_of(rule.matches.begin(), rule.matches.end(),
                       [](const xt_blob_t& match) { return get_comment(match) == own_comment; });
}

} // namespace fw::linux::iptables
