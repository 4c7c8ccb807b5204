#pragma once
// Points the process log at the configured target and level, and routes the
// library logging hook into it.
#include "fw/service/service.hpp"

namespace kv {
class LinuxFirewallConfig;
}

namespace fw::service {

class logger_t : public util::service_t {
public:
    // Installs the hook's handler; it stays installed after destruction.
    explicit logger_t(const kv::LinuxFirewallConfig& config);

    void configure() override;

private:
    const kv::LinuxFirewallConfig& config_;
};

} // namespace fw::service
