#pragma once
// A stand-in for the kernel side of the iptables socket options: it holds one
// table blob, answers info and entries for it, records replaces and counters,
// and can be told to fail any call.
#include <cerrno>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "linux/iptables/sockopt.hpp"
#include "linux/iptables/table.hpp"

namespace morva_test {

class fake_kernel_t : public fw::linux::iptables::sockopt_t {
public:
    std::string table = "mangle";
    fw::linux::iptables::ipt_blob_t blob;
    // Errnos handed out, one per call, before the option behaves normally.
    std::map<int, std::vector<int>> get_errors;
    std::map<int, std::vector<int>> set_errors;
    // Calls seen, by option.
    std::map<int, int> get_calls;
    std::map<int, int> set_calls;
    // The last replace and add-counters buffers.
    std::vector<std::uint8_t> replace;
    std::vector<std::uint8_t> counters;
    // Runs after each answered info call: another program changing the table.
    std::function<void()> after_info;
    // Answers a revision query: 0, or the errno to fail with.
    std::function<int(const struct xt_get_revision&, int option)> revision;

    int get(int option, void* data, socklen_t& length) override
    {
        ++get_calls[option];
        if (int error = next_error(get_errors, option))
            return error;
        switch (option) {
        case IPT_SO_GET_INFO: {
            if (length != sizeof(struct ipt_getinfo))
                return EINVAL;
            auto* info = static_cast<struct ipt_getinfo*>(data);
            if (info->name != table)
                return ENOENT;
            info->size = static_cast<unsigned>(blob.entries.size());
            info->num_entries = blob.num_entries;
            for (const auto& [hook, where] : blob.hooks) {
                info->valid_hooks |= 1u << hook;
                info->hook_entry[hook] = where.first;
                info->underflow[hook] = where.second;
            }
            if (after_info)
                after_info();
            return 0;
        }
        case IPT_SO_GET_ENTRIES: {
            auto* entries = static_cast<struct ipt_get_entries*>(data);
            if (length != sizeof(struct ipt_get_entries) + entries->size)
                return EINVAL;
            if (entries->size != blob.entries.size())
                return EAGAIN;
            std::memcpy(entries->entrytable, blob.entries.data(), blob.entries.size());
            return 0;
        }
        case IPT_SO_GET_REVISION_MATCH:
        case IPT_SO_GET_REVISION_TARGET:
            if (length != sizeof(struct xt_get_revision))
                return EINVAL;
            return revision ? revision(*static_cast<const struct xt_get_revision*>(data), option) : ENOENT;
        }
        return ENOPROTOOPT;
    }

    int set(int option, const void* data, socklen_t length) override
    {
        ++set_calls[option];
        if (int error = next_error(set_errors, option))
            return error;
        const auto* bytes = static_cast<const std::uint8_t*>(data);
        (option == IPT_SO_SET_REPLACE ? replace : counters).assign(bytes, bytes + length);
        return 0;
    }

private:
    static int next_error(std::map<int, std::vector<int>>& errors, int option)
    {
        auto& pending = errors[option];
        if (pending.empty())
            return 0;
        const int error = pending.front();
        pending.erase(pending.begin());
        return error;
    }
};

} // namespace morva_test
