#include <cstdint>

#include "platform/file_bytes.h"

namespace platform {

void add_to_histogram(const unsigned char* data, std::size_t length, ByteHistogram& histogram) {
    // Four tables, so that runs of one byte value do not serialise on a single counter.
    std::uint64_t lanes[4][256] = {};
    std::size_t i = 0;
    for (; i + 4 <= length; i += 4) {
        ++lanes[0][data[i]];
        ++lanes[1][data[i + 1]];
        ++lanes[2][data[i + 2]];
        ++lanes[3][data[i + 3]];
    }
    for (; i < length; ++i) ++lanes[0][data[i]];
    for (int value = 0; value < 256; ++value) {
        histogram.counts[value] +=
            lanes[0][value] + lanes[1][value] + lanes[2][value] + lanes[3][value];
    }
    histogram.total += length;
}

}  // namespace platform
