// Stand-in for quisad: listens on a UNIX socket and answers every lookup and
// check from a table file, re-read on every request, echoing the serial.
//
// Table lines (whitespace-separated words; '#' starts a comment line):
//   lookup <type> <tag> : <value> ...          values found (none: an empty result)
//   check <type> <tag> <value> : true|false    the outcome of a check
//   ... : error <code> [text ...]              an error answer (kv.ErrorCode number)
// <type> is a lookup type name (ldap, ad, pq, sqlite, mysql, redis, allmatch,
// regex, cidr, mask). A request without a line gets an empty lookup result or
// a false check.
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <google/protobuf/descriptor.h>

#include "common/error.hpp"
#include "error.pb.h"
#include "links/ipc_link.hpp"
#include "links/stream_socket.hpp"
#include "quisad_client_ipc.pb.h"
#include "tools/pellad-standin/serve.hpp"

namespace {

using boost::asio::local::stream_protocol;

void say(const std::string& line) { std::cout << "quisad-standin: " << line << std::endl; }

struct answer_t {
    std::vector<std::string> values;
    std::optional<bool> result;
    std::optional<int> error_code;
    std::optional<std::string> error_text;
};

// (kind, type name, tag, value); the value is empty for lookups.
using key_t = std::tuple<std::string, std::string, std::string, std::string>;

std::string type_name(qd::LookupType type)
{
    const auto* value = qd::LookupType_descriptor()->FindValueByNumber(type);
    return value ? enum_value_lex(*value) : std::to_string(type);
}

std::map<key_t, answer_t> read_table(const std::string& path)
{
    std::ifstream in(path);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    std::map<key_t, answer_t> table;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        std::istringstream words(line);
        std::vector<std::string> left;
        std::string word;
        while (words >> word && word != ":")
            left.push_back(word);
        if (left.empty() || left[0][0] == '#')
            continue;
        const bool lookup = left[0] == "lookup";
        if (word != ":" || !(lookup || left[0] == "check") || left.size() != (lookup ? 3u : 4u))
            throw std::runtime_error(path + ":" + std::to_string(number) + ": malformed line");
        answer_t answer;
        std::vector<std::string> right;
        while (words >> word)
            right.push_back(word);
        if (!right.empty() && right[0] == "error") {
            if (right.size() < 2)
                throw std::runtime_error(path + ":" + std::to_string(number) + ": error without a code");
            answer.error_code = std::stoi(right[1]);
            if (right.size() > 2) {
                std::string text = right[2];
                for (std::size_t i = 3; i < right.size(); ++i)
                    text += " " + right[i];
                answer.error_text = text;
            }
        } else if (lookup) {
            answer.values = right;
        } else if (right.size() == 1 && (right[0] == "true" || right[0] == "false")) {
            answer.result = right[0] == "true";
        } else {
            throw std::runtime_error(path + ":" + std::to_string(number) + ": a check answers true or false");
        }
        table[key_t{left[0], left[1], left[2], lookup ? "" : left[3]}] = answer;
    }
    return table;
}

class session_t final : fw::util::ipc_link_t::delegate_t {
public:
    session_t(stream_protocol::socket socket, std::string table, int number, std::set<session_t*>& sessions)
        : table_(std::move(table)), number_(number), sessions_(sessions)
    {
        link_ = std::make_unique<fw::util::ipc_link_t>(
            static_cast<fw::util::ipc_link_t::delegate_t*>(this),
            std::make_unique<fw::util::asio_stream_socket_wrapper_t<stream_protocol::socket>>(std::move(socket)));
    }

private:
    void on_message(void const* data, std::size_t size) override
    {
        qd::ClientMessage request;
        if (!request.ParseFromArray(data, static_cast<int>(size))) {
            say(name() + ": unparsable qd.ClientMessage");
            return;
        }
        const bool lookup = request.tag() == qd::ClientMessage::LOOKUP_REQUEST;
        const key_t key{lookup ? "lookup" : "check", type_name(request.lookup_type()), request.lookup_tag(),
                        lookup ? "" : request.check()};
        std::string line = name() + ": " + std::get<0>(key) + " serial=" +
                           (request.has_serial() ? std::to_string(request.serial()) : "none") +
                           " type=" + std::get<1>(key) + " tag=" + std::get<2>(key);
        if (!lookup)
            line += " value=" + std::get<3>(key);
        if (request.has_user())
            line += " user=" + request.user();
        if (request.has_domain())
            line += " domain=" + request.domain();

        qd::ServerMessage response;
        response.set_tag(lookup ? qd::ServerMessage::LOOKUP_RESPONSE : qd::ServerMessage::CHECK_RESPONSE);
        if (request.has_serial())
            response.set_serial(request.serial());
        answer_t answer;
        try {
            const auto table = read_table(table_);
            if (const auto found = table.find(key); found != table.end())
                answer = found->second;
        } catch (const std::exception& e) {
            say(e.what());
        }
        if (answer.error_code) {
            response.mutable_error()->set_code(static_cast<kv::ErrorCode>(*answer.error_code));
            if (answer.error_text)
                response.mutable_error()->set_what(*answer.error_text);
        } else if (lookup) {
            for (const auto& v : answer.values)
                response.add_data(v);
        } else {
            response.set_result(answer.result.value_or(false));
        }
        say(line + " -> " + response.ShortDebugString());

        const std::size_t length = response.ByteSizeLong();
        auto bytes = std::make_unique<std::uint8_t[]>(length);
        response.SerializeWithCachedSizesToArray(bytes.get());
        link_->write(std::move(bytes), length);
    }

    void on_error(std::exception_ptr e) override
    {
        say(name() + ": closed (" + describe_exception_ptr(e) + ")");
        sessions_.erase(this);
        delete this;
    }

    std::string name() const { return "link " + std::to_string(number_); }

    std::string table_;
    int number_;
    std::set<session_t*>& sessions_;
    std::unique_ptr<fw::util::ipc_link_t> link_;
};

// The open sessions, deleted with the server.
class server_t {
public:
    server_t(boost::asio::io_context& io, const std::string& path, const std::string& table)
        : listener_(io, path, "quisad-standin", [this, table](stream_protocol::socket socket, int number) {
              sessions_.insert(new session_t(std::move(socket), table, number, sessions_));
          })
    {
    }

    ~server_t()
    {
        for (auto* s : sessions_)
            delete s;
    }

private:
    std::set<session_t*> sessions_;
    standin::listener_t listener_;
};

} // namespace

int main(int argc, char** argv)
{
    int status = 0;
    const auto vm = standin::parse_command_line(argc, argv, "quisad-standin",
                                                {{"socket", "UNIX socket path to listen on (replaced if it exists)"},
                                                 {"table", "answer table, re-read on every request"}},
                                                status);
    if (!vm)
        return status;
    const std::string path = (*vm)["socket"].as<std::string>();
    const std::string table = (*vm)["table"].as<std::string>();
    return standin::serve("quisad-standin", path, [&](boost::asio::io_context& io) {
        read_table(table); // a broken table is refused at start
        return std::make_unique<server_t>(io, path, table);
    });
}
