#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/quarantine.h"

namespace platform {
namespace {

std::error_code error_of(DWORD code) {
    switch (code) {
        case ERROR_NOT_SAME_DEVICE:
            return std::make_error_code(std::errc::cross_device_link);
        case ERROR_ALREADY_EXISTS:
        case ERROR_FILE_EXISTS:
            return std::make_error_code(std::errc::file_exists);
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return std::make_error_code(std::errc::no_such_file_or_directory);
        default:
            return std::error_code(static_cast<int>(code), std::system_category());
    }
}

std::error_code last_error() { return error_of(GetLastError()); }

// FILETIME ticks (100 ns since 1601) and nanoseconds since 1970.
constexpr std::int64_t kEpochTicks = 116444736000000000;

std::int64_t nanoseconds_of(const FILETIME& time) {
    const auto ticks = static_cast<std::int64_t>(
        (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime);
    return (ticks - kEpochTicks) * 100;
}

LARGE_INTEGER ticks_of(std::int64_t nanoseconds) {
    LARGE_INTEGER ticks{};
    ticks.QuadPart = nanoseconds / 100 + kEpochTicks;
    return ticks;
}

class Handle {
  public:
    explicit Handle(HANDLE handle = INVALID_HANDLE_VALUE) : handle(handle) {}
    ~Handle() { reset(); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE get() const { return handle; }
    bool valid() const { return handle != INVALID_HANDLE_VALUE && handle != nullptr; }
    void reset(HANDLE other = INVALID_HANDLE_VALUE) {
        if (valid()) CloseHandle(handle);
        handle = other;
    }

  private:
    HANDLE handle;
};

// The access list of a private folder or file: full control for the process's user and the
// Administrators group, nothing inherited from above; `inherit` passes it on to what the folder
// will hold. Set on the open `handle`, else on `path`.
std::error_code set_private_access(const std::filesystem::path& path, HANDLE handle, bool inherit) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return last_error();
    Handle token_handle(token);
    DWORD needed = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &needed);
    std::vector<unsigned char> user_buffer(needed);
    if (needed == 0 ||
        !GetTokenInformation(token, TokenUser, user_buffer.data(), needed, &needed)) {
        return last_error();
    }
    const PSID user = reinterpret_cast<TOKEN_USER*>(user_buffer.data())->User.Sid;
    unsigned char admins_buffer[SECURITY_MAX_SID_SIZE];
    DWORD admins_size = sizeof admins_buffer;
    if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins_buffer, &admins_size)) {
        return last_error();
    }
    EXPLICIT_ACCESS_W entries[2]{};
    const PSID sids[2] = {user, admins_buffer};
    for (int i = 0; i < 2; ++i) {
        entries[i].grfAccessPermissions = GENERIC_ALL;
        entries[i].grfAccessMode = SET_ACCESS;
        entries[i].grfInheritance = inherit ? SUB_CONTAINERS_AND_OBJECTS_INHERIT : NO_INHERITANCE;
        entries[i].Trustee.TrusteeForm = TRUSTEE_IS_SID;
        entries[i].Trustee.TrusteeType = i == 0 ? TRUSTEE_IS_USER : TRUSTEE_IS_WELL_KNOWN_GROUP;
        entries[i].Trustee.ptstrName = static_cast<LPWSTR>(sids[i]);
    }
    PACL acl = nullptr;
    const DWORD made = SetEntriesInAclW(2, entries, nullptr, &acl);
    if (made != ERROR_SUCCESS) return error_of(made);
    const SECURITY_INFORMATION what =
        DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION;
    const DWORD set =
        handle != nullptr
            ? SetSecurityInfo(handle, SE_FILE_OBJECT, what, nullptr, nullptr, acl, nullptr)
            : SetNamedSecurityInfoW(const_cast<LPWSTR>(path.c_str()), SE_FILE_OBJECT, what, nullptr,
                                    nullptr, acl, nullptr);
    LocalFree(acl);
    return set == ERROR_SUCCESS ? std::error_code() : error_of(set);
}

// The owner and access list of an open file in SDDL; empty when the system does not say.
std::string security_text(HANDLE file) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const SECURITY_INFORMATION what = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    if (GetSecurityInfo(file, SE_FILE_OBJECT, what, nullptr, nullptr, nullptr, nullptr,
                        &descriptor) != ERROR_SUCCESS) {
        return {};
    }
    LPWSTR text = nullptr;
    std::string result;
    if (ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, what,
                                                             &text, nullptr)) {
        // SDDL is ASCII.
        for (const wchar_t* c = text; *c != 0; ++c) result += static_cast<char>(*c);
        LocalFree(text);
    }
    LocalFree(descriptor);
    return result;
}

