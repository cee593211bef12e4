#include "scanner/entropy.h"

#include <cmath>

#include "platform/file_bytes.h"

double entropy_of(const platform::ByteHistogram& histogram) {
    if (histogram.total == 0) return 0.0;
    const auto total = static_cast<double>(histogram.total);
    double entropy = 0.0;
    for (const std::uint64_t count : histogram.counts) {
        if (count == 0) continue;
        const double p = static_cast<double>(count) / total;
        entropy -= p * std::log2(p);
    }
    return entropy;
}

double calculate_file_entropy(const std::filesystem::path& file) {
    platform::ByteHistogram histogram;
    if (!platform::count_file_bytes(file, histogram)) return 0.0;
    return entropy_of(histogram);
}
