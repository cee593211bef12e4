#include "support/test_support.h"

#include <atomic>
#include <chrono>
#include <fstream>
#include <random>
#include <stdexcept>
#include <system_error>

namespace test_support {

TempDir::TempDir() {
    static std::atomic<unsigned> counter{0};
    std::random_device random;
    const auto base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        const auto name =
            "quorvex-test-" + std::to_string(random()) + "-" + std::to_string(counter.fetch_add(1));
        std::error_code ec;
        if (std::filesystem::create_directory(base / name, ec)) {
            root = std::filesystem::canonical(base / name);
            return;
        }
    }
    throw std::runtime_error("cannot create a temporary test folder");
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
}

std::filesystem::path TempDir::write(const std::filesystem::path& relative,
                                     const std::string& content) const {
    const auto full = root / relative;
    std::filesystem::create_directories(full.parent_path());
    std::ofstream out(full, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!out) throw std::runtime_error("cannot write " + full.string());
    return full;
}

std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace test_support
