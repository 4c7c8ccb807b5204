// The quisad client against the quisad stand-in: answers from its table reach
// the right jobs while several are pending at once.
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/post.hpp>
#include <gtest/gtest.h>

#include "common/error.hpp"
#include "links/quisad/quisad.hpp"
#include "links/stream_socket.hpp"
#include "tests/common/temp_dir.hpp"
#include "tests/links/pellad/child.hpp"
#include "tests/support/process.hpp"

namespace {

using boost::asio::local::stream_protocol;
using fw::quisad::quisad_t;

struct provider_t : quisad_t::link_provider_t {
    boost::asio::io_context& io;
    std::string path;
    provider_t(boost::asio::io_context& io, std::string path) : io(io), path(std::move(path)) {}
    void get_link(quisad_t::link_callback_t callback) override
    {
        stream_protocol::socket socket(io);
        socket.connect(path);
        boost::asio::post(io, [callback = std::move(callback), s = std::move(socket)]() mutable {
            callback(nullptr, std::make_unique<fw::util::asio_stream_socket_wrapper_t<stream_protocol::socket>>(
                                  std::move(s)));
        });
    }
};

struct outcome_t {
    bool called = false;
    std::string error; // describe_exception_ptr, empty for none
    int code = 0;
    std::string value; // lookup values joined by ',' or "true"/"false"
};

using quisad_standin = morva_test::temp_dir_test_t;

TEST_F(quisad_standin, answers_each_job_from_its_table)
{
    const std::string table = (dir / "table.txt").string();
    std::ofstream(table) << "# test table\n"
                            "lookup ldap people : alice bob\n"
                            "lookup ad empty :\n"
                            "check cidr nets 10.0.0.1 : true\n"
                            "check cidr nets 10.9.9.9 : false\n"
                            "lookup pq broken : error 115\n"
                            "check regex bad x : error 12 bad pattern\n";
    const std::string path = (dir / "quisad.sock").string();
    morva_test::child_t standin({morva_test::built("tools/quisad-standin"), path, table}, dir / "out.txt");
    ASSERT_TRUE(standin.wait_for("listening on")) << standin.output();

    boost::asio::io_context io;
    provider_t provider(io, path);
    quisad_t client(io, provider);
    std::map<std::string, outcome_t> outcomes;
    auto record = [&](const std::string& name, std::exception_ptr e, std::string value) {
        outcomes[name] = {true, e ? describe_exception_ptr(e) : "", e ? errorcode_from_exception_ptr(e) : 0, value};
    };
    auto lookup = [&](const std::string& name, const std::string& type, const std::string& tag,
                      quisad_t::parameters_t parameters = {}) {
        client.lookup(type, tag, std::move(parameters), [&record, name](std::exception_ptr e, std::vector<std::string> d) {
            std::string joined;
            for (const auto& v : d)
                joined += (joined.empty() ? "" : ",") + v;
            record(name, e, joined);
        });
    };
    auto check = [&](const std::string& name, const std::string& type, const std::string& tag, const std::string& value) {
        client.check(type, tag, value, {}, [&record, name](std::exception_ptr e, bool r) {
            record(name, e, r ? "true" : "false");
        });
    };
    lookup("people", "LDAP", "people", {{"user", "carol"}, {"domain", "corp"}});
    lookup("empty", "ad", "empty");
    lookup("missing", "mysql", "nothing here");
    check("in", "cidr", "nets", "10.0.0.1");
    check("out", "cidr", "nets", "10.9.9.9");
    lookup("broken", "pq", "broken");
    check("bad", "regex", "bad", "x");

    const std::map<std::string, outcome_t> expected{
        {"people", {true, "", 0, "alice,bob"}},
        {"empty", {true, "", 0, ""}},
        {"missing", {true, "", 0, ""}},
        {"in", {true, "", 0, "true"}},
        {"out", {true, "", 0, "false"}},
        {"broken", {true, "Quisad is not available", 115, ""}},
        {"bad", {true, "bad pattern", 12, "false"}},
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (outcomes.size() < expected.size() && std::chrono::steady_clock::now() < deadline) {
        io.run_for(std::chrono::milliseconds(5));
        io.restart();
    }
    ASSERT_EQ(outcomes.size(), expected.size()) << standin.output();
    for (const auto& [name, want] : expected) {
        const auto& got = outcomes[name];
        EXPECT_EQ(got.error, want.error) << name;
        EXPECT_EQ(got.code, want.code) << name;
        EXPECT_EQ(got.value, want.value) << name;
    }
    EXPECT_NE(standin.output().find("lookup serial=0 type=ldap tag=people user=carol domain=corp"), std::string::npos)
        << standin.output();
}

} // namespace
