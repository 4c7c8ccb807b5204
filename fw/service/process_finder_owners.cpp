#include "fw/service/process_finder_owners.hpp"

#include "common/scoped_fd.hpp"

#include <boost/filesystem/exception.hpp>
#include <boost/filesystem/path.hpp>
#include <boost/system/error_code.hpp>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <string_view>
#include <tuple>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fw::service {

namespace {

constexpr std::size_t entries_buffer_size = 64 * 1024;
constexpr std::string_view socket_prefix = "socket:[";

// The process is gone, or its descriptors are not ours to see.
bool out_of_sight(int error)
{
    return error == ENOENT || error == ESRCH || error == EACCES || error == EPERM;
}

// The texts the walk with boost::filesystem gave, kept for the log.
[[noreturn]] void fail(const char* what, const std::string& path, int error)
{
    throw boost::filesystem::filesystem_error(what, boost::filesystem::path(path),
                                              boost::system::error_code(error, boost::system::system_category()));
}

template <typename T>
std::optional<T> number_of(std::string_view text)
{
    T value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

// The inode a descriptor link names when it names a socket.
std::optional<unsigned> socket_inode(std::string_view target)
{
    if (target.size() <= socket_prefix.size() + 1 || target.substr(0, socket_prefix.size()) != socket_prefix
        || target.back() != ']')
        return std::nullopt;
    return number_of<unsigned>(target.substr(socket_prefix.size(), target.size() - socket_prefix.size() - 1));
}

// Calls on_entry(name, type) for each entry of the open directory but "." and
// ".."; stops when it returns false. Returns 0 or the errno of a failed read.
template <typename F>
int for_each_entry(int dir, std::vector<char>& buffer, F on_entry)
{
    for (;;) {
        const ssize_t size = ::getdents64(dir, buffer.data(), buffer.size());
        if (size < 0)
            return errno;
        if (size == 0)
            return 0;
        for (ssize_t at = 0; at < size;) {
            const auto* entry = reinterpret_cast<const dirent64*>(buffer.data() + at);
            at += entry->d_reclen;
            const std::string_view name(entry->d_name);
            if (name == "." || name == "..")
                continue;
            if (!on_entry(name, entry->d_type))
                return 0;
        }
    }
}

std::string_view read_link(int dir, const char* name, char (&target)[64], int& error)
{
    const ssize_t size = ::readlinkat(dir, name, target, sizeof target);
    if (size < 0) {
        error = errno;
        return {};
    }
    error = 0;
    return {target, static_cast<std::size_t>(size)};
}

} // namespace

owner_search_t::owner_search_t(std::string proc) : proc_(std::move(proc)), entries_(entries_buffer_size) {}

bool owner_search_t::find(wanted_t& wanted, const found_t& found, const std::atomic<bool>& stop)
{
    if (try_cached(wanted, found))
        return true;

    std::vector<int> read;
    // The list changes while it is read: go through a copy.
    const std::vector<int> recent = recent_;
    for (int pid : recent) {
        if (stop)
            return false;
        read.push_back(pid);
        if (!read_process(pid, wanted, found))
            std::erase(recent_, pid);
        if (wanted.empty())
            return true;
    }

    std::vector<int> pids = list_processes();
    std::erase_if(pids, [&](int pid) { return std::find(read.begin(), read.end(), pid) != read.end(); });
    // (not of an owner's uid, read before, had none, descriptors, pid)
    std::vector<std::tuple<bool, bool, bool, std::size_t, int>> order;
    order.reserve(pids.size());
    for (int pid : pids) {
        const process_t& process = processes_[pid];
        const bool of_owner = process.uid && std::any_of(wanted.begin(), wanted.end(), [&](const auto& w) {
                                  return w.second == process.uid;
                              });
        order.emplace_back(!of_owner, process.read, process.descriptors == 0, process.descriptors, pid);
    }
    std::sort(order.begin(), order.end());
    for (const auto& [other_uid, read_before, empty, descriptors, pid] : order) {
        if (stop)
            return false;
        read_process(pid, wanted, found);
        if (wanted.empty())
            return true;
    }
    return true;
}

bool owner_search_t::try_cached(wanted_t& wanted, const found_t& found)
{
    for (auto it = wanted.begin(); it != wanted.end();) {
        const unsigned inode = it->first;
        const auto cached = cache_.find(inode);
        if (cached == cache_.end()) {
            ++it;
            continue;
        }
        const auto [pid, fd] = cached->second;
        // The descriptor may have been closed and reused, or the pid reused:
        // only a link that names this very socket counts.
        if (!holds(pid, fd, inode)) {
            cache_.erase(cached);
            ++it;
            continue;
        }
        it = wanted.erase(it);
        found(inode, pid);
    }
    return wanted.empty();
}

std::optional<int> owner_search_t::find_at_recent_descriptor(unsigned inode, std::size_t limit) const
{
    if (const auto holder = recent_descriptor_of(inode, limit))
        return holder->first;
    return std::nullopt;
}

std::optional<std::pair<int, int>> owner_search_t::recent_descriptor_of(unsigned inode, std::size_t limit) const
{
    std::vector<std::pair<int, int>> hints;
    {
        std::lock_guard<std::mutex> lock(hints_mutex_);
        hints.assign(hints_.begin(), hints_.begin() + static_cast<std::ptrdiff_t>(std::min(limit, hints_.size())));
    }
    for (const auto& [pid, fd] : hints)
        if (holds(pid, fd, inode))
            return std::pair(pid, fd);
    return std::nullopt;
}

bool owner_search_t::holds(int pid, int fd, unsigned inode) const
{
    const std::string path = proc_ + "/" + std::to_string(pid) + "/fd/" + std::to_string(fd);
    char target[64];
    int error;
    return socket_inode(read_link(AT_FDCWD, path.c_str(), target, error)) == inode;
}

bool owner_search_t::read_process(int pid, wanted_t& wanted, const found_t& found)
{
    processes_[pid].read = true;
    const std::string path = proc_ + "/" + std::to_string(pid) + "/fd";
    fw::util::scoped_fd_t dir(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir) {
        if (!out_of_sight(errno))
            fail("boost::filesystem::directory_iterator::construct", path, errno);
        // Nothing to read there: not worth trying before the others.
        processes_[pid].descriptors = 0;
        return false;
    }
    std::size_t descriptors = 0;
    bool hidden = false;
    const int error = for_each_entry(dir.get(), entries_, [&](std::string_view name, unsigned char) {
        ++descriptors;
        char target[64];
        int link_error;
        const std::string_view text = read_link(dir.get(), name.data(), target, link_error);
        if (link_error == ENOENT)
            return true; // closed meanwhile
        if (link_error != 0) {
            if (out_of_sight(link_error)) {
                hidden = true;
                return false;
            }
            fail("boost::filesystem::read_symlink", path + "/" + std::string(name), link_error);
        }
        const std::optional<unsigned> inode = socket_inode(text);
        if (!inode)
            return true;
        const auto it = wanted.find(*inode);
        if (it == wanted.end())
            return true;
        wanted.erase(it);
        if (const auto fd = number_of<int>(name))
            remember(*inode, pid, *fd);
        found(*inode, pid);
        return !wanted.empty();
    });
    if (error != 0) {
        if (out_of_sight(error))
            return false;
        fail("boost::filesystem::directory_iterator::operator++", path, error);
    }
    // A reading cut short when the last inode was found saw only some.
    process_t& process = processes_[pid];
    if (!hidden && !wanted.empty())
        process.descriptors = descriptors;
    return !hidden;
}

std::vector<int> owner_search_t::list_processes()
{
    fw::util::scoped_fd_t dir(::open(proc_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir)
        fail("boost::filesystem::directory_iterator::construct", proc_, errno);
    std::vector<int> pids;
    std::unordered_map<int, process_t> seen;
    seen.reserve(processes_.size() + 16);
    const int error = for_each_entry(dir.get(), entries_, [&](std::string_view name, unsigned char type) {
        const std::optional<int> pid = number_of<int>(name);
        if (!pid || (type != DT_DIR && type != DT_UNKNOWN))
            return true;
        pids.push_back(*pid);
        const auto known = processes_.find(*pid);
        if (known != processes_.end()) {
            seen.emplace(*pid, known->second);
            return true;
        }
        // The directory belongs to the process's effective uid (to root
        // when it is not dumpable), and the size of its fd directory is the
        // number of descriptors (0 before Linux 6.2): good enough to choose
        // whom to read first.
        process_t process;
        struct stat st{};
        if (::fstatat(dir.get(), name.data(), &st, 0) == 0)
            process.uid = st.st_uid;
        const std::string fd_dir = std::string(name) + "/fd";
        if (::fstatat(dir.get(), fd_dir.c_str(), &st, 0) == 0)
            process.descriptors = static_cast<std::size_t>(st.st_size);
        seen.emplace(*pid, process);
        return true;
    });
    if (error != 0)
        fail("boost::filesystem::directory_iterator::operator++", proc_, error);
    // Forget the processes that ended.
    processes_ = std::move(seen);
    return pids;
}

void owner_search_t::remember(unsigned inode, int pid, int fd)
{
    if (cache_.size() >= cache_limit)
        cache_.clear();
    cache_[inode] = {pid, fd};
    std::erase(recent_, pid);
    recent_.insert(recent_.begin(), pid);
    if (recent_.size() > recent_limit)
        recent_.pop_back();
    std::lock_guard<std::mutex> lock(hints_mutex_);
    std::erase(hints_, std::pair(pid, fd));
    hints_.insert(hints_.begin(), {pid, fd});
    if (hints_.size() > hint_limit)
        hints_.pop_back();
}

} // namespace fw::service
