// compute_file_hash against independent SHA-256 values: the FIPS 180-4 examples, digests of
// generated content computed outside this code base (so the Linux and Windows builds are held to
// the same numbers), and the sha256sum tool where it is available.
#include "hashdb/file_hash.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace {

using test_support::TempDir;

// Deterministic bytes that both builds generate alike (a 32-bit linear congruential generator,
// high byte of each state), seeded with the length.
std::string generated_content(std::size_t length) {
    std::string bytes(length, '\0');
    std::uint32_t state = static_cast<std::uint32_t>(length);
    for (auto& byte : bytes) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<char>(state >> 24);
    }
    return bytes;
}

struct KnownAnswer {
    const char* name;
    std::string content;
    const char* digest;
};

TEST(ComputeFileHash, MatchesKnownDigests) {
    const KnownAnswer cases[] = {
        {"abc", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"448-bit message", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"one million a", std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
        {"1 byte", generated_content(1),
         "559aead08264d5795d3909718cdd05abd49572e84fe55590eef31a88a08fdffd"},
        {"55 bytes", generated_content(55),
         "f4e5b27ef1ed48d0741d513122e70351b4457941297625fe21219acf0cd1daec"},
        {"56 bytes", generated_content(56),
         "278ea788d4458197b314207b025371e124e8e38d597a5c3813f2a0d40404fcb9"},
        {"63 bytes", generated_content(63),
         "5b84795dce32af247f88e91ccf7e0515794641035afd923cd3149f9daad30342"},
        {"64 bytes", generated_content(64),
         "d51d63c80cc6f2d8efc79677369689e29eed2b39be4410fadd4454ab72ba5a13"},
        {"65 bytes", generated_content(65),
         "8bae246d0645559ef9eb53947f1557ef9a5e51abee4faac17eeb3ab008428048"},
        {"4095 bytes", generated_content(4095),
         "dc029220b16b28fbe1b28b93eccd4e5663cb0bb607ac76a0491f4d4da6c19252"},
        {"4097 bytes", generated_content(4097),
         "0d8b5a9c283b90970d06f789a481c08f2b4e1dc781ab241c17598fd419812950"},
        {"1 MiB - 1", generated_content((1u << 20) - 1),
         "9d8c3967b06980cdc3c172cac8114f8574537a47bef76ca5379e23c770b815df"},
        {"1 MiB + 1", generated_content((1u << 20) + 1),
         "34060d0fe2aa94a84d7363daca53386991b5c065070d7009bc34de234b0129d4"},
        {"3 MiB + 7", generated_content(3u * (1u << 20) + 7),
         "94e24a78b1d4eebef96f62d0fb09733f379d4270005a4e19410b7aa86f74ceae"},
    };
    TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto file = dir.write("input.bin", c.content);
        std::string hex = "previous";
        ASSERT_TRUE(compute_file_hash(file, hex));
        EXPECT_EQ(hex, c.digest);
    }
}

// A file is fed to the digest in pieces; a file of 1 GiB and one a byte longer must come out with
// their true digests across every seam. The files are sparse (a few marker bytes in a run of
// zeros), so they cost no disk.
TEST(ComputeFileHash, PieceBoundaryAtOneGibibyte) {
    constexpr std::uintmax_t kGiB = std::uintmax_t{1} << 30;
    const struct {
        std::uintmax_t size;
        const char* digest;
    } cases[] = {
        {kGiB, "e0a25587c48ecce4a65510014b77bb732ccb4cc0d633206b2017fb549f41638d"},
        {kGiB + 1, "b7f98c2c004fd89caa9420fab681bf2512520b40d7bdac600fb1da12ab074343"},
    };
    TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        const auto file = dir / "large.bin";
        std::filesystem::remove(file);
        { std::ofstream create(file, std::ios::binary); }
        std::filesystem::resize_file(file, c.size);
        {
            std::fstream out(file, std::ios::binary | std::ios::in | std::ios::out);
            const std::pair<std::uintmax_t, char> markers[] = {
                {0, 'y'}, {kGiB - 1, 'z'}, {c.size - 1, 'x'}};
            for (const auto& [offset, byte] : markers) {
                out.seekp(static_cast<std::streamoff>(offset));
                out.put(byte);
            }
            ASSERT_TRUE(out.good());
        }
        ASSERT_EQ(std::filesystem::file_size(file), c.size);
        std::string hex;
        ASSERT_TRUE(compute_file_hash(file, hex));
        EXPECT_EQ(hex, c.digest);
    }
}

