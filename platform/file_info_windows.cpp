#include <windows.h>

#include "platform/file_info.h"
#include "platform/file_info_windows.h"

namespace platform {

FileIdentity identity_of_handle(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file, &info)) return {};
    return FileIdentity{
        info.dwVolumeSerialNumber,
        (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

bool query_file_stamp(const std::filesystem::path& path, FileStamp& stamp) {
    // Without FILE_FLAG_BACKUP_SEMANTICS a folder cannot be opened, so only files pass.
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER file_size{};
    FILETIME written{};
    const bool ok = GetFileType(file) == FILE_TYPE_DISK && GetFileSizeEx(file, &file_size) &&
                    GetFileTime(file, nullptr, nullptr, &written);
    const FileIdentity identity = ok ? identity_of_handle(file) : FileIdentity{};
    CloseHandle(file);
    if (!ok) return false;
    stamp.size = file_size.QuadPart;
    stamp.last_write_time =
        (static_cast<std::uint64_t>(written.dwHighDateTime) << 32) | written.dwLowDateTime;
    stamp.identity = identity;
    return true;
}

std::string narrow_path_key(const std::filesystem::path& path) {
    std::string key;
    assign_narrow_path_key(path.native(), key);
    return key;
}

void assign_narrow_path_key(std::basic_string_view<std::filesystem::path::value_type> native,
                            std::string& key) {
    key.resize(native.size());
    for (std::size_t i = 0; i < native.size(); ++i) key[i] = static_cast<char>(native[i] & 0xFF);
}

bool narrow_path(const std::filesystem::path& path, std::string& out) {
    const std::wstring& wide = path.native();
    if (wide.empty()) {
        out.clear();
        return true;
    }
    if (wide.size() > static_cast<std::size_t>(INT_MAX)) return false;
    const int wide_length = static_cast<int>(wide.size());
    BOOL used_default = FALSE;
    const int length = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), wide_length,
                                           nullptr, 0, nullptr, &used_default);
    if (length <= 0 || used_default) return false;
    std::string narrow(static_cast<std::size_t>(length), '\0');
    if (WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), wide_length, narrow.data(),
                            length, nullptr, &used_default) != length ||
        used_default) {
        return false;
    }
    out = std::move(narrow);
    return true;
}

std::string display_narrow(const std::filesystem::path& path) {
    std::string narrow;
    if (narrow_path(path, narrow)) return narrow;
    const std::wstring& wide = path.native();
    if (wide.size() > static_cast<std::size_t>(INT_MAX)) return std::string(wide.size(), '?');
    const int wide_length = static_cast<int>(wide.size());
    const int length = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), wide_length,
                                           nullptr, 0, "?", nullptr);
    if (length <= 0) return std::string(wide.size(), '?');
    narrow.assign(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), wide_length, narrow.data(),
                        length, "?", nullptr);
    return narrow;
}

}  // namespace platform
