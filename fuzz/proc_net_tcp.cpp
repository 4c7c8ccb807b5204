// /proc/net/tcp text fed to the scanner in chunks; the first byte sets the
// chunk size, as reads of any size split lines anywhere.
#include "fuzz/fuzz.hpp"
#include "linux/proc/proc_readers.hpp"

#include <boost/lexical_cast.hpp>

#include <cstdlib>

std::vector<fuzz_bytes_t> fuzz_seeds()
{
    const char* file =
        "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n"
        "   0: 0100007F:1F90 00000000:0000 0A 00000000:00000000 00:00000000 00000000  1000        0 12345 1 0000000000000000 100 0 0 10 0\n"
        "   1: 0100007F:A1B2 0100007F:1F90 01 00000000:00000000 00:00000000 00000000  1000        0 4294967295 1 0000000000000000 20 4 30 10 -1\n";
    return {fuzz::concat({{7}, fuzz::text(file)}), fuzz::concat({{0}, fuzz::text(file)})};
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::size_t chunk = data[0] ? data[0] : size;
    const char* p = reinterpret_cast<const char*>(data + 1);
    const char* end = p + (size - 1);
    fw::linux::proc_net_tcp_parser_t parser;
    try {
        while (p != end) {
            const char* chunk_end = (end - p) > static_cast<std::ptrdiff_t>(chunk) ? p + chunk : end;
            const char* at = p;
            // A chunk is fed until it is used up, as the iterator does.
            while (at != chunk_end) {
                const auto [used, line_done] = parser.feed(at, chunk_end);
                if (used > static_cast<std::size_t>(chunk_end - at))
                    std::abort();
                if (parser.failed())
                    return 0;
                if (used == 0 && !line_done)
                    std::abort(); // no progress: the caller would spin
                at += used;
                if (line_done)
                    (void)parser.entry().local.port();
            }
            p = chunk_end;
        }
    } catch (const boost::bad_lexical_cast&) {
    }
    return 0;
}
