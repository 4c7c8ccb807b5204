// Stand-in for marend: starts the daemon with one end of a socketpair as
// COM_MORVA_MONITOR, serves a configuration written in protobuf text format
// (re-read on every request, so a SIGHUP picks up edits), answers the socket
// paths of pellad and quisad, prints every state report and passes SIGHUP,
// SIGINT and SIGTERM on to the daemon. Exits with the daemon's status, or 0
// when the daemon stopped on a termination signal passed on.
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <iostream>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/program_options.hpp>
#include <google/protobuf/text_format.h>

#include "common/error.hpp"
#include "links/ipc_link.hpp"
#include "links/stream_socket.hpp"
#include "marend_linux_firewall_ipc.pb.h"

namespace {

namespace po = boost::program_options;
using boost::asio::local::stream_protocol;
using in_t = kv::Firewall2MarendMessage;  // what the daemon sends
using out_t = kv::Marend2FirewallMessage; // what we answer

void say(const std::string& line) { std::cout << "marend-standin: " << line << std::endl; }

// A socket path, or the error code that answers instead.
struct answer_t {
    std::string path;
    int error = 0;
};

class standin_t : fw::util::ipc_link_t::delegate_t {
public:
    standin_t(boost::asio::io_context& io, int fd, std::string config_path, answer_t pellad, answer_t quisad)
        : config_path_(std::move(config_path)), pellad_(std::move(pellad)), quisad_(std::move(quisad))
    {
        stream_protocol::socket socket(io);
        socket.assign(stream_protocol(), fd);
        link_ = std::make_unique<fw::util::ipc_link_t>(
            static_cast<fw::util::ipc_link_t::delegate_t*>(this),
            std::make_unique<fw::util::asio_stream_socket_wrapper_t<stream_protocol::socket>>(std::move(socket)));
    }

private:
    void on_message(void const* data, std::size_t size) override
    {
        in_t request;
        if (!request.ParseFromArray(data, static_cast<int>(size))) {
            say("unparsable frame from the daemon");
            return;
        }
        switch (request.tag()) {
        case in_t::GET_CONFIG_REQUEST:
            return serve_config();
        case in_t::MY_INFO_NOTIFICATION:
            return say("MY_INFO_NOTIFICATION: revision " + std::to_string(request.config_revision()) + ", "
                       + request.info().ShortDebugString());
        case in_t::GET_PELLAD_REQUEST:
            return answer_path(out_t::GET_PELLAD_RESPONSE, pellad_);
        case in_t::GET_QUISAD_REQUEST:
            return answer_path(out_t::GET_QUISAD_RESPONSE, quisad_);
        default:
            say("unexpected message: " + request.ShortDebugString());
        }
    }

    void on_error(std::exception_ptr e) override
    {
        say("link closed: " + describe_exception_ptr(e));
        link_.reset();
    }

    void serve_config()
    {
        std::ifstream in(config_path_);
        std::stringstream text;
        text << in.rdbuf();
        out_t response;
        response.set_tag(out_t::GET_CONFIG_RESPONSE);
        if (!in || !google::protobuf::TextFormat::ParseFromString(text.str(), response.mutable_config())) {
            say("cannot read the configuration " + config_path_ + "; fix it and send SIGHUP");
            return;
        }
        response.set_config_revision(++revision_);
        say("serving configuration revision " + std::to_string(revision_) + " from " + config_path_);
        send(response);
    }

    void answer_path(out_t::MessageTag tag, const answer_t& answer)
    {
        out_t response;
        response.set_tag(tag);
        if (answer.error) {
            response.mutable_error()->set_code(static_cast<kv::ErrorCode>(answer.error));
            say(out_t::MessageTag_Name(tag) + ": error " + std::to_string(answer.error));
        } else {
            response.set_socket_path(answer.path);
            say(out_t::MessageTag_Name(tag) + ": " + answer.path);
        }
        send(response);
    }

    void send(const out_t& message)
    {
        if (!link_)
            return;
        const std::size_t size = message.ByteSizeLong();
        auto data = std::make_unique<std::uint8_t[]>(size);
        message.SerializeWithCachedSizesToArray(data.get());
        link_->write(std::move(data), size);
    }

