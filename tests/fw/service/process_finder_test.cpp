// The process finder's worker with inode getters the test controls: answers
// posted to the event loop, shared batch errors, the walk over /proc for
// sockets of this process, the batch bound, stopping with requests queued,
// and the /proc/net/tcp getter over fixture files.
#include "fw/service/process_finder.hpp"

#include "common/error.hpp"
#include "tests/common/fork.hpp"
#include "tests/common/temp_dir.hpp"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/lexical_cast.hpp>
#include <boost/system/system_error.hpp>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <future>
#include <map>
#include <mutex>
#include <thread>

#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using fw::service::process_finder_t;
using endpoint_t = boost::asio::ip::tcp::endpoint;
using pairs_t = std::vector<process_finder_t::endpoint_pair_t>;

endpoint_t ep(const char* address, unsigned short port)
{
    return {boost::asio::ip::make_address(address), port};
}

std::string message_of(const std::exception_ptr& e)
{
    try {
        std::rethrow_exception(e);
    } catch (const std::exception& x) {
        return x.what();
    }
}

// What the worker is given and what it gets back; the test may hold the worker
// inside get_inodes.
struct getter_state_t {
    std::mutex mutex;
    std::condition_variable changed;
    bool hold = false;
    bool inside = false;
    std::vector<pairs_t> batches;
    // What the finder said of each client's address, batch by batch.
    std::vector<std::vector<bool>> local;
    std::function<std::vector<unsigned>(const pairs_t&)> answer = [](const pairs_t& p) {
        return std::vector<unsigned>(p.size(), 0);
    };

    void wait_inside()
    {
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, 10s, [this] { return inside; }));
    }
    void release()
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            hold = false;
        }
        changed.notify_all();
    }
};

class fake_getter_t : public process_finder_t::inode_getter_t {
public:
    explicit fake_getter_t(std::shared_ptr<getter_state_t> state) : state_(std::move(state)) {}
    const std::string& name() const override
    {
        static const std::string name = "fake table";
        return name;
    }
    std::vector<process_finder_t::socket_id_t> get_inodes(const pairs_t& pairs,
                                                          const process_finder_t::is_local_t& is_local) override
    {
        std::vector<bool> local;
        for (const auto& pair : pairs)
            local.push_back(is_local(pair.first.address().to_v4()));
        std::unique_lock<std::mutex> lock(state_->mutex);
        state_->batches.push_back(pairs);
        state_->local.push_back(std::move(local));
        state_->inside = true;
        state_->changed.notify_all();
        state_->changed.wait(lock, [this] { return !state_->hold; });
        state_->inside = false;
        std::vector<process_finder_t::socket_id_t> sockets;
        for (unsigned inode : state_->answer(pairs))
            sockets.push_back({inode, std::nullopt});
        return sockets;
    }

private:
    std::shared_ptr<getter_state_t> state_;
};

struct answer_t {
    std::exception_ptr error;
    int pid = -1;
    std::thread::id thread;
};

class process_finder_test : public testing::Test {
protected:
    process_finder_test() : finder(std::make_unique<process_finder_t>(io, std::make_unique<fake_getter_t>(state))) {}

    void ask(const endpoint_t& src, const endpoint_t& dst, std::size_t slot)
    {
        if (answers.size() <= slot) {
            answers.resize(slot + 1);
            calls.resize(slot + 1);
        }
        finder->find_pid({src, dst, [this, slot](std::exception_ptr error, int pid) {
                              answers[slot] = {error, pid, std::this_thread::get_id()};
                              ++calls[slot];
                              ++answered;
                          }});
    }

    void TearDown() override
    {
        for (std::size_t slot = 0; slot < calls.size(); ++slot)
            EXPECT_LE(calls[slot], 1) << "request " << slot << " answered twice";
    }

    // Runs the event loop until `count` answers came or a while passed.
    void run_until_answered(std::size_t count)
    {
        {
            auto guard = boost::asio::make_work_guard(io);
            const auto deadline = std::chrono::steady_clock::now() + 10s;
            while (answered < count && std::chrono::steady_clock::now() < deadline)
                io.run_one_for(50ms);
            // Anything further would be a second answer.
            io.run_for(50ms);
        }
        // Releasing the guard stopped the loop; the next case runs it again.
        io.restart();
    }

