#include "linux/proc/proc_readers.hpp"

#include "common/errno_error.hpp"
#include "common/file_reader.hpp"
#include "common/scoped_fd.hpp"

#include <boost/filesystem/operations.hpp>
#include <boost/lexical_cast.hpp>
#include <boost/system/system_error.hpp>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <stdexcept>

#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

namespace fw::linux {

namespace {

using fw::util::throw_errno;

boost::filesystem::path proc_path(int pid, const char* leaf)
{
    return boost::filesystem::path("/proc") / std::to_string(pid) / leaf;
}

} // namespace

std::pair<unsigned, unsigned> read_proc_status_ids(int pid)
{
    const boost::filesystem::path path = proc_path(pid, "status");
    std::ifstream in(path.string());
    if (in.fail() || in.bad())
        throw_errno(errno, "Cannot open " + path.string());
    return parse_proc_status_ids(in, path.string());
}

std::pair<unsigned, unsigned> parse_proc_status_ids(std::istream& in, const std::string& path)
{
    // Real, effective, saved and file-system ids; the fourth is the one access checks use.
    static const std::regex uid_line("Uid:\t[0-9]+\t[0-9]+\t[0-9]+\t([0-9]+)");
    static const std::regex gid_line("Gid:\t[0-9]+\t[0-9]+\t[0-9]+\t([0-9]+)");
    std::string line;
    std::smatch uid;
    std::smatch gid;
    while (std::getline(in, line)) {
        if (!std::regex_match(line, uid, uid_line))
            continue;
        std::string next;
        if (!std::getline(in, next))
            break;
        if (std::regex_match(next, gid, gid_line))
            return {boost::lexical_cast<unsigned>(uid.str(1)), boost::lexical_cast<unsigned>(gid.str(1))};
    }
    throw std::runtime_error("Cannot parse " + path + ": no fsuid/fsgid found");
}

boost::filesystem::path read_proc_exe(int pid)
{
    const boost::filesystem::path path = proc_path(pid, "exe");
    boost::system::error_code error;
    boost::filesystem::path target = boost::filesystem::read_symlink(path, error);
    if (error)
        throw boost::filesystem::filesystem_error("readlink", path, error);
    return target;
}

std::vector<interface_info_t> list_interfaces()
{
    fw::util::scoped_fd_t fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd)
        throw_errno(errno, "Cannot open socket");

    constexpr int tries = 10;
    constexpr unsigned largest_room = 64u << (tries - 1);
    std::vector<ifreq> entries;
    std::size_t count = 0;
    bool complete = false;
    for (unsigned room = 64; room <= largest_room && !complete; room *= 2) {
        entries.assign(room, ifreq{});
        ifconf conf{};
        conf.ifc_len = static_cast<int>(room * sizeof(ifreq));
        conf.ifc_req = entries.data();
        if (::ioctl(fd.get(), SIOCGIFCONF, &conf) != 0)
            throw_errno(errno, "Cannot get ifaces list");
        count = static_cast<std::size_t>(conf.ifc_len) / sizeof(ifreq);
        // A full buffer may have cut the list short.
        complete = count != room;
    }
    if (!complete) {
        char text[64];
        std::snprintf(text, sizeof text, "Amount of network interfaces is more than %u", largest_room);
        throw std::runtime_error(text);
    }

    std::vector<interface_info_t> result;
    result.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        ifreq& entry = entries[i];
        if (::ioctl(fd.get(), SIOCGIFINDEX, &entry) != 0)
            throw_errno(errno, "Cannot get iface index");
        result.push_back({std::string(entry.ifr_name, ::strnlen(entry.ifr_name, IFNAMSIZ)), entry.ifr_ifindex});
    }
    return result;
}

// ---------------------------------------------------------------------------
// /proc/net/tcp scanner.
//
// A line is matched against a pattern in which ' ' stands for zero or more
// blanks, '#' for one or more decimal digits, 'A' for an address digit, 'P'
// for a port digit and 'H' for any other hex digit; other characters stand for
// themselves. After the fixed part of a data line come the user id, timeout
// and inode, which the pattern cannot say (blanks between them may be empty),
// so that part runs as a set of positions of the grammar.

