#include "fw/service/logger.hpp"

#include "common/log.hpp"
#include "common/log_hook.hpp"
#include "common/log_sinks.hpp"
#include "linux_firewall_config.pb.h"

namespace fw::service {

logger_t::logger_t(const kv::LinuxFirewallConfig& config) : config_(config)
{
    // The hook filters by its own level, so the process log's threshold is not tested here.
    kv::util::set_logger([](kv::util::log_level_t level, std::string const& text) { cf_log(level, text); });
}

void logger_t::configure()
{
    cf_log_threshold = to_cf_log_level(config_.log_level());
    cf_log_install(make_log(config_.actual_log(), {}, {}));
    // Not clamped: a level below Debug lets every library line through.
    kv::util::set_log_level(static_cast<int>(config_.log_level()) - 1);
}

} // namespace fw::service
