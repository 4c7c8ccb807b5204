// Runs a fuzz target without libFuzzer: its seeds, the files of its corpus
// directory, then deterministic mutations of them. Any exception that leaves
// the target, or a sanitizer report, is a finding; the input is dumped.
//   <target> [--runs N] [--seed S] [corpus file or directory]...
//   <target> --write-seeds DIR   (a starting corpus for the libFuzzer build)
#include "fuzz/fuzz.hpp"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#if defined(__SANITIZE_ADDRESS__) && __has_include(<sanitizer/common_interface_defs.h>)
#include <sanitizer/common_interface_defs.h>
#define MORVA_FUZZ_DEATH_CALLBACK 1
#endif

namespace {

const fuzz_bytes_t* current = nullptr;
std::string current_origin;

void dump_current()
{
    if (!current)
        return;
    std::fprintf(stderr, "fuzz: failing input (%s), %zu bytes:\n", current_origin.c_str(), current->size());
    for (std::size_t i = 0; i < current->size(); ++i)
        std::fprintf(stderr, "%02x%s", (*current)[i], (i % 32 == 31) ? "\n" : "");
    std::fprintf(stderr, "\n");
}

// splitmix64: the same sequence on every machine.
struct rng_t {
    std::uint64_t state;
    std::uint64_t next()
    {
        std::uint64_t z = (state += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    }
    std::size_t below(std::size_t n) { return n ? next() % n : 0; }
};

// Values that sit on the edges of length and type checks.
constexpr std::uint16_t edge_values[] = {0, 1, 2, 3, 4, 5, 7, 8, 12, 16, 0x7f, 0x80, 0xff, 0x100, 0x7fff, 0x8000, 0xffff};

void mutate(fuzz_bytes_t& in, rng_t& rng, const std::vector<fuzz_bytes_t>& pool)
{
    const std::size_t rounds = 1 + rng.below(4);
    for (std::size_t r = 0; r < rounds; ++r) {
        switch (rng.below(8)) {
        case 0: // bit flip
            if (!in.empty())
                in[rng.below(in.size())] ^= std::uint8_t(1u << rng.below(8));
            break;
        case 1: // random byte
            if (!in.empty())
                in[rng.below(in.size())] = std::uint8_t(rng.next());
            break;
        case 2: // truncation
            in.resize(rng.below(in.size() + 1));
            break;
        case 3: { // a 16-bit length or type field set to an edge value, often 4-aligned
            if (in.size() < 2)
                break;
            std::size_t at = rng.below(in.size() - 1);
            if (rng.below(2))
                at &= ~std::size_t{3};
            std::uint16_t v = edge_values[rng.below(std::size(edge_values))];
            if (rng.below(3) == 0)
                v = static_cast<std::uint16_t>(in.size() - at + rng.below(9) - 4);
            std::memcpy(in.data() + at, &v, 2);
            break;
        }
        case 4: { // 32-bit field edit
            if (in.size() < 4)
                break;
            std::size_t at = rng.below(in.size() - 3) & ~std::size_t{3};
            std::uint32_t v = rng.below(2) ? std::uint32_t(rng.next()) : std::uint32_t(edge_values[rng.below(std::size(edge_values))]);
            std::memcpy(in.data() + at, &v, 4);
            break;
        }
        case 5: { // appended random bytes
            std::size_t n = 1 + rng.below(16);
            for (std::size_t i = 0; i < n; ++i)
                in.push_back(std::uint8_t(rng.next()));
            break;
        }
        case 6: { // a chunk repeated
            if (in.empty())
                break;
            std::size_t from = rng.below(in.size());
            std::size_t n = 1 + rng.below(std::min<std::size_t>(64, in.size() - from));
            fuzz_bytes_t chunk(in.begin() + from, in.begin() + from + n);
            in.insert(in.begin() + rng.below(in.size() + 1), chunk.begin(), chunk.end());
            break;
        }
        default: { // splice with another input
            const fuzz_bytes_t& other = pool[rng.below(pool.size())];
            std::size_t keep = rng.below(in.size() + 1);
            std::size_t from = rng.below(other.size() + 1);
            in.resize(keep);
            in.insert(in.end(), other.begin() + from, other.end());
            break;
        }
        }
    }
}

void run_one(const fuzz_bytes_t& input, const std::string& origin)
{
    current = &input;
    current_origin = origin;
    // An exact-size copy, so a read one past the end is a sanitizer report.
    std::unique_ptr<std::uint8_t[]> exact(new std::uint8_t[input.size() ? input.size() : 1]);
    if (!input.empty())
        std::memcpy(exact.get(), input.data(), input.size());
    try {
        LLVMFuzzerTestOneInput(input.empty() ? nullptr : exact.get(), input.size());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "fuzz: uncaught exception: %s\n", e.what());
        dump_current();
        std::exit(1);
    } catch (...) {
        std::fprintf(stderr, "fuzz: uncaught non-standard exception\n");
        dump_current();
        std::exit(1);
    }
    current = nullptr;
}

void add_file(std::vector<fuzz_bytes_t>& pool, const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    pool.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

} // namespace

int main(int argc, char** argv)
{
#ifdef MORVA_FUZZ_DEATH_CALLBACK
    __sanitizer_set_death_callback(dump_current);
#endif
    std::size_t runs = 10000;
    std::uint64_t seed = 1;
    std::vector<fuzz_bytes_t> pool = fuzz_seeds();
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--runs" && i + 1 < argc) {
            runs = std::strtoull(argv[++i], nullptr, 10);
        } else if (arg == "--write-seeds" && i + 1 < argc) {
            const std::filesystem::path dir = argv[++i];
            std::filesystem::create_directories(dir);
            for (std::size_t n = 0; n < pool.size(); ++n) {
                std::ofstream out(dir / ("seed-" + std::to_string(n)), std::ios::binary);
                out.write(reinterpret_cast<const char*>(pool[n].data()), static_cast<std::streamsize>(pool[n].size()));
            }
            return 0;
        } else if (arg == "--seed" && i + 1 < argc) {
            seed = std::strtoull(argv[++i], nullptr, 10);
        } else if (std::filesystem::is_directory(arg)) {
            for (const auto& entry : std::filesystem::directory_iterator(arg))
                if (entry.is_regular_file())
                    add_file(pool, entry.path());
        } else {
            add_file(pool, arg);
        }
    }
    if (pool.empty())
        pool.emplace_back();

    for (std::size_t i = 0; i < pool.size(); ++i)
        run_one(pool[i], "seed " + std::to_string(i));
    rng_t rng{seed};
    for (std::size_t i = 0; i < runs; ++i) {
        fuzz_bytes_t input = pool[rng.below(pool.size())];
        mutate(input, rng, pool);
        run_one(input, "mutation " + std::to_string(i) + " of --seed " + std::to_string(seed));
    }
    std::printf("%zu seeds, %zu mutations, no finding\n", pool.size(), runs);
    return 0;
}
