#include "common/endpoint_text.hpp"

namespace fw::util {

std::string endpoint_text(const boost::asio::ip::tcp::endpoint& endpoint)
{
    return endpoint.address().to_string() + ":" + std::to_string(endpoint.port());
}

std::string endpoint_pair_text(const boost::asio::ip::tcp::endpoint& client,
                               const boost::asio::ip::tcp::endpoint& server)
{
    return endpoint_text(client) + " -> " + endpoint_text(server);
}

} // namespace fw::util
