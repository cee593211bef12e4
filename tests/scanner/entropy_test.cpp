#include "scanner/entropy.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "scan_fixture.h"
#include "support/test_support.h"

namespace {

using test_support::TempDir;

TEST(Entropy, KnownAnswers) {
    TempDir dir;
    const std::string last_block = std::string(4096, 'a') + "b";
    const double p = 4096.0 / 4097.0;
    const double q = 1.0 / 4097.0;
    struct Case {
        const char* name;
        std::string content;
        double expected;
    };
    const Case cases[] = {
        {"one_byte", "z", 0.0},
        {"one_value", std::string(10000, '\x7f'), 0.0},
        {"two_values", scan_fixture::spread_bytes(8192, 2), 1.0},
        {"sixteen_values", scan_fixture::spread_bytes(4096 * 3, 16), 4.0},
        {"all_values", scan_fixture::uniform_bytes(256 * 40), 8.0},
        // The last, partial block must be counted: without it the file is one value only.
        {"4097_bytes", last_block, -(p * std::log2(p) + q * std::log2(q))},
    };
    for (const auto& c : cases) {
        const auto file = dir.write(c.name, c.content);
        EXPECT_NEAR(calculate_file_entropy(file), c.expected, 1e-12) << c.name;
    }
}

TEST(Entropy, NothingToReadGivesZero) {
    TempDir dir;
    dir.write("empty", "");
    dir.write("folder/inside", "x");
    EXPECT_EQ(calculate_file_entropy(dir / "empty"), 0.0);
    EXPECT_EQ(calculate_file_entropy(dir / "missing"), 0.0);
    EXPECT_EQ(calculate_file_entropy(dir / "folder"), 0.0);
}

TEST(Entropy, HistogramOfTheHashingReadGivesTheSameValue) {
    TempDir dir;
    const auto file = dir.write("mixed.exe", scan_fixture::uniform_bytes(300000) + "tail");
    platform::ByteHistogram histogram;
    std::string hash;
    ASSERT_TRUE(compute_file_hash(file, hash, histogram));
    EXPECT_EQ(entropy_of(histogram), calculate_file_entropy(file));
}

TEST(Entropy, ThresholdIsStrict) {
    EXPECT_FALSE(is_suspicious_entropy(7.2));
    EXPECT_TRUE(is_suspicious_entropy(std::nextafter(7.2, 8.0)));
    EXPECT_TRUE(is_suspicious_entropy(8.0));
}

}  // namespace
