#include "fw/service/appinfo_reporter.hpp"

#include "linux_firewall_appinfo.pb.h"
#include "links/marend_tie.hpp"

namespace fw::service {

appinfo_reporter_t::appinfo_reporter_t(marend::tie_t& marend, const unsigned* revision)
    : marend_(marend), revision_(revision)
{
}

void appinfo_reporter_t::configure()
{
    kv::LinuxFirewallAppInfo info;
    info.set_pellad_state(kv::EC_OK);
    marend_.send_info(info, *revision_);
}

} // namespace fw::service
