#pragma once
// Endpoints as they appear in log lines and error texts.
#include <boost/asio/ip/tcp.hpp>
#include <string>

namespace fw::util {

// "a.b.c.d:port".
std::string endpoint_text(const boost::asio::ip::tcp::endpoint& endpoint);
// "client -> server".
std::string endpoint_pair_text(const boost::asio::ip::tcp::endpoint& client,
                               const boost::asio::ip::tcp::endpoint& server);

} // namespace fw::util