// The digest the sha256sum tool prints for a file, or an empty text when the tool cannot be run
// here (the Windows build under Wine).
std::string sha256sum_of(const TempDir& dir, const std::filesystem::path& file) {
    const auto listing = dir / "sum.txt";
    const std::string command =
        "sha256sum \"" + file.string() + "\" > \"" + listing.string() + "\" 2>&1";
    if (std::system(command.c_str()) != 0) return "";
    return test_support::read_file(listing).substr(0, 64);
}

TEST(ComputeFileHash, AgreesWithSha256sumOnRandomFiles) {
    TempDir dir;
    const auto probe = dir.write("abc.txt", "abc");
    if (sha256sum_of(dir, probe) !=
        "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad") {
        GTEST_SKIP() << "sha256sum is not available here";
    }
    std::mt19937_64 random(std::random_device{}());
    const std::size_t sizes[] = {1, 3, 31, 32, 33, 127, 129, 65535, 65537, (1u << 20) + 13};
    for (std::size_t size : sizes) {
        SCOPED_TRACE(size);
        std::string content(size, '\0');
        for (auto& byte : content) byte = static_cast<char>(random());
        const auto file = dir.write("random.bin", content);
        std::string hex;
        ASSERT_TRUE(compute_file_hash(file, hex));
        EXPECT_EQ(hex, sha256sum_of(dir, file));
    }
}

// An empty file is a file like any other: its digest is that of empty input.
TEST(ComputeFileHash, EmptyFileHasTheDigestOfEmptyInput) {
    TempDir dir;
    const auto empty = dir.write("empty.bin", "");
    std::string hex;
    platform::FileStamp stamp{5, 6};
    ASSERT_TRUE(compute_file_hash(empty, hex, &stamp));
    EXPECT_EQ(hex, kEmptyInputSha256);
    EXPECT_EQ(stamp.size, 0);
    platform::ByteHistogram histogram;
    ASSERT_TRUE(compute_file_hash(empty, hex, histogram));
    EXPECT_EQ(histogram.total, 0u);
}