namespace {

constexpr int state_error = 0;
constexpr int state_header = 1;
constexpr int state_fixed = 2;
constexpr int state_decimals = 3;

constexpr std::string_view header_pattern =
    " sl local_address rem_address st tx_queue rx_queue tr tm->when retrnsmt uid timeout inode \n";
constexpr std::string_view line_pattern = " #: AAAAAAAA:PPPP AAAAAAAA:PPPP HH HHHHHHHH:HHHHHHHH HH:HHHHHHHH HHHHHHHH ";
constexpr std::size_t local_port_last = line_pattern.find("PPPP") + 3;
constexpr std::size_t remote_port_last = line_pattern.find("PPPP", local_port_last) + 3;

// Positions within the decimal fields: before the user id, in it, blanks after
// it, in the timeout, blanks after it, in the inode, in the rest of the line.
constexpr int at_start = 1;
constexpr int in_uid = 2;
constexpr int after_uid = 4;
constexpr int in_timeout = 8;
constexpr int after_timeout = 16;
constexpr int in_inode = 32;
constexpr int in_rest = 64;

// 'seen' in the fixed part: at least one digit of the current '#' field.
constexpr int seen_digit = 1 << 16;

bool is_blank(char c) { return c == ' ' || c == '\t'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_hex(char c) { return is_digit(c) || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'); }
bool is_rest(char c) { return is_blank(c) || is_digit(c) || c == '-' || (c >= 'a' && c <= 'f'); }

// Where each position goes on a digit, a blank, or another character of the rest.
struct decimal_step_t {
    int from;
    int digit;
    int blank;
    int rest;
};
constexpr decimal_step_t decimal_steps[] = {
    {at_start, in_uid, 0, 0},
    {in_uid, in_uid | in_timeout, after_uid, 0},
    {after_uid, in_timeout, after_uid, 0},
    {in_timeout, in_timeout | in_inode, after_timeout, 0},
    {after_timeout, in_inode, after_timeout, 0},
    {in_inode, in_inode | in_rest, in_rest, in_rest},
    {in_rest, in_rest, in_rest, in_rest},
};

// One step of the decimal part; 0 when `c` is not accepted.
int step_decimals(int from, char c)
{
    int to = 0;
    for (const auto& step : decimal_steps)
        if (from & step.from)
            to |= is_digit(c) ? step.digit : is_blank(c) ? step.blank : is_rest(c) ? step.rest : 0;
    return to;
}

std::uint32_t hex_value(const std::string& digits)
{
    return static_cast<std::uint32_t>(std::strtoul(digits.c_str(), nullptr, 16));
}

boost::asio::ip::tcp::endpoint decode_endpoint(const std::string& address, const std::string& port)
{
    // The kernel prints the network-order address as a host (little-endian) word.
    const std::uint32_t word = hex_value(address);
    const std::uint32_t host = ((word & 0xFFu) << 24) | ((word & 0xFF00u) << 8) | ((word >> 8) & 0xFF00u) | (word >> 24);
    return {boost::asio::ip::address_v4(host), static_cast<unsigned short>(hex_value(port))};
}

} // namespace

proc_net_tcp_parser_t::proc_net_tcp_parser_t() : state_(state_header)
{
    address_.reserve(8);
    port_.reserve(4);
    inode_.reserve(10);
}

void proc_net_tcp_parser_t::complete_line()
{
    entry_.local = decode_endpoint(local_address_, local_port_);
    entry_.remote = decode_endpoint(remote_address_, remote_port_);
    entry_.inode = boost::lexical_cast<unsigned>(inode_);
}

std::pair<std::size_t, bool> proc_net_tcp_parser_t::feed(const char* begin, const char* end)
{
    const auto size = static_cast<std::size_t>(end - begin);
    for (std::size_t consumed = 0; consumed < size; ++consumed) {
        const char c = begin[consumed];
        switch (state_) {
        case state_header: {
            // count_ is the position in the header pattern.
            auto at = static_cast<std::size_t>(count_);
            if (header_pattern[at] == ' ') {
                if (is_blank(c))
                    break;
                ++at;
            }
            if (header_pattern[at] != c) {
                state_ = state_error;
                return {consumed, false};
            }
            ++at;
            if (at == header_pattern.size()) {
                state_ = state_fixed;
                count_ = 0;
            } else {
                count_ = static_cast<int>(at);
            }
            break;
        }
        case state_fixed: {
            auto at = static_cast<std::size_t>(count_ & ~seen_digit);
            bool seen = count_ & seen_digit;
            for (;;) {
                const char want = line_pattern[at];
                if (want == ' ' && !is_blank(c)) {
                    ++at;
                } else if (want == '#' && !is_digit(c) && seen) {
                    seen = false;
                    ++at;
                } else {
                    break;
                }
                if (at == line_pattern.size())
                    break;
            }
            if (at == line_pattern.size()) {
                // The decimal fields begin with this character.
                state_ = state_decimals;
                count_ = at_start;
                --consumed; // read this character again as the first of those fields
                break;
            }
            const char want = line_pattern[at];
            bool ok;
            switch (want) {
            case ' ':
                ok = true; // a blank among blanks
                break;
            case '#':
                ok = is_digit(c);
                seen = ok;
                break;
            case 'A':
            case 'P':
                ok = is_hex(c);
                if (ok) {
                    std::string& digits = want == 'A' ? address_ : port_;
                    if (line_pattern[at - 1] != want)
                        digits.clear();
                    digits.push_back(c);
                    if (at == local_port_last) {
                        local_address_ = address_;
                        local_port_ = port_;
                    } else if (at == remote_port_last) {
                        remote_address_ = address_;
                        remote_port_ = port_;
                    }
                }
                break;
            case 'H':
                ok = is_hex(c);
                break;
            default:
                ok = c == want;
            }
            if (!ok) {
                state_ = state_error;
                return {consumed, false};
            }
            if (want != ' ' && want != '#')
                ++at;
            count_ = static_cast<int>(at) | (seen ? seen_digit : 0);
            break;
        }
        case state_decimals: {
            if (c == '\n') {
                if (!(count_ & (in_inode | in_rest))) {
                    state_ = state_error;
                    return {consumed, false};
                }
                state_ = state_fixed;
                count_ = 0;
                complete_line();
                return {consumed + 1, true};
            }
            const int to = step_decimals(count_, c);
            if (to == 0) {
                state_ = state_error;
                return {consumed, false};
            }
            if (is_digit(c)) {
                // A digit that may begin the third field starts the inode afresh.
                if (count_ & (in_timeout | after_timeout)) {
                    inode_.clear();
                    inode_.push_back(c);
                } else if (count_ & in_inode) {
                    inode_.push_back(c);
                }
            }
            count_ = to;
            break;
        }
        default:
            return {consumed, false};
        }
    }
    return {size, false};
}

proc_net_tcp_iterator_t::proc_net_tcp_iterator_t(file_reader_t* reader, bool at_end)
    : reader_(reader), at_end_(at_end)
{
}

std::pair<proc_net_tcp_iterator_t, proc_net_tcp_iterator_t> proc_net_tcp_iterator_t::range(file_reader_t& reader)
{
    proc_net_tcp_iterator_t begin(&reader, reader.begin() == reader.end());
    if (!begin.at_end_) {
        begin.begin_ = reader.begin();
        begin.end_ = reader.end();
        begin.advance();
    }
    return {std::move(begin), proc_net_tcp_iterator_t(&reader, true)};
}

proc_net_tcp_iterator_t& proc_net_tcp_iterator_t::operator++()
{
    advance();
    return *this;
}

void proc_net_tcp_iterator_t::advance()
{
    for (;;) {
        if (begin_ == end_) {
            if (!reader_->read_chunk()) {
                at_end_ = true;
                return;
            }
            begin_ = reader_->begin();
            end_ = reader_->end();
        }
        const auto [consumed, completed] = parser_.feed(begin_, end_);
        begin_ += consumed;
        if (completed)
            return;
        // The scanner accepts nothing more: what follows counts as absent.
        if (parser_.failed()) {
            at_end_ = true;
            return;
        }
    }
}

} // namespace fw::linux
