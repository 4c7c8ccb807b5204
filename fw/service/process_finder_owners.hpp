#pragma once
// Finds the processes that hold given socket inodes by reading their
// descriptor tables in /proc, without reading every table each time:
//  - an inode answered before is tried first at the descriptor that held it,
//    and taken only when one readlink shows it still points to the socket;
//  - then the processes that owned sockets lately, which is where the next
//    connections of a busy client come from;
//  - then the rest: those of the socket's uid first; among them the ones
//    never read before (a new process is a likely client), then the ones
//    with the fewest descriptors when last seen, in pid order among equals,
//    and last those that had none (kernel threads, hidden tables).
// Every answer is a process that held the socket when its descriptor was
// read; when several hold it (a child inherits its parent's descriptors),
// which of them is answered depends on that order. The search runs on the
// process finder's worker thread only.
#include <atomic>
#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace fw::service {

class owner_search_t {
public:
    // inode -> the uid owning the socket, when known.
    using wanted_t = std::map<unsigned, std::optional<unsigned>>;
    // Called once per inode found, as soon as it is found.
    using found_t = std::function<void(unsigned inode, int pid)>;

    // Answers kept for the next lookups of the same sockets.
    static constexpr std::size_t cache_limit = 4096;
    // Processes that owned sockets lately, read before /proc is listed.
    static constexpr std::size_t recent_limit = 8;
    // Descriptors (of any process) that held the sockets found last.
    static constexpr std::size_t hint_limit = 8;

    // `proc`: where the process directories are, for tests.
    explicit owner_search_t(std::string proc = "/proc");

    // Removes every inode found from `wanted`. Returns false when `stop` was
    // seen set (it is checked between processes) before the search ended.
    // A process that ends meanwhile or hides its descriptors is passed over;
    // other failures throw boost::filesystem::filesystem_error.
    bool find(wanted_t& wanted, const found_t& found, const std::atomic<bool>& stop);

    // The process whose descriptor among the `limit` that held the sockets
    // found last names `inode` now: a few readlinks, no directory read (a
    // client that closes a connection and opens the next gets the descriptor
    // it freed). Not part of find(): for many sockets at once, reading the
    // recent owners' tables costs less. Safe to call from any thread while
    // another one searches.
    std::optional<int> find_at_recent_descriptor(unsigned inode, std::size_t limit = hint_limit) const;

private:
    struct process_t {
        std::optional<unsigned> uid;
        // At its last full reading, or when it was first listed.
        std::size_t descriptors = 0;
        bool read = false;
    };

    bool try_cached(wanted_t& wanted, const found_t& found);
    // (pid, descriptor) among the recent ones that names `inode` now.
    std::optional<std::pair<int, int>> recent_descriptor_of(unsigned inode, std::size_t limit) const;
    // Whether descriptor `fd` of `pid` names the socket `inode` now.
    bool holds(int pid, int fd, unsigned inode) const;
    // Reads one process's descriptors; false when it is gone or hidden.
    bool read_process(int pid, wanted_t& wanted, const found_t& found);
    std::vector<int> list_processes();
    void remember(unsigned inode, int pid, int fd);

    std::string proc_;
    std::unordered_map<unsigned, std::pair<int, int>> cache_; // inode -> (pid, descriptor)
    std::vector<int> recent_;                                   // most recent first
    std::unordered_map<int, process_t> processes_;
    std::vector<char> entries_; // getdents buffer
    mutable std::mutex hints_mutex_;
    std::vector<std::pair<int, int>> hints_; // (pid, descriptor), most recent first
};

} // namespace fw::service