    boost::asio::io_context io;
    std::shared_ptr<getter_state_t> state = std::make_shared<getter_state_t>();
    std::unique_ptr<process_finder_t> finder;
    std::vector<answer_t> answers;
    std::vector<int> calls;
    std::size_t answered = 0;
};

// The inode of a socket this process holds.
unsigned inode_of(int fd)
{
    struct stat st{};
    EXPECT_EQ(::fstat(fd, &st), 0);
    return static_cast<unsigned>(st.st_ino);
}

TEST_F(process_finder_test, answers_each_request_once_on_the_event_loop)
{
    int ends[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
    const unsigned first = inode_of(ends[0]);
    const unsigned second = inode_of(ends[1]);
    // c is on no host's interface (TEST-NET-1).
    const auto a = ep("127.0.0.1", 1000), b = ep("127.0.0.1", 2000), c = ep("192.0.2.1", 3000);
    state->answer = [&](const pairs_t& pairs) {
        std::vector<unsigned> inodes;
        for (const auto& pair : pairs)
            inodes.push_back(pair.first == a ? first : pair.first == b ? second : 0);
        return inodes;
    };

    ask(a, c, 0);
    ask(b, c, 1);
    ask(c, a, 2); // not found
    ask(a, c, 3); // the same pair again
    run_until_answered(4);
    ::close(ends[0]);
    ::close(ends[1]);

    ASSERT_EQ(answered, 4u);
    for (std::size_t slot : {0, 1, 3}) {
        EXPECT_FALSE(answers[slot].error) << slot;
        EXPECT_EQ(answers[slot].pid, ::getpid()) << slot;
    }
    ASSERT_TRUE(answers[2].error);
    EXPECT_EQ(message_of(answers[2].error), "Cannot find inode in fake table");
    EXPECT_EQ(answers[2].pid, 0);
    for (const auto& answer : answers)
        EXPECT_EQ(answer.thread, std::this_thread::get_id());
    // The client of another host was asked of the getter like the others
    // (a transparent socket here may use its address), told apart as not
    // local by this host's addresses.
    std::lock_guard<std::mutex> lock(state->mutex);
    std::map<endpoint_t, bool> local;
    for (std::size_t i = 0; i < state->batches.size(); ++i)
        for (std::size_t j = 0; j < state->batches[i].size(); ++j)
            local[state->batches[i][j].first] = state->local[i][j];
    EXPECT_EQ(local, (std::map<endpoint_t, bool>{{a, true}, {b, true}, {c, false}}));
}

TEST_F(process_finder_test, failures_are_shared_by_the_batch)
{
    struct case_t {
        const char* name;
        std::function<std::vector<unsigned>(const pairs_t&)> answer;
        std::string text;
    };
    const std::vector<case_t> cases = {
        {"nothing found", [](const pairs_t& p) { return std::vector<unsigned>(p.size(), 0); },
         "Cannot find inode in fake table"},
        {"getter fails",
         [](const pairs_t&) -> std::vector<unsigned> { throw std::runtime_error("dump refused"); }, "dump refused"},
        // No process holds these inodes: the walk ends without them.
        {"held by nobody", [](const pairs_t& p) { return std::vector<unsigned>(p.size(), 4294967295u); },
         "Cannot find paths"},
    };
    for (const auto& c : cases) {
        answers.clear();
        calls.clear();
        answered = 0;
        state->hold = true;
        state->answer = c.answer;
        ask(ep("127.0.0.1", 1), ep("127.0.0.1", 2), 0);
        state->wait_inside();
        ask(ep("127.0.0.1", 3), ep("127.0.0.1", 4), 1);
        ask(ep("127.0.0.1", 5), ep("127.0.0.1", 6), 2);
        state->release();
        run_until_answered(3);
        ASSERT_EQ(answered, 3u) << c.name;
        for (const auto& answer : answers) {
            ASSERT_TRUE(answer.error) << c.name;
            EXPECT_EQ(message_of(answer.error), c.text) << c.name;
            EXPECT_EQ(answer.pid, 0) << c.name;
        }
        // The two queued while the first ran form one batch, which shares one exception object.
        EXPECT_TRUE(answers[1].error == answers[2].error) << c.name;
    }
}

TEST_F(process_finder_test, takes_at_most_128_requests_per_batch_in_sorted_order)
{
    state->hold = true;
    ask(ep("127.0.0.1", 1), ep("127.0.0.1", 1), 0);
    state->wait_inside();
    // Queued while the worker is busy, in descending order.
    for (std::size_t i = 1; i <= 200; ++i)
        ask(ep("127.0.0.2", static_cast<unsigned short>(1000 - i)), ep("127.0.0.3", 80), i);
    state->release();
    run_until_answered(201);

    EXPECT_EQ(answered, 201u);
    std::lock_guard<std::mutex> lock(state->mutex);
    ASSERT_EQ(state->batches.size(), 3u);
    EXPECT_EQ(state->batches[1].size(), 128u);
    EXPECT_EQ(state->batches[2].size(), 72u);
    for (const auto& batch : state->batches)
        EXPECT_TRUE(std::is_sorted(batch.begin(), batch.end()));
    // The oldest requests come first: the second batch holds ports 999..872.
    EXPECT_EQ(state->batches[1].front().first.port(), 872);
    EXPECT_EQ(state->batches[1].back().first.port(), 999);
}

TEST_F(process_finder_test, stopping_drops_queued_requests_unanswered)
{
    state->hold = true;
    ask(ep("127.0.0.1", 1), ep("127.0.0.1", 2), 0);
    state->wait_inside();
    for (std::size_t i = 1; i <= 10; ++i)
        ask(ep("127.0.0.1", 1), ep("127.0.0.1", static_cast<unsigned short>(i)), i);

    auto stopped = std::async(std::launch::async, [this] { finder.reset(); });
    // Let the destructor raise the stop flag before the worker leaves get_inodes.
    EXPECT_EQ(stopped.wait_for(200ms), std::future_status::timeout);
    state->release();
    ASSERT_EQ(stopped.wait_for(10s), std::future_status::ready);

    run_until_answered(1);
    EXPECT_EQ(answered, 1u); // only the request the worker had taken
    EXPECT_EQ(state->batches.size(), 1u);
}

TEST_F(process_finder_test, a_stop_does_not_wait_for_the_search_of_proc)
{
    // Held by no process: only reading every process's descriptors ends the search.
    state->answer = [](const pairs_t& p) { return std::vector<unsigned>(p.size(), 4294967295u); };
    state->hold = true;
    ask(ep("127.0.0.1", 1), ep("127.0.0.1", 2), 0);
    state->wait_inside();

    auto stopped = std::async(std::launch::async, [this] { finder.reset(); });
    // Let the destructor raise the stop flag before the worker leaves get_inodes.
    EXPECT_EQ(stopped.wait_for(200ms), std::future_status::timeout);
    state->release();
    ASSERT_EQ(stopped.wait_for(10s), std::future_status::ready);

    // The search ended at the stop instead of answering "Cannot find paths";
    // the worker is gone, so whatever it posted is queued by now.
    io.poll();
    EXPECT_EQ(answered, 0u);
}

TEST_F(process_finder_test, an_idle_worker_stops_at_once)
{
    const auto start = std::chrono::steady_clock::now();
    finder.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
}

TEST_F(process_finder_test, an_escaping_failure_ends_the_event_loop)
{
    state->answer = [](const pairs_t&) -> std::vector<unsigned> { throw 42; };
    ask(ep("127.0.0.1", 1), ep("127.0.0.1", 2), 0);
    auto guard = boost::asio::make_work_guard(io);
    try {
        io.run_for(10s);
        ADD_FAILURE() << "the event loop went on";
    } catch (const cf_exception_t& e) {
        EXPECT_STREQ(e.what(), "Process finder: Unexpected exception");
        EXPECT_EQ(e.code().value(), 125);
    }
    EXPECT_EQ(answered, 0u);
}

TEST(process_finder, passes_over_processes_whose_descriptors_it_cannot_see)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to leave it";
    // Unprivileged, the walk meets this test's own root process before the child.
    const auto result = morva_test::run_in_child([] {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0 || ::prctl(PR_SET_DUMPABLE, 1) != 0)
            ::_exit(2);
        int ends[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
            ::_exit(3);
        auto state = std::make_shared<getter_state_t>();
        state->answer = [inode = inode_of(ends[1])](const pairs_t&) { return std::vector<unsigned>{inode}; };
        boost::asio::io_context io;
        process_finder_t finder(io, std::make_unique<fake_getter_t>(state));
        int found = -1;
        finder.find_pid({ep("127.0.0.1", 1), ep("127.0.0.1", 2), [&](std::exception_ptr error, int pid) {
                             if (error)
                                 std::fprintf(stderr, "%s\n", message_of(error).c_str());
                             found = pid;
                         }});
        auto guard = boost::asio::make_work_guard(io);
        for (int i = 0; i < 200 && found < 0; ++i)
            io.run_one_for(50ms);
        ::_exit(found == ::getpid() ? 0 : 1);
    });
    EXPECT_EQ(result.status, 0) << result.err;
}