TEST(ComputeFileHash, FailsWithoutTouchingTheOutput) {
    TempDir dir;
    const auto folder = dir / "folder";
    std::filesystem::create_directory(folder);
    struct Case {
        const char* name;
        std::filesystem::path path;
        std::vector<std::string> reason_starts;  // any one of them
    };
    std::vector<Case> cases = {
        {"directory", folder, {""}},
        {"missing file", dir / "missing.bin", {"cannot open: "}},
    };
    // A FIFO without a writer: opening it for reading must neither block nor succeed.
    const auto fifo = dir / "fifo";
    // (Where there is no mkfifo the shell may still report success: trust only the file's type.)
    if (std::system(("mkfifo \"" + fifo.string() + "\" 2>&1").c_str()) == 0 &&
        std::filesystem::is_fifo(fifo)) {
        cases.push_back({"fifo", fifo, {"not a regular file"}});
    }
    // A character device would stream forever.
    if (std::filesystem::is_character_file("/dev/zero"))
        cases.push_back({"device", "/dev/zero", {"not a regular file"}});
    // A file whose content is shorter than the size its metadata reports (sysfs files claim a
    // page): the read comes up short, as it does for a file truncated while it is hashed or read
    // from a medium that fails. The Linux build refuses the pseudo file system before reading;
    // under Wine the Linux path reaches the same file and the short read itself is the reason.
    const std::filesystem::path short_read = "/sys/kernel/mm/transparent_hugepage/enabled";
    std::error_code error;
    if (std::filesystem::is_regular_file(short_read, error) &&
        std::filesystem::file_size(short_read, error) == 4096) {
        cases.push_back(
            {"short read", short_read, {"on a pseudo file system", "changed while it was read"}});
    }

    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string hex = "kept";
        std::string reason;
        EXPECT_FALSE(compute_file_hash(c.path, hex, nullptr, &reason));
        EXPECT_EQ(hex, "kept");
        EXPECT_FALSE(reason.empty());
        EXPECT_TRUE(std::any_of(c.reason_starts.begin(), c.reason_starts.end(),
                                [&](const std::string& start) { return reason.rfind(start, 0) == 0; }))
            << reason;
        platform::ByteHistogram histogram;
        histogram.total = 7;
        platform::FileStamp stamp{5, 6};
        EXPECT_FALSE(compute_file_hash(c.path, hex, histogram, &stamp));
        EXPECT_EQ(histogram.total, 7u);
        EXPECT_FALSE(compute_file_hash(c.path, hex, &stamp));
        EXPECT_EQ(stamp, (platform::FileStamp{5, 6}));
    }
}

// The stamp handed back belongs to the bytes that were digested, not to whatever the file holds by
// the time the caller looks: the hash cache relies on it to notice a file changed meanwhile.
TEST(ComputeFileHash, ReportsTheStampOfTheHashedVersion) {
    using namespace std::chrono_literals;
    TempDir dir;
    const auto file = dir.write("data.exe", "first version");
    const auto written =
        std::chrono::floor<std::chrono::seconds>(std::filesystem::last_write_time(file) - 3600s);
    std::filesystem::last_write_time(file, written);
    platform::FileStamp expected;
    ASSERT_TRUE(platform::query_file_stamp(file, expected));
    ASSERT_EQ(expected.size, 13);

    platform::FileStamp plain;
    platform::FileStamp with_histogram;
    platform::ByteHistogram histogram;
    std::string hex;
    ASSERT_TRUE(compute_file_hash(file, hex, &plain));
    ASSERT_TRUE(compute_file_hash(file, hex, histogram, &with_histogram));
    EXPECT_EQ(plain, expected);
    EXPECT_EQ(with_histogram, expected);

    // A later version of the same file reports its own stamp with its own digest.
    dir.write("data.exe", "second, longer version");
    std::filesystem::last_write_time(file, written + 60s);
    const std::string old_hex = hex;
    ASSERT_TRUE(compute_file_hash(file, hex, &plain));
    EXPECT_NE(hex, old_hex);
    EXPECT_EQ(plain.size, 22);
    EXPECT_EQ(plain.last_write_time, expected.last_write_time + 60u * 10000000u);
}

TEST(ComputeFileHash, HistogramCountsTheDigestedBytes) {
    TempDir dir;
    // Larger than one read buffer, so counts from every read must be added up.
    std::string content = generated_content((1u << 20) + 1);
    content[0] = '\0';
    const auto file = dir.write("data.bin", content);

    std::array<std::uint64_t, 256> expected{};
    for (unsigned char byte : content) ++expected[byte];

    platform::ByteHistogram histogram;
    histogram.counts[42] = 1000;  // stale counts from an earlier file must not survive
    std::string with_histogram;
    std::string plain;
    ASSERT_TRUE(compute_file_hash(file, with_histogram, histogram));
    ASSERT_TRUE(compute_file_hash(file, plain));
    EXPECT_EQ(with_histogram, plain);
    EXPECT_EQ(histogram.total, content.size());
    EXPECT_EQ(histogram.counts, expected);
}

}  // namespace
