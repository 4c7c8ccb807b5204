#pragma once
// The Lua fixture with a process finder whose requests the test answers by
// hand, and a connection (10.0.0.1:40000 -> 10.0.0.2:80, output divert).
#include <exception>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio/ip/tcp.hpp>

#include "lua/intercept_types.hpp"
#include "lua/process_finder.hpp"
#include "lua/registry.hpp"
#include "tests/lua/lua_fixture.hpp"

namespace morva_test {

struct fake_process_finder_t : fw::lua::intercept::process_finder_t {
    struct request_t {
        boost::asio::ip::tcp::endpoint src, dst;
        callback_t callback;
    };

    void get_pid(const boost::asio::ip::tcp::endpoint& src, const boost::asio::ip::tcp::endpoint& dst,
                 callback_t callback) override
    {
        requests.push_back({src, dst, std::move(callback)});
    }

    void answer(std::size_t i, int pid) { requests.at(i).callback(nullptr, pid); }
    void fail(std::size_t i, const std::string& text)
    {
        requests.at(i).callback(std::make_exception_ptr(std::runtime_error(text)), 0);
    }

    std::vector<request_t> requests;
};

class intercept_fixture : public lua_fixture {
public:
    intercept_fixture()
    {
        lua_pushlightuserdata(L, static_cast<fw::lua::intercept::process_finder_t*>(&finder));
        kv::lua::set_registry(L, fw::lua::intercept::registry_key::process_finder);
        info.source = {boost::asio::ip::make_address("10.0.0.1"), 40000};
        info.destination = {boost::asio::ip::make_address("10.0.0.2"), 80};
        info.divert = "output";
    }

    // The log lines from `first` on, as "<level> <text>".
    std::vector<std::string> lines_from(std::size_t first = 0) const
    {
        std::vector<std::string> out;
        for (std::size_t i = first; i < lines.size(); ++i)
            out.push_back(std::to_string(lines[i].first) + " " + lines[i].second);
        return out;
    }

    fake_process_finder_t finder;
    fw::lua::intercept::connection_info_t info;
};

} // namespace morva_test