// ---------------------------------------------------------------------------
// /proc/net/tcp getter over fixture files

const std::string tcp_header =
    "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n";

std::string tcp_line(const char* local, const char* remote, const char* state, const std::string& inode)
{
    return std::string("   0: ") + local + " " + remote + " " + state
           + " 00000000:00000000 00:00000000 00000000     0        0 " + inode + " 1 0000000000000000 20 4 30 10 -1\n";
}

// Only the loopback net is local here.
bool loopback_only(const boost::asio::ip::address_v4& address)
{
    return address.is_loopback();
}

class proc_inode_getter_test : public morva_test::temp_dir_test_t {
protected:
    std::vector<unsigned> inodes(const std::string& text, const pairs_t& pairs)
    {
        const auto path = (dir / "tcp").string();
        std::ofstream(path) << text;
        std::vector<unsigned> inodes;
        for (const auto& socket : process_finder_t::proc_inode_getter_t(path).get_inodes(pairs, loopback_only)) {
            EXPECT_FALSE(socket.uid);
            inodes.push_back(socket.inode);
        }
        return inodes;
    }
};

TEST_F(proc_inode_getter_test, matches_lines_to_pairs)
{
    // 127.0.0.1:40000 -> 127.0.0.1:80 and 127.0.0.1:40001 -> 127.0.0.1:80
    const char* client1 = "0100007F:9C40";
    const char* client2 = "0100007F:9C41";
    const char* server = "0100007F:0050";
    const auto key1 = std::make_pair(ep("127.0.0.1", 40000), ep("127.0.0.1", 80));
    const auto key2 = std::make_pair(ep("127.0.0.1", 40001), ep("127.0.0.1", 80));
    const auto absent = std::make_pair(ep("127.0.0.1", 40002), ep("127.0.0.1", 80));

    const std::string text = tcp_header + tcp_line(server, client1, "01", "500") // the server's side
                             + tcp_line(client1, server, "06", "0")              // an old one in TIME_WAIT
                             + tcp_line(client1, server, "01", "111") + tcp_line(client2, server, "02", "222")
                             + tcp_line(client2, server, "01", "333")
                             // Read only if the scan went on after everything was found.
                             + tcp_line(client1, client2, "01", "99999999999");

    EXPECT_EQ(inodes(text, {key1, key2, key2}), (std::vector<unsigned>{111, 222, 222}));
    EXPECT_EQ(inodes(text, {key2}), (std::vector<unsigned>{222}));
    // A pair still missing keeps the scan going to the end, here into the bad line.
    EXPECT_THROW(inodes(text, {key1, absent}), boost::bad_lexical_cast);
    EXPECT_EQ(inodes(tcp_header + tcp_line(client1, server, "01", "111"), {key1, absent}),
              (std::vector<unsigned>{111, 0}));

    // A client whose address is not on this host is not searched for: the
    // file has no cheap lookup of one socket, and only a transparent socket
    // could have it.
    const char* remote_client = "0909090A:9C40"; // 10.9.9.9:40000
    const auto remote_key = std::make_pair(ep("10.9.9.9", 40000), ep("127.0.0.1", 80));
    EXPECT_EQ(inodes(tcp_header + tcp_line(remote_client, server, "01", "444") + tcp_line(client1, server, "01", "111"),
                     {remote_key, key1}),
              (std::vector<unsigned>{0, 111}));
}

