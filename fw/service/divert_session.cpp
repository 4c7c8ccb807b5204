#include "fw/service/divert_session.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include "lua/intercept_types.hpp"

namespace fw::service {

// Until the hook runs in the Lua service, every held connection is checked.
connection_diverter_t::session_factory_t lua_sessions(boost::asio::io_context& io, lua_t&)
{
    return [&io](const lua::intercept::connection_info_t&, const std::string&,
                 connection_diverter_t::verdict_handler_t handler) -> std::shared_ptr<void> {
        auto session = std::make_shared<int>(0);
        boost::asio::post(io, [alive = std::weak_ptr<int>(session), handler = std::move(handler)] {
            if (alive.lock())
                handler(nullptr, lua::intercept::CHECK, lua::intercept::artifacts_t{});
        });
        return session;
    };
}

} // namespace fw::service
