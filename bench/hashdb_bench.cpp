// Throughput of file hashing, the hash cache and the hash database at realistic sizes. Run through
// bench/hashdb_bench.sh, which also measures the OpenSSL single-core SHA-256 rate for comparison.
//
// QUORVEX_BENCH_FILE_MB sets the size of the hashed file (default 512).
#include <benchmark/benchmark.h>

#include <unistd.h>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "console/logger.h"
#include "hashdb/file_hash.h"
#include "hashdb/hash_cache.h"
#include "hashdb/hash_checker.h"

namespace {

namespace fs = std::filesystem;

constexpr int kRealFiles = 4096;

// One scratch folder per run, removed at exit.
struct Workspace {
    fs::path root;
    Workspace() {
        root = fs::temp_directory_path() / ("quorvex-bench-" + std::to_string(::getpid()));
        fs::create_directories(root);
    }
    ~Workspace() {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }
};

Workspace& workspace() {
    static Workspace space;
    return space;
}

void write_file(const fs::path& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

std::string random_hex(std::mt19937_64& random) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex(64, '0');
    for (auto& c : hex) c = kDigits[random() & 0x0F];
    return hex;
}

// ---- compute_file_hash ------------------------------------------------------------------------

const fs::path& large_file() {
    static const fs::path path = [] {
        const char* mb_text = std::getenv("QUORVEX_BENCH_FILE_MB");
        const std::size_t megabytes =
            mb_text != nullptr ? std::strtoull(mb_text, nullptr, 10) : 512;
        const fs::path file = workspace().root / "large.bin";
        std::ofstream out(file, std::ios::binary);
        std::mt19937_64 random(1);
        std::vector<std::uint64_t> block((1u << 20) / 8);
        for (std::size_t i = 0; i < megabytes; ++i) {
            for (auto& word : block) word = random();
            out.write(reinterpret_cast<const char*>(block.data()),
                      static_cast<std::streamsize>(1u << 20));
        }
        return file;
    }();
    return path;
}

void BM_ComputeFileHash(benchmark::State& state) {
    const fs::path& file = large_file();
    std::string hex;
    compute_file_hash(file, hex);  // brings the file into the page cache
    for (auto _ : state) {
        if (!compute_file_hash(file, hex)) state.SkipWithError("hashing failed");
        benchmark::DoNotOptimize(hex);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(fs::file_size(file)));
}
BENCHMARK(BM_ComputeFileHash)->Unit(benchmark::kMillisecond)->MinTime(3);

// ---- HashCache ----------------------------------------------------------------------------------

// A few thousand real files (lookups and stores query their stamps) ...
const std::vector<fs::path>& real_files() {
    static const std::vector<fs::path> files = [] {
        std::vector<fs::path> out;
        const fs::path folder = workspace().root / "files";
        fs::create_directories(folder);
        for (int i = 0; i < kRealFiles; ++i) {
            out.push_back(folder / ("f" + std::to_string(i)));
            write_file(out.back(), std::to_string(i));
        }
        return out;
    }();
    return files;
}

// ... and a cache file that holds `count` entries of other paths besides them.
fs::path cache_file_with(std::int64_t count, bool include_real) {
    const fs::path file = workspace().root / ("cache-" + std::to_string(count) +
                                              (include_real ? "-real" : "") + ".bin");
    if (fs::exists(file)) return file;
    std::mt19937_64 random(2);
    std::vector<CacheEntry> entries;
    entries.reserve(static_cast<std::size_t>(count));
    for (std::int64_t i = 0; i < count; ++i) {
        entries.push_back({"/synthetic/folder/number/" + std::to_string(i) + "/file.dat", i,
                           static_cast<std::uint64_t>(i) * 7, random_hex(random)});
    }
    write_file(file, serialize_hash_cache(entries));
    if (include_real) {
        HashCache cache(file.string());
        cache.load();
        for (const auto& path : real_files()) cache.store(path, random_hex(random));
        cache.save();
    }
    return file;
}

void BM_CacheLookupHit(benchmark::State& state) {
    const auto& files = real_files();
    HashCache cache(cache_file_with(state.range(0), true).string());
    cache.load();
    std::string hash;
    std::size_t next = 0;
    for (auto _ : state) {
        if (!cache.lookup(files[next], hash)) state.SkipWithError("lookup missed");
        next = (next + 1) % files.size();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_CacheLookupHit)->Arg(10000)->Arg(1000000);

// Start-up with a cache of `count` entries: reading and checking the file and building the index.
void BM_CacheLoad(benchmark::State& state) {
    const fs::path file = cache_file_with(state.range(0), false);
    for (auto _ : state) {
        HashCache cache(file.string());
        if (!cache.load()) state.SkipWithError("load failed");
        benchmark::DoNotOptimize(cache.size());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_CacheLoad)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);

void BM_CacheStoreUpdate(benchmark::State& state) {
    const auto& files = real_files();
    HashCache cache(cache_file_with(state.range(0), true).string());
    cache.load();
    const std::string hash(64, 'a');
    std::size_t next = 0;
    for (auto _ : state) {
        cache.store(files[next], hash);
        next = (next + 1) % files.size();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_CacheStoreUpdate)->Arg(10000)->Arg(1000000);

// Appending new keys. A key is the path as spelled, so each real file reached through another of
// these folder links is a new entry: links x real files new keys, appended to a freshly loaded
// cache of N entries. The count is large enough that the list and index regrowth is amortised.
constexpr int kFolderLinks = 64;

const std::vector<fs::path>& new_key_paths() {
    static const std::vector<fs::path> paths = [] {
        real_files();
        std::vector<fs::path> out;
        for (int link = 0; link < kFolderLinks; ++link) {
            const fs::path folder = workspace().root / ("link" + std::to_string(link));
            fs::create_directory_symlink(workspace().root / "files", folder);
            for (int i = 0; i < kRealFiles; ++i) out.push_back(folder / ("f" + std::to_string(i)));
        }
        return out;
    }();
    return paths;
}

void BM_CacheStoreAppend(benchmark::State& state) {
    const auto& paths = new_key_paths();
    const fs::path file = cache_file_with(state.range(0), false);
    const std::string hash(64, 'b');
    for (auto _ : state) {
        state.PauseTiming();
        auto cache = std::make_unique<HashCache>(file.string());
        cache->load();
        state.ResumeTiming();
        for (const auto& path : paths) cache->store(path, hash);
        state.PauseTiming();
        if (cache->size() != paths.size() + static_cast<std::size_t>(state.range(0))) {
            state.SkipWithError("stores were lost");
        }
        cache.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * paths.size()));
}
BENCHMARK(BM_CacheStoreAppend)
    ->Arg(10000)
    ->Arg(1000000)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

// ---- HashChecker ------------------------------------------------------------------------------

constexpr int kDatabaseHashes = 1000000;

Logger& bench_logger() {
    static Logger logger((workspace().root / "bench_log.txt").string());
    return logger;
}

const std::vector<std::string>& database_hashes() {
    static const std::vector<std::string> hashes = [] {
        std::mt19937_64 random(3);
        std::vector<std::string> out;
        out.reserve(kDatabaseHashes);
        for (int i = 0; i < kDatabaseHashes; ++i) out.push_back(random_hex(random));
        return out;
    }();
    return hashes;
}

fs::path database_text() {
    static const fs::path file = [] {
        const fs::path path = workspace().root / "hashes.txt";
        std::string text;
        text.reserve(static_cast<std::size_t>(kDatabaseHashes) * 66);
        for (const auto& hash : database_hashes()) text += hash + "\r\n";
        write_file(path, text);
        return path;
    }();
    return file;
}

void BM_ConvertTextToBinary(benchmark::State& state) {
    const std::string text = database_text().string();
    const std::string bin = (workspace().root / "converted.bin").string();
    for (auto _ : state) {
        if (!HashChecker::convert_text_to_binary(text, bin))
            state.SkipWithError("conversion failed");
    }
    state.counters["hashes"] = kDatabaseHashes;
}
BENCHMARK(BM_ConvertTextToBinary)->Unit(benchmark::kMillisecond);

std::string database_binary() {
    static const std::string bin = [] {
        const std::string path = (workspace().root / "hashes.bin").string();
        HashChecker::convert_text_to_binary(database_text().string(), path);
        return path;
    }();
    return bin;
}

void BM_LoadBinary(benchmark::State& state) {
    const std::string bin = database_binary();
    HashChecker checker(bench_logger());
    for (auto _ : state) {
        if (!checker.load_binary(bin)) state.SkipWithError("load failed");
    }
    state.counters["hashes"] = static_cast<double>(checker.record_count());
}
BENCHMARK(BM_LoadBinary)->Unit(benchmark::kMillisecond);

// Half of the queries name listed hashes, half do not.
void BM_Contains(benchmark::State& state) {
    HashChecker checker(bench_logger());
    checker.load_binary(database_binary());
    std::mt19937_64 random(4);
    std::vector<std::string> queries;
    for (int i = 0; i < 4096; ++i) {
        queries.push_back(i % 2 == 0 ? database_hashes()[random() % kDatabaseHashes]
                                     : random_hex(random));
    }
    std::size_t next = 0;
    std::size_t found = 0;
    for (auto _ : state) {
        found += checker.contains(queries[next]) ? 1 : 0;
        next = (next + 1) % queries.size();
    }
    benchmark::DoNotOptimize(found);
    if (static_cast<std::int64_t>(found) < state.iterations() / 2)
        state.SkipWithError("listed hashes were not found");
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_Contains);

}  // namespace
