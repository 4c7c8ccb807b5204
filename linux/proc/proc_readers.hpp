#pragma once
// Readers of the kernel's view of processes, sockets and interfaces: the ids
// and executable of a process, the interfaces by index, and a streaming
// scanner of /proc/net/tcp. They block and keep no state between calls.
#include <boost/asio/ip/tcp.hpp>
#include <boost/filesystem/path.hpp>

#include <cstddef>
#include <iosfwd>
#include <string>
#include <utility>
#include <vector>

class file_reader_t;

namespace fw::linux {

// (file-system uid, file-system gid) from /proc/<pid>/status.
// Throws boost::system::system_error "Cannot open " + path, std::runtime_error
// "Cannot parse " + path + ": no fsuid/fsgid found", or boost::bad_lexical_cast.
std::pair<unsigned, unsigned> read_proc_status_ids(int pid);
// The same over an open status file; `path` names it in the error.
std::pair<unsigned, unsigned> parse_proc_status_ids(std::istream& in, const std::string& path);

// The target of /proc/<pid>/exe as the kernel gives it; throws
// boost::filesystem::filesystem_error ("readlink", path).
boost::filesystem::path read_proc_exe(int pid);

struct interface_info_t {
    std::string name;
    int index = 0;
};

// One entry per IPv4 address, in the kernel's SIOCGIFCONF order.
std::vector<interface_info_t> list_interfaces();

struct proc_net_tcp_entry_t {
    boost::asio::ip::tcp::endpoint local{boost::asio::ip::address_v4::any(), 0};
    boost::asio::ip::tcp::endpoint remote{boost::asio::ip::address_v4::any(), 0};
    unsigned inode = 0;
};

// A character-by-character scanner of /proc/net/tcp: the header line, then one
// entry per data line. Lines may be split across any number of chunks.
class proc_net_tcp_parser_t {
public:
    proc_net_tcp_parser_t();

    // Returns (bytes consumed, a data line was completed). A completed line
    // consumes up to and including its newline; in or on entering the error
    // state, the bytes before the offending character. Throws
    // boost::bad_lexical_cast when the inode does not fit.
    std::pair<std::size_t, bool> feed(const char* begin, const char* end);

    // The entry of the last complete data line.
    const proc_net_tcp_entry_t& entry() const noexcept { return entry_; }
    bool failed() const noexcept { return state_ == 0; }

private:
    void complete_line();

    int state_;
    proc_net_tcp_entry_t entry_;
    std::string address_;
    std::string port_;
    std::string local_address_;
    std::string local_port_;
    std::string remote_address_;
    std::string remote_port_;
    std::string inode_;
    int count_ = 0; // characters of the current fixed-width field (not the scanner's state)
};

// Walks the data lines of a /proc/net/tcp file read by a file_reader_t. A line
// the scanner rejects ends the walk as the end of the file would.
class proc_net_tcp_iterator_t {
public:
    using iterator_category = std::input_iterator_tag;
    using value_type = proc_net_tcp_entry_t;
    using difference_type = std::ptrdiff_t;
    using pointer = const proc_net_tcp_entry_t*;
    using reference = const proc_net_tcp_entry_t&;

    // (begin, end) over the reader, which has already read its first chunk.
    static std::pair<proc_net_tcp_iterator_t, proc_net_tcp_iterator_t> range(file_reader_t& reader);

    reference operator*() const noexcept { return parser_.entry(); }
    pointer operator->() const noexcept { return &parser_.entry(); }
    proc_net_tcp_iterator_t& operator++();
    bool operator==(const proc_net_tcp_iterator_t& other) const noexcept
    {
        return reader_ == other.reader_ && at_end_ == other.at_end_;
    }

private:
    proc_net_tcp_iterator_t(file_reader_t* reader, bool at_end);
    void advance();

    proc_net_tcp_parser_t parser_;
    file_reader_t* reader_;
    bool at_end_;
    const char* begin_ = nullptr;
    const char* end_ = nullptr;
};

} // namespace fw::linux
