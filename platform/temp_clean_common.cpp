#include "platform/temp_clean.h"

namespace platform {
namespace {

// The normal form of a path without the empty last element a trailing separator leaves.
std::filesystem::path tidy(const std::filesystem::path& path) {
    auto normal = path.lexically_normal();
    if (!normal.has_filename() && normal.has_relative_path()) normal = normal.parent_path();
    return normal;
}

// True when folder is path itself or one of the folders above it, compared element by element so
// that /home/al is not taken for an ancestor of /home/alice.
bool is_same_or_ancestor(const std::filesystem::path& folder, const std::filesystem::path& path) {
    const auto a = tidy(folder);
    const auto b = tidy(path);
    auto inside = b.begin();
    for (const auto& element : a) {
        if (inside == b.end() || *inside != element) return false;
        ++inside;
    }
    return true;
}

}  // namespace

bool usable_user_temp_folder(const std::filesystem::path& candidate,
                             const std::filesystem::path& home,
                             const std::filesystem::path& program_folder) {
    const auto folder = tidy(candidate);
    // A relative name depends on the working folder, so nothing about it can be vouched for.
    if (!folder.is_absolute() || !folder.has_relative_path()) return false;
    if (!home.empty() && is_same_or_ancestor(folder, home)) return false;
    if (!program_folder.empty() && is_same_or_ancestor(folder, program_folder)) return false;
    return true;
}

}  // namespace platform
