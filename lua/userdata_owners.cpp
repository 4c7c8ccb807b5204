#include "lua/userdata_owners.hpp"

#include <iterator>

namespace kv::lua {

namespace {

std::uintptr_t address(const void* data)
{
    return reinterpret_cast<std::uintptr_t>(data);
}

} // namespace

void userdata_owners_t::watch(void* data, std::unique_ptr<owner_t> owner) noexcept
{
    if (!owner)
        return;
    try {
        watched_.insert_or_assign(address(data), std::move(owner));
    } catch (const std::bad_alloc&) {
    }
}

void userdata_owners_t::forget(void* data) noexcept
{
    watched_.erase(address(data));
}

bool userdata_owners_t::watches(const void* data) const noexcept
{
    return watched_.count(address(data)) != 0;
}

void userdata_owners_t::on_free(void* block, std::size_t size) noexcept
{
    if (watched_.empty())
        return;
    const std::uintptr_t begin = address(block);
    // A userdata's memory lies inside its block, after Lua's header.
    for (auto it = watched_.lower_bound(begin); it != watched_.end() && it->first < begin + size;) {
        const auto next = std::next(it);
        it->second->take(reinterpret_cast<void*>(it->first));
        orphans_.insert(watched_.extract(it));
        ++orphaned_;
        it = next;
    }
}

void userdata_owners_t::release_orphans(lua_State* L) noexcept
{
    if (releasing_)
        return;
    releasing_ = true;
    // A release may run the collector, which may add orphans meanwhile.
    while (!orphans_.empty()) {
        const auto node = orphans_.extract(orphans_.begin());
        node.mapped()->release(L);
    }
    releasing_ = false;
}

void userdata_owners_t::release_all(lua_State* L) noexcept
{
    do {
        while (!watched_.empty()) {
            auto node = watched_.extract(watched_.begin());
            node.mapped()->take(reinterpret_cast<void*>(node.key()));
            orphans_.insert(std::move(node));
        }
        release_orphans(L);
    } while (!watched_.empty());
}

void release_orphans(lua_State* L) noexcept
{
    if (userdata_owners_t* owners = userdata_owners(L))
        owners->release_orphans(L);
}

} // namespace kv::lua