TEST(proc_inode_getter, reads_nothing_for_clients_of_other_hosts)
{
    process_finder_t::proc_inode_getter_t getter("/nonexistent/tcp");
    const pairs_t remote = {{ep("10.9.9.9", 40000), ep("127.0.0.1", 80)}, {ep("10.9.9.9", 40001), ep("127.0.0.1", 80)}};
    EXPECT_EQ(getter.get_inodes(remote, loopback_only), std::vector<process_finder_t::socket_id_t>(2));
    EXPECT_TRUE(getter.get_inodes({}, loopback_only).empty());
}

TEST(proc_inode_getter, a_missing_file_fails_with_its_name)
{
    try {
        process_finder_t::proc_inode_getter_t("/nonexistent/tcp").get_inodes({{ep("127.0.0.1", 1), ep("127.0.0.1", 2)}},
                                                                     loopback_only);
        ADD_FAILURE() << "read a missing file";
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(std::string(e.what()), "Cannot open file /nonexistent/tcp: " + e.code().message());
    }
    EXPECT_EQ(process_finder_t::proc_inode_getter_t().name(), "/proc/net/tcp");
}

} // namespace

// ---------------------------------------------------------------------------
// Owner search over a fixture /proc: the descriptors where sockets were found
// last are tried first, and count only while they name the socket asked for.

