#include <windows.h>
// After windows.h.
#include <userenv.h>

#include <algorithm>
#include <cwctype>
#include <optional>
#include <string>
#include <system_error>

#include "platform/process.h"
#include "platform/temp_clean.h"

namespace platform {
namespace {

using Clock = std::chrono::system_clock;

// 100-ns intervals between 1601-01-01 and 1970-01-01.
constexpr long long kEpochDifference = 116444736000000000LL;

Clock::time_point to_time_point(const LARGE_INTEGER& t) {
    const auto since_1970 = std::chrono::microseconds((t.QuadPart - kEpochDifference) / 10);
    return Clock::time_point(std::chrono::duration_cast<Clock::duration>(since_1970));
}

bool is_real_folder(DWORD attributes) {
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

// Opens the entry itself: a junction or symbolic link is opened as the link, never its target.
HANDLE open_entry(const std::filesystem::path& path, DWORD access, DWORD share) {
    return CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

bool is_gone(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

bool read_names(const std::filesystem::path& folder, std::vector<std::filesystem::path>& names) {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((folder / L"*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return false;
    bool ok = true;
    do {
        const std::wstring name = data.cFileName;
        if (name != L"." && name != L"..") names.emplace_back(name);
    } while (FindNextFileW(find, &data));
    ok = GetLastError() == ERROR_NO_MORE_FILES;
    FindClose(find);
    return ok;
}

// Lists the folder behind an open handle (opened with FILE_LIST_DIRECTORY), so the names read
// are those of the very folder held, whatever its path names meanwhile.
bool read_names(HANDLE folder, std::vector<std::filesystem::path>& names) {
    alignas(LONGLONG) unsigned char buffer[64 * 1024];
    FILE_INFO_BY_HANDLE_CLASS request = FileIdBothDirectoryRestartInfo;
    for (;;) {
        if (!GetFileInformationByHandleEx(folder, request, buffer, sizeof buffer)) {
            return GetLastError() == ERROR_NO_MORE_FILES;
        }
        request = FileIdBothDirectoryInfo;
        for (std::size_t offset = 0;;) {
            const auto* entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(buffer + offset);
            const std::wstring name(entry->FileName, entry->FileNameLength / sizeof(wchar_t));
            if (name != L"." && name != L"..") names.emplace_back(name);
            if (entry->NextEntryOffset == 0) break;
            offset += entry->NextEntryOffset;
        }
    }
}

// The newest time of an entry and, for a real folder, of everything inside it. Anything that
// cannot be examined counts as in use now, so doubt always keeps an entry.
Clock::time_point newest_inside(const std::filesystem::path& path, Clock::time_point now) {
    HANDLE handle = open_entry(path, FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    if (handle == INVALID_HANDLE_VALUE) {
        return is_gone(GetLastError()) ? Clock::time_point::min() : now;
    }
    FILE_BASIC_INFO info{};
    const bool ok = GetFileInformationByHandleEx(handle, FileBasicInfo, &info, sizeof info) != 0;
    CloseHandle(handle);
    if (!ok) return now;
    Clock::time_point newest =
        std::max({to_time_point(info.CreationTime), to_time_point(info.LastAccessTime),
                  to_time_point(info.LastWriteTime), to_time_point(info.ChangeTime)});
    if (!is_real_folder(info.FileAttributes)) return newest;
    std::vector<std::filesystem::path> names;
    if (!read_names(path, names)) return now;
    for (const auto& child : names) {
        if (newest >= now) break;
        newest = std::max(newest, newest_inside(path / child, now));
    }
    return newest;
}

// The full path of what a handle has open, as the system resolved it.
std::wstring final_path(HANDLE handle) {
    std::wstring buffer(MAX_PATH, L'\0');
    for (int attempt = 0; attempt < 2; ++attempt) {
        const DWORD length =
            GetFinalPathNameByHandleW(handle, buffer.data(), static_cast<DWORD>(buffer.size()),
                                      FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (length == 0) return {};
        if (length < buffer.size()) {
            buffer.resize(length);
            return buffer;
        }
        buffer.resize(length + 1);
    }
    return {};
}

bool same_path(const std::wstring& a, const std::wstring& b) {
    return !a.empty() && CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                              static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

// Removes one entry: a file or link is deleted itself, a real folder emptied first. The entry is
// held open without delete sharing from the moment it is examined and listed through that handle,
// so it cannot be renamed or swapped for a link while its contents are deleted. A handle that
// resolved to anything but the entry inside its parent (Wine opens the target of a Linux symbolic
// link even when asked for the link itself) is never deleted through. Returns false when anything
// stayed behind.
bool remove_inside(const std::wstring& parent_final, const std::filesystem::path& path) {
    constexpr DWORD kShare = FILE_SHARE_READ | FILE_SHARE_WRITE;
    constexpr DWORD kAccess = DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
    HANDLE handle = open_entry(path, kAccess | FILE_LIST_DIRECTORY, kShare);
    // A file may refuse the read access a folder listing needs and still be deletable.
    if (handle == INVALID_HANDLE_VALUE && !is_gone(GetLastError())) {
        handle = open_entry(path, kAccess, kShare);
    }
    if (handle == INVALID_HANDLE_VALUE) return is_gone(GetLastError());
    FILE_BASIC_INFO info{};
    bool ok = GetFileInformationByHandleEx(handle, FileBasicInfo, &info, sizeof info) != 0;
    const std::wstring final = final_path(handle);
    ok = ok && same_path(final, parent_final + L"\\" + path.filename().native());
    if (ok && is_real_folder(info.FileAttributes)) {
        std::vector<std::filesystem::path> names;
        ok = read_names(handle, names);
        for (const auto& child : names) ok = remove_inside(final, path / child) && ok;
    }
    if (ok) {
        FILE_DISPOSITION_INFO disposition{TRUE};
        ok = SetFileInformationByHandle(handle, FileDispositionInfo, &disposition,
                                        sizeof disposition) != 0;
    }
    CloseHandle(handle);
    return ok;
}

// A Windows path taken apart for comparison the way the system reads it: separators of both
// kinds, the "\\?\" and "\\.\" prefixes, "." and "..", and (outside the "\\?\" form, which the
// system takes literally) the trailing dots and blanks it drops from every name.
struct PathParts {
    std::wstring root;  // "C:" or "\\server\share"
    std::vector<std::wstring> names;
};

bool is_drive(const std::wstring& text) {
    return text.size() >= 2 && text[1] == L':' &&
           ((text[0] >= L'A' && text[0] <= L'Z') || (text[0] >= L'a' && text[0] <= L'z'));
}

// Splits at backslashes, dropping empty pieces.
std::vector<std::wstring> split_names(const std::wstring& text) {
    std::vector<std::wstring> names;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t end = std::min(text.find(L'\\', start), text.size());
        if (end > start) names.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return names;
}

// Nothing when the path is relative (also "C:name" and "\name", which depend on the current
// drive's folder) or of a kind that cannot be vouched for (devices, volume names).
std::optional<PathParts> parts_of(const std::filesystem::path& path) {
    std::wstring text = path.native();
    std::replace(text.begin(), text.end(), L'/', L'\\');
    bool literal = false;
    if (text.starts_with(L"\\\\?\\") || text.starts_with(L"\\??\\")) {
        literal = true;
        text.erase(0, 4);
    } else if (text.starts_with(L"\\\\.\\")) {
        text.erase(0, 4);
    } else if (text.starts_with(L"\\\\")) {
        text.erase(0, 2);
        text.insert(0, L"UNC\\");
    } else if (!is_drive(text)) {
        return std::nullopt;
    }
    PathParts parts;
    std::vector<std::wstring> names;
    if (is_drive(text) && (text.size() == 2 || text[2] == L'\\')) {
        parts.root = std::wstring(1, static_cast<wchar_t>(towupper(text[0]))) + L":";
        names = split_names(text.substr(2));
    } else if (text.size() > 4 && same_path(text.substr(0, 4), L"UNC\\")) {
        names = split_names(text.substr(4));
        if (names.size() < 2) return std::nullopt;  // "\\server" alone names no share
        parts.root = L"\\\\" + names[0] + L"\\" + names[1];
        names.erase(names.begin(), names.begin() + 2);
    } else {
        return std::nullopt;
    }
    // "C:" alone is the current folder of drive C, not its root.
    if (parts.root.size() == 2 && text.size() == 2 && !literal) return std::nullopt;
    for (auto name : names) {
        if (!literal) {
            while (!name.empty() && (name.back() == L'.' || name.back() == L' ')) {
                // "." and ".." are names of their own, not dots to drop.
                if (name == L"." || name == L"..") break;
                name.pop_back();
            }
            if (name.empty()) return std::nullopt;
        }
        if (name == L".") continue;
        if (name == L"..") {
            if (!parts.names.empty()) parts.names.pop_back();
            continue;
        }
        parts.names.push_back(name);
    }
    return parts;
}

// True when folder is path itself or one of the folders above it.
bool is_same_or_ancestor(const PathParts& folder, const PathParts& path) {
    if (!same_path(folder.root, path.root) || folder.names.size() > path.names.size()) {
        return false;
    }
    for (std::size_t i = 0; i < folder.names.size(); ++i) {
        if (!same_path(folder.names[i], path.names[i])) return false;
    }
    return true;
}

// The folder as the system resolves it (junctions and links followed, short names made long), or
// the path as given when it cannot be opened.
std::filesystem::path resolved(const std::filesystem::path& path) {
    const HANDLE handle = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return path;
    const std::wstring final = final_path(handle);
    CloseHandle(handle);
    return final.empty() ? path : std::filesystem::path(final);
}

std::wstring environment_value(const wchar_t* name) {
    std::wstring value(MAX_PATH, L'\0');
    for (int attempt = 0; attempt < 2; ++attempt) {
        const DWORD length =
            GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size()));
        if (length == 0) return {};
        if (length < value.size()) {
            value.resize(length);
            return value;
        }
        value.resize(length);
    }
    return {};
}

// The folders whose loss would wreck the user or the system: the profile folder the environment
// names and the account's own (they differ when rights were gained without a fresh login), and the
// Windows folder.
std::vector<std::filesystem::path> kept_folders() {
    std::vector<std::filesystem::path> folders;
    if (auto profile = environment_value(L"USERPROFILE"); !profile.empty()) {
        folders.emplace_back(std::move(profile));
    }
    HANDLE token = nullptr;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        std::wstring profile(MAX_PATH, L'\0');
        DWORD length = static_cast<DWORD>(profile.size());
        if (!GetUserProfileDirectoryW(token, profile.data(), &length) &&
            GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
            profile.resize(length);
            if (!GetUserProfileDirectoryW(token, profile.data(), &length)) length = 0;
        }
        if (length > 0 && profile[0] != L'\0') folders.emplace_back(profile.c_str());
        CloseHandle(token);
    }
    wchar_t windows[MAX_PATH];
    const UINT length = GetWindowsDirectoryW(windows, MAX_PATH);
    if (length > 0 && length < MAX_PATH) folders.emplace_back(windows);
    return folders;
}

}  // namespace

bool usable_user_temp_folder(const std::filesystem::path& candidate,
                             const std::filesystem::path& home,
                             const std::filesystem::path& program_folder) {
    const auto folder = parts_of(candidate);
    // A relative name depends on the current folder, so nothing about it can be vouched for.
    if (!folder || folder->names.empty()) return false;
    for (const auto* kept : {&home, &program_folder}) {
        if (kept->empty()) continue;
        const auto parts = parts_of(*kept);
        if (parts && is_same_or_ancestor(*folder, *parts)) return false;
    }
    return true;
}

std::vector<std::filesystem::path> default_temp_folders() {
    std::vector<std::filesystem::path> folders;
    std::error_code ec;
    // The user's folder comes from TMP or TEMP as given (and, when neither is set, is the profile
    // or the Windows folder), so it is checked before an administrator's run empties it, both as
    // named and as the system resolves it.
    const auto user = std::filesystem::temp_directory_path(ec);
    if (!ec) {
        const std::filesystem::path names[] = {user, resolved(user)};
        std::vector<std::filesystem::path> kept;
        for (const auto& folder : kept_folders()) {
            kept.push_back(folder);
            kept.push_back(resolved(folder));
        }
        if (const auto exe = executable_path()) {
            kept.push_back(exe->parent_path());
            kept.push_back(resolved(exe->parent_path()));
        }
        bool usable = true;
        for (const auto& name : names) {
            usable = usable && usable_user_temp_folder(name, {}, {});
            for (const auto& folder : kept) {
                usable = usable && usable_user_temp_folder(name, folder, {});
            }
        }
        if (usable) folders.push_back(user);
    }
    folders.emplace_back(L"C:\\Windows\\Temp");
    folders.emplace_back(L"C:\\Temp");
    folders.emplace_back(L"C:\\Windows\\Prefetch");
    return folders;
}

std::chrono::seconds default_min_entry_age() { return std::chrono::seconds::zero(); }

const char kComponentCleanupCommand[] =
    "dism.exe /online /cleanup-image /startcomponentcleanup /quiet";
const char kDnsFlushCommand[] = "ipconfig /flushdns > nul 2>&1";

const ComponentCleanupTexts kComponentCleanupTexts = {
    "Cleaning WinSxS Component Store",
    "[SUCCESS] Component Store cleanup completed.",
    "[WARN] Component Store cleanup failed or requires admin rights.",
    "Starting WinSxS cleanup via DISM",
    "WinSxS cleanup successful",
    "[WARN] WinSxS cleanup failed - may need admin privileges",
};

TempFolder::TempFolder(const std::filesystem::path& folder_path) : folder(folder_path) {
    // The folder itself is configured, not found in a shared place, so a link naming it is trusted.
    HANDLE opened = CreateFileW(folder.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (opened == INVALID_HANDLE_VALUE) return;
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(opened, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        CloseHandle(opened);
        return;
    }
    handle = reinterpret_cast<std::intptr_t>(opened);
}

TempFolder::~TempFolder() {
    if (is_open()) CloseHandle(reinterpret_cast<HANDLE>(handle));
}

bool TempFolder::list(std::vector<std::filesystem::path>& names) const {
    if (!is_open()) return false;
    return read_names(folder, names);
}

EntryRemoval TempFolder::remove(const std::filesystem::path& name, const EntryAgeRule& rule,
                                bool dry_run) const {
    if (!is_open()) return EntryRemoval::kFailed;
    const std::wstring entry = name.native();
    if (entry.empty() || entry == L"." || entry == L".." ||
        entry.find_first_of(L"\\/:") != std::wstring::npos) {
        return EntryRemoval::kFailed;
    }
    const auto path = folder / name;
    if (rule.min_age > std::chrono::seconds::zero() &&
        newest_inside(path, rule.now) > rule.now - rule.min_age) {
        return EntryRemoval::kInUse;
    }
    if (dry_run) return EntryRemoval::kWouldRemove;
    const std::wstring root = final_path(reinterpret_cast<HANDLE>(handle));
    if (root.empty()) return EntryRemoval::kFailed;
    return remove_inside(root, path) ? EntryRemoval::kRemoved : EntryRemoval::kFailed;
}

}  // namespace platform
