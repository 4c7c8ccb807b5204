// The entries of an iptables table as the kernel hands them over. Input: a
// hook mask byte, (hook entry, underflow) per set hook, the entry count, then
// the entries. A table we parsed must also be one we can write and read back.
#include "fuzz/fuzz.hpp"
#include "linux/iptables/extensions.hpp"
#include "linux/iptables/table.hpp"

#include <boost/system/system_error.hpp>

#include <cerrno>
#include <stdexcept>

namespace ipt = fw::linux::iptables;

namespace {

fuzz_bytes_t encode(const ipt::ipt_blob_t& blob)
{
    std::uint8_t mask = 0;
    fuzz_bytes_t hooks;
    for (const auto& [hook, offsets] : blob.hooks) {
        mask = static_cast<std::uint8_t>(mask | (1u << hook));
        hooks = fuzz::concat({hooks, fuzz::raw(offsets.first), fuzz::raw(offsets.second)});
    }
    return fuzz::concat({{mask}, hooks, fuzz::raw(blob.num_entries), blob.entries});
}

template <typename T>
bool take(const std::uint8_t*& p, std::size_t& left, T& out)
{
    if (left < sizeof out)
        return false;
    std::memcpy(&out, p, sizeof out);
    p += sizeof out;
    left -= sizeof out;
    return true;
}

ipt::ipt_rule_t rule_with(ipt::ipt_target_t target)
{
    ipt::ipt_rule_t rule;
    rule.target = std::move(target);
    return rule;
}

} // namespace

std::vector<fuzz_bytes_t> fuzz_seeds()
{
    ipt::ipt_table_t table;
    ipt::ipt_rule_t marking = rule_with(ipt::xt::mark_target(2, 0x1, 0x1));
    marking.set_proto(6);
    marking.matches.push_back(ipt::xt::mark_match(1, 0x2, 0x6, false));
    table.builtin_chains[0].rules = {marking, rule_with(ipt::ipt_jump_t{"a"})};
    table.builtin_chains[3];
    ipt::ipt_rule_t go = rule_with(ipt::ipt_jump_t{"b"});
    go.set_goto(true);
    table.user_chains["a"].rules = {rule_with(ipt::ipt_verdict_t::ACCEPT), go, rule_with(ipt::ipt_fall_through_t{})};
    table.user_chains["b"];
    ipt::ipt_table_t empty;
    empty.builtin_chains[1];
    return {encode(ipt::make_ipt_blob(table)), encode(ipt::make_ipt_blob(empty))};
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    ipt::ipt_blob_t blob;
    std::uint8_t mask = 0;
    if (!take(data, size, mask))
        return 0;
    for (int hook = 0; hook < 5; ++hook) {
        std::pair<std::uint32_t, std::uint32_t> offsets;
        if ((mask & (1u << hook)) && (!take(data, size, offsets.first) || !take(data, size, offsets.second)))
            return 0;
        if (mask & (1u << hook))
            blob.hooks[hook] = offsets;
    }
    if (!take(data, size, blob.num_entries))
        return 0;
    blob.entries.assign(data, data + size);

    ipt::ipt_table_t table;
    try {
        table = ipt::parse_ipt_blob(blob);
    } catch (const boost::system::system_error& e) {
        if (e.code().value() != EINVAL)
            throw;
        return 0;
    }
    ipt::ipt_blob_t written;
    try {
        written = ipt::make_ipt_blob(table);
    } catch (const std::runtime_error& e) {
        if (dynamic_cast<const boost::system::system_error*>(&e))
            throw;
        return 0; // e.g. a chain name the writer refuses
    }
    (void)ipt::parse_ipt_blob(written);
    return 0;
}
