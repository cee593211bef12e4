#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <system_error>

#include "platform/autostart.h"

namespace platform {

const char kAutostartCheckHeading[] = "\n[INFO] Checking Registry Autoruns & Startup...";
const char kAutostartLogStart[] = "Starting Registry Autorun Scan";
const char kAutostartLogTag[] = "[MALICIOUS-REG] ";
const char kAutostartSummary[] = "[INFO] Registry Scan Complete. ";

namespace {

constexpr DWORD kNameChars = 256;
constexpr DWORD kDataBytes = 1024;

// "HKCU\sub\key" or "HKLM\sub\key" split into the root handle and the subkey.
bool split_key(const std::string& place, HKEY& root, std::string& subkey) {
    const auto separator = place.find('\\');
    if (separator == std::string::npos) return false;
    const std::string prefix = place.substr(0, separator);
    if (prefix == "HKCU") {
        root = HKEY_CURRENT_USER;
    } else if (prefix == "HKLM") {
        root = HKEY_LOCAL_MACHINE;
    } else {
        return false;
    }
    subkey = place.substr(separator + 1);
    return true;
}

}  // namespace

std::vector<AutostartLocation> default_autostart_locations() {
    const std::string run = "\\Software\\Microsoft\\Windows\\CurrentVersion\\Run";
    const std::string run_once = "\\Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
    return {
        {AutostartKind::kRegistryKey, "HKCU" + run, "HKCU Run"},
        {AutostartKind::kRegistryKey, "HKCU" + run_once, "HKCU RunOnce"},
        {AutostartKind::kRegistryKey, "HKLM" + run, "HKLM Run"},
        {AutostartKind::kRegistryKey, "HKLM" + run_once, "HKLM RunOnce"},
    };
}

std::vector<AutostartEntry> read_registry_entries(const AutostartLocation& location) {
    std::vector<AutostartEntry> entries;
    HKEY root = nullptr;
    std::string subkey;
    if (location.kind != AutostartKind::kRegistryKey || !split_key(location.place, root, subkey)) {
        return entries;
    }
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, subkey.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return entries;
    char name[kNameChars];
    unsigned char data[kDataBytes];
    for (DWORD index = 0;; ++index) {
        DWORD name_length = kNameChars;
        DWORD data_length = kDataBytes;
        DWORD type = 0;
        const LONG result =
            RegEnumValueA(key, index, name, &name_length, nullptr, &type, data, &data_length);
        // A value too long for the buffers is passed over rather than ending the enumeration, so
        // one oversized value cannot hide the entries after it.
        if (result == ERROR_MORE_DATA) continue;
        if (result != ERROR_SUCCESS) break;
        const auto* text = reinterpret_cast<const char*>(data);
        const std::size_t length = strnlen(text, data_length);
        entries.push_back({std::string(name, name_length), std::string(text, length)});
    }
    RegCloseKey(key);
    return entries;
}

SmallFile read_small_file(const std::filesystem::path& path, std::size_t max_bytes) {
    SmallFile file;
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        file.status = SmallFileStatus::kNotRegular;
        return file;
    }
    const HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        file.status = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                          ? SmallFileStatus::kMissing
                          : SmallFileStatus::kFailed;
        file.error = std::system_category().message(static_cast<int>(error));
        return file;
    }
    LARGE_INTEGER size{};
    if (GetFileType(handle) != FILE_TYPE_DISK) {
        file.status = SmallFileStatus::kNotRegular;
    } else if (!GetFileSizeEx(handle, &size)) {
        file.error = std::system_category().message(static_cast<int>(GetLastError()));
    } else if (static_cast<unsigned long long>(size.QuadPart) > max_bytes) {
        file.status = SmallFileStatus::kTooLarge;
    } else {
        file.content.assign(static_cast<std::size_t>(size.QuadPart), '\0');
        std::size_t done = 0;
        bool failed = false;
        while (done < file.content.size()) {
            DWORD n = 0;
            if (!ReadFile(handle, file.content.data() + done,
                          static_cast<DWORD>(file.content.size() - done), &n, nullptr)) {
                file.error = std::system_category().message(static_cast<int>(GetLastError()));
                failed = true;
                break;
            }
            if (n == 0) break;
            done += n;
        }
        file.content.resize(done);
        if (!failed) file.status = SmallFileStatus::kRead;
    }
    CloseHandle(handle);
    if (file.status != SmallFileStatus::kRead) file.content.clear();
    return file;
}

std::string executable_search_path() {
    const char* value = std::getenv("PATH");
    return value != nullptr ? value : "";
}

bool path_from_narrow(const std::string& text, std::filesystem::path& out) {
    if (text.empty()) {
        out.clear();
        return true;
    }
    const int length = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text.data(),
                                           static_cast<int>(text.size()), nullptr, 0);
    if (length <= 0) return false;
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                        wide.data(), length);
    out = std::filesystem::path(wide);
    return true;
}

}  // namespace platform
