#include "fw/service/marks.hpp"

#include <utility>

#include "linux_firewall_config.pb.h"

namespace fw::service {

namespace {
bool accept_every_rule(std::uint32_t, std::uint32_t) { return true; }
} // namespace

marks_t::marks_t(const kv::LinuxFirewallConfig& config) : config_(config), filter_(accept_every_rule) {}

marks_t::~marks_t() = default;

void marks_t::configure() {}

std::uint32_t marks_t::divert_mark(int divert_kind) const noexcept
{
    switch (divert_kind) {
    case 0: return output_divert_mark_;
    case 1: return input_divert_mark_;
    case 2: return forward_divert_mark_;
    default: return 0;
    }
}

void marks_t::set_filter(filter_t filter)
{
    filter_ = filter ? std::move(filter) : filter_t(accept_every_rule);
}

} // namespace fw::service
