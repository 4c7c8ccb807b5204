#pragma once
// Test helpers: bytes from readable hex, and capture of what the policies send.
#include "linux/nftables/policy.hpp"
#include "linux/nftables/writer.hpp"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace nft_test {

using bytes_t = std::vector<std::uint8_t>;

// "0c 00 01 00 'cmp'" -> bytes; text in quotes is taken literally (no NUL added).
inline bytes_t hex(std::string_view text)
{
    bytes_t out;
    for (std::size_t i = 0; i < text.size();) {
        char c = text[i];
        if (c == '\'') {
            std::size_t end = text.find('\'', i + 1);
            for (char ch : text.substr(i + 1, end - i - 1))
                out.push_back(static_cast<std::uint8_t>(ch));
            i = end + 1;
        } else if (std::isxdigit(static_cast<unsigned char>(c))) {
            out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16)));
            i += 2;
        } else {
            ++i;
        }
    }
    return out;
}

inline std::string dump(std::span<const std::uint8_t> bytes)
{
    std::string s;
    char buf[4];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(buf, sizeof buf, "%02x", bytes[i]);
        s += buf;
        s += (i % 4 == 3) ? "  " : " ";
    }
    return s;
}

// A single policy whose sink keeps every message.
struct single_capture_t {
    std::vector<bytes_t> sent;
    fw::linux::nftables::policy::single_policy_t policy{
        [this](std::span<const std::uint8_t> b) { sent.emplace_back(b.begin(), b.end()); }};
    fw::linux::nftables::message_writer_t writer{policy};

    // The attributes of the one message `write` produced (after nlmsghdr and nfgenmsg).
    template <class F>
    bytes_t attributes(F&& write)
    {
        writer.begin_message(6, 2, 0x400);
        write(writer);
        writer.end_message();
        bytes_t& m = sent.back();
        return bytes_t(m.begin() + 20, m.end());
    }
};

inline std::uint32_t u32_at(const bytes_t& b, std::size_t off)
{
    return std::uint32_t{b.at(off)} | std::uint32_t{b.at(off + 1)} << 8 | std::uint32_t{b.at(off + 2)} << 16 |
           std::uint32_t{b.at(off + 3)} << 24;
}
inline std::uint16_t u16_at(const bytes_t& b, std::size_t off)
{
    return static_cast<std::uint16_t>(b.at(off) | b.at(off + 1) << 8);
}

} // namespace nft_test