class owner_search_test : public morva_test::temp_dir_test_t {
protected:
    void link(int pid, int fd, unsigned inode)
    {
        const auto fds = dir / std::to_string(pid) / "fd";
        boost::filesystem::create_directories(fds);
        boost::filesystem::remove(fds / std::to_string(fd));
        boost::filesystem::create_symlink("socket:[" + std::to_string(inode) + "]", fds / std::to_string(fd));
    }

    // The pid the full search answers for `inode`, or -1.
    int find(fw::service::owner_search_t& search, unsigned inode)
    {
        fw::service::owner_search_t::wanted_t wanted{{inode, std::nullopt}};
        int found = -1;
        const std::atomic<bool> stop = false;
        search.find(wanted, [&](unsigned, int pid) { found = pid; }, stop);
        return found;
    }
};

TEST_F(owner_search_test, a_recent_descriptor_counts_only_while_it_names_the_socket)
{
    link(10, 5, 100);
    link(20, 3, 900);
    fw::service::owner_search_t search(dir.string());
    ASSERT_EQ(find(search, 100), 10);

    // The client closed the socket and its next one took the same descriptor.
    link(10, 5, 101);
    EXPECT_EQ(search.find_at_recent_descriptor(101), std::optional<int>(10));
    EXPECT_EQ(search.find_at_recent_descriptor(100), std::nullopt);
    // A socket elsewhere is not found there.
    EXPECT_EQ(search.find_at_recent_descriptor(900), std::nullopt);
    EXPECT_EQ(find(search, 900), 20);

    // The process ended and another took its descriptor's number: the pid
    // recorded with the descriptor no longer holds it.
    boost::filesystem::remove_all(dir / "10");
    link(30, 5, 101);
    EXPECT_EQ(search.find_at_recent_descriptor(101), std::nullopt);
    EXPECT_EQ(find(search, 101), 30);
    // The pid reused by a process holding another socket at that descriptor.
    link(10, 5, 102);
    EXPECT_EQ(search.find_at_recent_descriptor(101), std::optional<int>(30));
    EXPECT_EQ(search.find_at_recent_descriptor(102), std::optional<int>(10));
    EXPECT_EQ(search.find_at_recent_descriptor(103), std::nullopt);
}
