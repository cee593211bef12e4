#include <gtest/gtest.h>

#include <filesystem>

#include "platform/file_bytes.h"
#include "platform/file_hash.h"
#include "platform/fs_kind.h"
#include "support/test_support.h"

namespace {

// A kernel attribute file: "regular" by its mode, with a made-up size and generated content.
const std::filesystem::path kKernelFile = "/sys/devices/system/cpu/online";

bool on_linux_with_sysfs() {
    return platform::system_folder_markers().front() == "/proc/" &&
           std::filesystem::is_regular_file(kKernelFile);
}

TEST(PseudoFileTest, KernelFilesAreNeverReadEvenThroughALink) {
    if (!on_linux_with_sysfs()) GTEST_SKIP() << "needs Linux with sysfs";
    test_support::TempDir dir;
    const auto link = dir / "looks-harmless.exe";
    std::filesystem::create_symlink(kKernelFile, link);
    for (const auto& path : {kKernelFile, link}) {
        platform::ByteHistogram histogram;
        EXPECT_FALSE(platform::count_file_bytes(path, histogram)) << path;
        EXPECT_EQ(histogram.total, 0u) << path;
        platform::Sha256Digest digest{};
        EXPECT_FALSE(platform::sha256_file(path, digest)) << path;
    }
}

}  // namespace
