#include <atomic>
#include <chrono>
#include <string>
#include <system_error>

#include "platform/atomic_file.h"

namespace platform {
namespace {

std::filesystem::path temporary_name_for(const std::filesystem::path& target) {
    static std::atomic<unsigned> counter{0};
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    auto name = target.filename();
    name += ".tmp-" + std::to_string(stamp) + "-" + std::to_string(counter.fetch_add(1));
    return target.parent_path() / name;
}

}  // namespace

AtomicFileWriter::AtomicFileWriter(std::filesystem::path target_path, bool text)
    : target(std::move(target_path)), temporary(temporary_name_for(target)) {
    const auto mode =
        std::ios::out | std::ios::trunc | (text ? std::ios::openmode{} : std::ios::binary);
    out.open(temporary, mode);
}

AtomicFileWriter::~AtomicFileWriter() {
    if (committed) return;
    if (out.is_open()) out.close();
    std::error_code ignored;
    std::filesystem::remove(temporary, ignored);
}

bool AtomicFileWriter::commit() {
    if (committed || !out.is_open()) return false;
    out.flush();
    const bool written = static_cast<bool>(out);
    out.close();
    if (!written || out.fail() || !sync_and_replace(temporary, target)) return false;
    committed = true;
    return true;
}

}  // namespace platform