FileStamp stamp_of(const BY_HANDLE_FILE_INFORMATION& info) {
    FileStamp stamp;
    stamp.size = static_cast<std::int64_t>((static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) |
                                           info.nFileSizeLow);
    stamp.last_write_time =
        (static_cast<std::uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) |
        info.ftLastWriteTime.dwLowDateTime;
    stamp.identity =
        FileIdentity{info.dwVolumeSerialNumber,
                     (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
    return stamp;
}

// A second handle on the pinned file for changing its security, which the pin itself was not
// opened for; it must lead to the same file.
std::error_code open_for_security(const std::filesystem::path& path, const FileIdentity& identity,
                                  DWORD access, Handle& handle) {
    handle.reset(CreateFileW(path.c_str(), access | READ_CONTROL,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!handle.valid()) return last_error();
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(handle.get(), &info)) return last_error();
    if (stamp_of(info).identity != identity) {
        return std::make_error_code(std::errc::device_or_resource_busy);
    }
    return {};
}

// `path` in the form the native rename call takes: absolute, with the \??\ prefix, and none
// of the '/' separators or "." and ".." steps that only the Win32 layer resolves.
std::wstring native_name(const std::filesystem::path& path) {
    std::error_code ignored;
    std::wstring absolute =
        std::filesystem::absolute(path, ignored).lexically_normal().make_preferred().native();
    if (absolute.rfind(L"\\\\?\\", 0) == 0) absolute.erase(0, 4);
    return L"\\??\\" + absolute;
}

}  // namespace

std::error_code make_private_folder(const std::filesystem::path& folder) {
    if (!CreateDirectoryW(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        return last_error();
    }
    const DWORD attributes = GetFileAttributesW(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return last_error();
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return std::make_error_code(std::errc::too_many_symbolic_link_levels);
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        return std::make_error_code(std::errc::not_a_directory);
    }
    return set_private_access(folder, nullptr, /*inherit=*/true);
}

FileLock::FileLock(const std::filesystem::path& path) {
    HANDLE file =
        CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        failure = last_error();
        return;
    }
    OVERLAPPED at{};
    if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &at)) {
        failure = last_error();
        CloseHandle(file);
        return;
    }
    handle = reinterpret_cast<std::intptr_t>(file);
}

FileLock::~FileLock() {
    if (handle == -1) return;
    HANDLE file = reinterpret_cast<HANDLE>(handle);
    OVERLAPPED at{};
    UnlockFileEx(file, 0, 1, 0, &at);
    CloseHandle(file);
}

struct PinnedFile::State {
    Handle file;
    std::filesystem::path path;  // where it is now
};

PinnedFile::PinnedFile(const std::filesystem::path& path) : state(std::make_unique<State>()) {
    state->path = path;
    // Readers may share it; no writer and no one deleting or renaming it while it is held.
    // FILE_FLAG_OPEN_REPARSE_POINT: a link in its place is opened as itself, and refused below.
    state->file.reset(CreateFileW(
        path.c_str(), GENERIC_READ | DELETE | FILE_WRITE_ATTRIBUTES | READ_CONTROL, FILE_SHARE_READ,
        nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!state->file.valid()) {
        failure = last_error();
        return;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(state->file.get(), &info)) {
        failure = last_error();
        return;
    }
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        failure = std::make_error_code(std::errc::too_many_symbolic_link_levels);
        return;
    }
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
        GetFileType(state->file.get()) != FILE_TYPE_DISK) {
        failure = std::make_error_code(std::errc::invalid_argument);
        return;
    }
    opened_stamp = stamp_of(info);
    opened_metadata.mode = info.dwFileAttributes;
    opened_metadata.owner = security_text(state->file.get());
    opened_metadata.access_time_ns = nanoseconds_of(info.ftLastAccessTime);
    opened_metadata.write_time_ns = nanoseconds_of(info.ftLastWriteTime);
}

PinnedFile::~PinnedFile() = default;

std::error_code PinnedFile::rename_to(const std::filesystem::path& target, bool replace) {
    if (failure) return failure;
    // By the handle, not by name: the file renamed is the one that was checked.
    const std::wstring name = native_name(target);
    const std::size_t name_bytes = name.size() * sizeof(wchar_t);
    std::vector<unsigned char> buffer(offsetof(FILE_RENAME_INFO, FileName) + name_bytes +
                                      sizeof(wchar_t));
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    info->ReplaceIfExists = replace ? TRUE : FALSE;
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(name_bytes);
    std::memcpy(info->FileName, name.c_str(), name_bytes + sizeof(wchar_t));
    if (!SetFileInformationByHandle(state->file.get(), FileRenameInfo, info,
                                    static_cast<DWORD>(buffer.size()))) {
        return last_error();
    }
    state->path = target;
    return {};
}