    std::string config_path_;
    answer_t pellad_;
    answer_t quisad_;
    unsigned revision_ = 0;
    std::unique_ptr<fw::util::ipc_link_t> link_;
};

answer_t make_answer(const po::variables_map& vm, const std::string& name, int missing)
{
    if (vm.count(name))
        return {vm[name].as<std::string>(), 0};
    if (vm.count(name + "-error"))
        return {{}, vm[name + "-error"].as<int>()};
    return {{}, missing};
}

// The daemon of the same build: beside this program or one directory up
// (the build tree puts the tools in tools/).
std::string default_daemon()
{
    const auto dir = boost::filesystem::read_symlink("/proc/self/exe").parent_path();
    for (const auto& candidate : {dir / "morva-firewall", dir.parent_path() / "morva-firewall"})
        if (boost::filesystem::exists(candidate))
            return candidate.string();
    return "morva-firewall";
}

pid_t start_daemon(const std::string& program, int fd)
{
    pid_t pid = ::fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        // Its own process group: a Ctrl-C reaches it once, through us.
        ::setpgid(0, 0);
        ::fcntl(fd, F_SETFD, 0);
        ::setenv("COM_MORVA_MONITOR", std::to_string(fd).c_str(), 1);
        ::execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
        std::perror(program.c_str());
        ::_exit(127);
    }
    return pid;
}

} // namespace

int main(int argc, char** argv)
{
    po::options_description options("marend-standin options");
    options.add_options()
        ("help,h", "print this help")
        ("config,c", po::value<std::string>()->required(), "configuration in protobuf text format")
        ("pellad", po::value<std::string>(), "socket path answered to GET_PELLAD_REQUEST")
        ("pellad-error", po::value<int>(), "error code answered instead (default 117)")
        ("quisad", po::value<std::string>(), "socket path answered to GET_QUISAD_REQUEST")
        ("quisad-error", po::value<int>(), "error code answered instead (default 115)")
        ("daemon", po::value<std::string>(), "daemon program (default: morva-firewall of this build)");
    po::variables_map vm;
    try {
        po::store(po::parse_command_line(argc, argv, options), vm);
        if (vm.count("help")) {
            std::cout << options << "\n";
            return 0;
        }
        po::notify(vm);
    } catch (const std::exception& e) {
        std::cerr << "marend-standin: " << e.what() << "\n" << options << "\n";
        return 2;
    }

    boost::asio::io_context io;
    // Registered before the daemon starts, so neither its end nor a signal is missed.
    boost::asio::signal_set forwarded(io, SIGHUP, SIGINT, SIGTERM);
    boost::asio::signal_set child(io, SIGCHLD);

    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
        std::perror("socketpair");
        return 1;
    }
    const std::string program = vm.count("daemon") ? vm["daemon"].as<std::string>() : default_daemon();
    const pid_t pid = start_daemon(program, sv[1]);
    ::close(sv[1]);
    say("started " + program + " (pid " + std::to_string(pid) + ")");

    standin_t standin(io, sv[0], vm["config"].as<std::string>(), make_answer(vm, "pellad", kv::EC_NO_PELLAD),
                      make_answer(vm, "quisad", kv::EC_NO_QUISAD));

    bool stopping = false;
    std::function<void(const boost::system::error_code&, int)> forward = [&](const boost::system::error_code& ec,
                                                                              int sig) {
        if (ec)
            return;
        say(std::string("passing ") + ::strsignal(sig) + " on to the daemon");
        stopping = stopping || sig != SIGHUP;
        ::kill(pid, sig);
        forwarded.async_wait(forward);
    };
    forwarded.async_wait(forward);

    int exit_status = 1;
    std::function<void(const boost::system::error_code&, int)> reap = [&](const boost::system::error_code& ec, int) {
        if (ec)
            return;
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) != pid)
            return child.async_wait(reap);
        exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        say("daemon exited with status " + std::to_string(exit_status));
        // Stopped as asked: a clean end.
        if (stopping && exit_status == kv::EC_APP_TERMINATED)
            exit_status = 0;
        io.stop();
    };
    child.async_wait(reap);

    io.run();
    return exit_status;
}
