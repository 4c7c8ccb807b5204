#include "fw/divert/divert_session.hpp"

#include "fw/service/lua_service.hpp"
#include "lua/intercept_driver.hpp"

namespace fw::service {

connection_diverter_t::session_factory_t lua_sessions(lua_t& lua)
{
    return [&lua](const lua::intercept::connection_info_t& info, const std::string& session_id,
                  connection_diverter_t::verdict_handler_t handler) -> std::shared_ptr<void> {
        std::shared_ptr<lua::intercept::driver_t> driver = lua.create_driver(info, session_id);
        // The driver posts its delivery, never calls it from here.
        driver->set_completion_handler([handler = std::move(handler)](std::exception_ptr error,
                                                                      lua::intercept::verdict_t verdict,
                                                                      const lua::intercept::artifacts_t& artifacts) {
            handler(std::move(error), verdict, artifacts);
        });
        return driver;
    };
}

} // namespace fw::service