std::error_code PinnedFile::copy_to(const std::filesystem::path& target) const {
    if (failure) return failure;
    LARGE_INTEGER start{};
    if (!SetFilePointerEx(state->file.get(), start, nullptr, FILE_BEGIN)) return last_error();
    Handle copy(CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!copy.valid()) return last_error();
    constexpr DWORD kBufferSize = 1 << 20;
    const std::unique_ptr<char[]> buffer(new char[kBufferSize]);
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(state->file.get(), buffer.get(), kBufferSize, &got, nullptr)) {
            return last_error();
        }
        if (got == 0) break;
        for (DWORD done = 0; done < got;) {
            DWORD wrote = 0;
            if (!WriteFile(copy.get(), buffer.get() + done, got - done, &wrote, nullptr)) {
                return last_error();
            }
            done += wrote;
        }
    }
    if (!FlushFileBuffers(copy.get())) return last_error();
    return {};
}

std::error_code PinnedFile::remove() {
    if (failure) return failure;
    // A read-only file refuses to be deleted; the attribute goes first.
    FILE_BASIC_INFO basic{};
    if (GetFileInformationByHandleEx(state->file.get(), FileBasicInfo, &basic, sizeof basic) &&
        (basic.FileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
        basic.FileAttributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
        if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
        SetFileInformationByHandle(state->file.get(), FileBasicInfo, &basic, sizeof basic);
    }
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    if (!SetFileInformationByHandle(state->file.get(), FileDispositionInfo, &disposition,
                                    sizeof disposition)) {
        return last_error();
    }
    // The name goes when the last handle is closed: this one.
    state->file.reset();
    return {};
}

std::error_code PinnedFile::make_owner_only() {
    if (failure) return failure;
    Handle handle;
    if (const auto error =
            open_for_security(state->path, opened_stamp.identity, WRITE_DAC, handle)) {
        return error;
    }
    return set_private_access(state->path, handle.get(), /*inherit=*/false);
}

std::error_code PinnedFile::restore_metadata(const FileMetadata& metadata,
                                             std::error_code& owner_error) {
    if (failure) return failure;
    owner_error.clear();
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    std::wstring text(metadata.owner.begin(), metadata.owner.end());
    if (!text.empty() && ConvertStringSecurityDescriptorToSecurityDescriptorW(
                             text.c_str(), SDDL_REVISION_1, &descriptor, nullptr)) {
        PSID owner = nullptr;
        PACL acl = nullptr;
        BOOL defaulted = FALSE;
        BOOL present = FALSE;
        GetSecurityDescriptorOwner(descriptor, &owner, &defaulted);
        GetSecurityDescriptorDacl(descriptor, &present, &acl, &defaulted);
        SECURITY_INFORMATION what = 0;
        if (owner != nullptr) what |= OWNER_SECURITY_INFORMATION;
        if (present) what |= DACL_SECURITY_INFORMATION;
        Handle handle;
        owner_error =
            open_for_security(state->path, opened_stamp.identity, WRITE_DAC | WRITE_OWNER, handle);
        if (!owner_error) {
            const DWORD set = SetSecurityInfo(handle.get(), SE_FILE_OBJECT, what, owner, nullptr,
                                              present ? acl : nullptr, nullptr);
            if (set != ERROR_SUCCESS) owner_error = error_of(set);
        }
        LocalFree(descriptor);
    } else {
        owner_error = std::make_error_code(std::errc::invalid_argument);
    }
    FILE_BASIC_INFO basic{};
    basic.LastAccessTime = ticks_of(metadata.access_time_ns);
    basic.LastWriteTime = ticks_of(metadata.write_time_ns);
    basic.FileAttributes = metadata.mode != 0 ? metadata.mode : FILE_ATTRIBUTE_NORMAL;
    if (!SetFileInformationByHandle(state->file.get(), FileBasicInfo, &basic, sizeof basic)) {
        return last_error();
    }
    return {};
}

bool query_entry_stamp(const std::filesystem::path& path, FileStamp& stamp) {
    Handle file(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file.valid()) return false;
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file.get(), &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
        return false;
    }
    stamp = stamp_of(info);
    return true;
}

// Windows keeps a folder's listing durable without being asked.
void sync_folder(const std::filesystem::path&) {}

}  // namespace platform
