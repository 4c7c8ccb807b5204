#pragma once
// What the pellad and quisad stand-ins share: their command line (a socket path
// and more, positional or named) and a server loop on a UNIX socket path that
// runs until SIGINT or SIGTERM.
#include <csignal>
#include <functional>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/program_options.hpp>

namespace standin {

namespace po = boost::program_options;

// The options by name, or the exit status when there is nothing to serve
// (help asked for, an option missing or malformed).
inline std::optional<po::variables_map> parse_command_line(int argc, char** argv, const std::string& name,
                                                           const std::vector<std::pair<const char*, const char*>>& arguments,
                                                           int& status)
{
    po::options_description options(name + " options");
    options.add_options()("help,h", "this text");
    po::positional_options_description positional;
    std::string usage = "usage: " + name;
    for (const auto& [argument, help] : arguments) {
        options.add_options()(argument, po::value<std::string>(), help);
        positional.add(argument, 1);
        usage += std::string(" <") + argument + ">";
    }
    po::variables_map vm;
    try {
        po::store(po::command_line_parser(argc, argv).options(options).positional(positional).run(), vm);
        po::notify(vm);
    } catch (const std::exception& e) {
        std::cerr << e.what() << '\n' << usage << '\n' << options;
        status = 1;
        return std::nullopt;
    }
    bool complete = true;
    for (const auto& argument : arguments)
        complete = complete && vm.count(argument.first);
    if (vm.count("help") || !complete) {
        std::cout << usage << '\n' << options;
        status = vm.count("help") ? 0 : 1;
        return std::nullopt;
    }
    return vm;
}

// Accepts links on a UNIX socket path one after another, numbered from 1.
class listener_t {
public:
    using socket_t = boost::asio::local::stream_protocol::socket;
    using on_link_t = std::function<void(socket_t, int)>;

    listener_t(boost::asio::io_context& io, const std::string& path, std::string name, on_link_t on_link)
        : acceptor_(io, boost::asio::local::stream_protocol::endpoint(path)), name_(std::move(name)),
          on_link_(std::move(on_link))
    {
        accept();
    }

private:
    void accept()
    {
        acceptor_.async_accept([this](boost::system::error_code ec, socket_t socket) {
            if (ec) {
                std::cout << name_ << ": accept: " << ec.message() << std::endl;
                return;
            }
            ++links_;
            std::cout << name_ << ": link " << links_ << ": accepted" << std::endl;
            on_link_(std::move(socket), links_);
            accept();
        });
    }

    boost::asio::local::stream_protocol::acceptor acceptor_;
    std::string name_;
    on_link_t on_link_;
    int links_ = 0;
};

// Replaces the socket path, calls `start` (which returns the server, listening
// on the path), and runs the loop until SIGINT or SIGTERM; removes the path at the end.
template <typename Start>
int serve(const std::string& name, const std::string& path, Start start)
{
    // Peers that vanish show as write errors, not as a signal.
    std::signal(SIGPIPE, SIG_IGN);
    try {
        boost::asio::io_context io;
        boost::filesystem::remove(path);
        auto server = start(io);
        boost::asio::signal_set signals(io, SIGINT, SIGTERM);
        signals.async_wait([&](boost::system::error_code, int) { io.stop(); });
        std::cout << name << ": listening on " << path << std::endl;
        io.run();
        boost::filesystem::remove(path);
    } catch (const std::exception& e) {
        std::cerr << name << ": " << e.what() << std::endl;
        return 1;
    }
    return 0;
}

} // namespace standin
