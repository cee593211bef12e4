#include "scanner/eligibility.h"

#include <algorithm>
#include <string_view>
#include <system_error>

#include "platform/file_info.h"
#include "platform/fs_kind.h"

namespace {

constexpr char kSeparator = static_cast<char>(std::filesystem::path::preferred_separator);

std::string folder_marker(const char* name) {
    return std::string(1, kSeparator) + name + std::string(1, kSeparator);
}

// Every walked entry is tested against every marker. A search per marker stops at each separator
// of the text to compare the marker there; since the markers themselves begin with the separator,
// one pass over the text's separators serves them all, and a marker's second character rules it
// out at most positions without a call.
bool contains_any(std::string_view text, const std::vector<std::string>& markers) {
    for (const auto& marker : markers) {
        if (marker.size() < 2 || marker[0] != kSeparator) {
            if (text.find(marker) != std::string_view::npos) return true;
        }
    }
    for (std::size_t at = text.find(kSeparator); at != std::string_view::npos;
         at = text.find(kSeparator, at + 1)) {
        const std::string_view rest = text.substr(at);
        for (const auto& marker : markers) {
            if (marker.size() >= 2 && rest.size() >= marker.size() && rest[1] == marker[1] &&
                rest.compare(0, marker.size(), marker) == 0) {
                return true;
            }
        }
    }
    return false;
}

// The same as path::extension() for a path whose last component is a file name, without building
// the path objects that call makes.
template <class Char>
std::basic_string_view<Char> extension_of(std::basic_string_view<Char> text) {
    using Text = std::basic_string_view<Char>;
    // Every character that ends a path component: '/' everywhere, '\\' as well on Windows.
    constexpr Char kPathSeparators[] = {Char('/'), Char(std::filesystem::path::preferred_separator),
                                        Char(0)};
    typename Text::size_type start = text.find_last_of(kPathSeparators);
    start = start == Text::npos ? 0 : start + 1;
    const typename Text::size_type dot = text.rfind('.');
    if (dot == Text::npos || dot <= start) return {};  // no dot, or only a leading one
    if (text.size() - start == 2 && dot == start + 1 && text[start] == '.') return {};  // ".."
    return text.substr(dot);
}

}  // namespace

const std::vector<std::string>& skipped_folder_markers() {
    static const std::vector<std::string> markers = {
        folder_marker(".git"),         folder_marker(".vscode"),     folder_marker(".idea"),
        folder_marker("node_modules"), folder_marker("__pycache__"), folder_marker("venv"),
        folder_marker(".venv"),        folder_marker("obj"),         folder_marker("x64"),
        folder_marker(".vs"),          folder_marker("release"),     folder_marker("debug"),
    };
    return markers;
}

const std::vector<std::string>& skipped_extensions() {
    static const std::vector<std::string> extensions = {
        ".sample",    ".txt",       ".md",        ".log",
        ".gitstatus", ".gitconfig", ".gitignore", ".gitattributes",
    };
    return extensions;
}

std::string narrow_or_throw(const std::filesystem::path& path) {
    std::string narrow;
    if (!platform::narrow_path(path, narrow)) {
        throw std::filesystem::filesystem_error(
            "path cannot be represented in the narrow character set", path,
            std::make_error_code(std::errc::illegal_byte_sequence));
    }
    return narrow;
}

void lower_ascii_from(std::string& text, std::size_t start) {
    for (std::size_t i = start; i < text.size(); ++i) {
        const char c = text[i];
        if (c >= 'A' && c <= 'Z') text[i] = static_cast<char>(c - 'A' + 'a');
    }
}

std::string lower_ascii(std::string text) {
    lower_ascii_from(text, 0);
    return text;
}

namespace {

// The extension is found in the path's own characters: in a double-byte code page the narrow text
// can hold a separator's byte inside a character.
std::string lower_extension_of(std::basic_string_view<std::filesystem::path::value_type> path) {
    const auto extension = extension_of(path);
    std::string narrow;
    if (!platform::narrow_path(std::filesystem::path(extension), narrow)) return {};
    return lower_ascii(std::move(narrow));
}

}  // namespace

std::string lower_extension(const std::filesystem::path& path) {
    return lower_extension_of(path.native());
}

bool is_pruned_path(std::string_view lower_path, const ScanConfig& config) {
    return (!config.all_files && contains_any(lower_path, skipped_folder_markers())) ||
           (config.skip_system_folders &&
            contains_any(lower_path, platform::system_folder_markers()));
}

bool is_pruned_below(std::string_view lower_path, std::size_t known_length,
                     const ScanConfig& config) {
    // A match that lay wholly in the known part would have pruned it, so only the marker-long
    // stretch before the new text needs a look.
    static const std::size_t longest = [] {
        std::size_t length = 0;
        for (const auto& marker : skipped_folder_markers()) {
            length = std::max(length, marker.size());
        }
        for (const auto& marker : platform::system_folder_markers()) {
            length = std::max(length, marker.size());
        }
        return length;
    }();
    const std::size_t from = known_length >= longest ? known_length - (longest - 1) : 0;
    return is_pruned_path(lower_path.substr(std::min(from, lower_path.size())), config);
}

bool has_skipped_extension(std::basic_string_view<std::filesystem::path::value_type> path) {
    const std::string extension = lower_extension_of(path);
    if (extension.empty()) return false;
    const auto& skipped = skipped_extensions();
    return std::find(skipped.begin(), skipped.end(), extension) != skipped.end();
}

Eligibility check_eligibility(const std::filesystem::directory_entry& entry,
                              const ScanConfig& config) {
    const std::string lower_path = lower_ascii(narrow_or_throw(entry.path()));
    if (is_pruned_path(lower_path, config)) return Eligibility::kPrune;
    // Follows a link to its target: a link to a file is scanned as that file.
    std::error_code ec;
    if (!entry.is_regular_file(ec)) return Eligibility::kSkip;
    return !config.all_files && has_skipped_extension(entry.path().native()) ? Eligibility::kSkip
                                                                             : Eligibility::kScan;
}
