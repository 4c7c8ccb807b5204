#pragma once
// Where the diverter's hook sessions come from by default.
#include "fw/divert/connection_diverter.hpp"

namespace fw::service {

// One intercept driver of the Lua service per held connection; the driver is
// the session object, so dropping it abandons the verdict.
connection_diverter_t::session_factory_t lua_sessions(lua_t& lua);

} // namespace fw::service
