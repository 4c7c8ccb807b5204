#pragma once
// Tells marend which configuration revision has been applied; last in the
// service list, so it reports only after every other service has applied it.
#include "fw/service/service.hpp"

namespace fw::marend {
class tie_t;
}

namespace fw::service {

class appinfo_reporter_t : public util::service_t {
public:
    // `revision` is the application's, read at every apply.
    appinfo_reporter_t(marend::tie_t& marend, const unsigned* revision);

    void configure() override;

private:
    marend::tie_t& marend_;
    const unsigned* revision_;
};

} // namespace fw::service
