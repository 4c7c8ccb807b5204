// The fsuid/fsgid reader of /proc/<pid>/status.
#include "fuzz/fuzz.hpp"
#include "linux/proc/proc_readers.hpp"

#include <boost/lexical_cast.hpp>

#include <sstream>
#include <stdexcept>
#include <string>

std::vector<fuzz_bytes_t> fuzz_seeds()
{
    return {fuzz::text("Name:\tcat\nUmask:\t0022\nState:\tR (running)\nUid:\t1000\t1000\t1000\t1001\n"
                       "Gid:\t100\t100\t100\t101\nFDSize:\t256\n"),
            fuzz::text("Uid:\t0\t0\t0\t0\nGid:\t0\t0\t0\t4294967295\n")};
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    try {
        (void)fw::linux::parse_proc_status_ids(in, "/proc/1/status");
    } catch (const boost::bad_lexical_cast&) {
    } catch (const std::runtime_error& e) {
        if (std::string(e.what()).rfind("Cannot parse /proc/1/status: ", 0) != 0)
            throw;
    }
    return 0;
}
