#include <windows.h>
// After windows.h.
#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/atomic_file.h"

namespace platform {
namespace {

constexpr int kAttempts = 100;

std::error_code last_error() { return {static_cast<int>(GetLastError()), std::system_category()}; }

bool mark_for_deletion(HANDLE file, bool marked) {
    FILE_DISPOSITION_INFO disposition{static_cast<BOOLEAN>(marked)};
    return SetFileInformationByHandle(file, FileDispositionInfo, &disposition,
                                      sizeof disposition) != 0;
}

// Renames the open file over `target` through its handle, so the file is never without the
// handle that keeps other processes from deleting it.
bool rename_over(HANDLE file, const std::filesystem::path& target) {
    std::error_code ec;
    const std::wstring destination = std::filesystem::absolute(target, ec).native();
    if (ec) {
        SetLastError(ERROR_BAD_PATHNAME);
        return false;
    }
    std::vector<unsigned char> storage(sizeof(FILE_RENAME_INFO) +
                                       destination.size() * sizeof(wchar_t));
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(storage.data());
    rename->ReplaceIfExists = TRUE;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = static_cast<DWORD>(destination.size() * sizeof(wchar_t));
    std::memcpy(rename->FileName, destination.c_str(), (destination.size() + 1) * sizeof(wchar_t));
    return SetFileInformationByHandle(file, FileRenameInfo, rename,
                                      static_cast<DWORD>(storage.size())) != 0;
}

}  // namespace

void AtomicFileWriter::open_temporary(const AtomicFileOptions& options) {
    HANDLE file = INVALID_HANDLE_VALUE;
    std::filesystem::path name;
    for (int attempt = 0; file == INVALID_HANDLE_VALUE && attempt < kAttempts; ++attempt) {
        name = fresh_temporary_name(target);
        // No delete sharing: while this handle is open, no other process can remove the file.
        file = CreateFileW(name.c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr,
                           CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) {
            failure = last_error();
            return;
        }
    }
    if (file == INVALID_HANDLE_VALUE) {
        failure = std::make_error_code(std::errc::file_exists);
        return;
    }
    // Marked for deletion until the commit: the system removes the file whenever its handle
    // closes first, also when the process is killed.
    mark_for_deletion(file, true);
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), options.text ? _O_TEXT : 0);
    if (fd == -1) {
        failure = std::error_code(errno, std::generic_category());
        CloseHandle(file);
        DeleteFileW(name.c_str());
        return;
    }
    temporary = name;
    buffer = std::make_unique<__gnu_cxx::stdio_filebuf<char>>(
        fd, std::ios::out | (options.text ? std::ios::openmode{} : std::ios::binary), 1 << 16);
    if (!buffer->is_open()) {
        failure = std::error_code(errno, std::generic_category());
        buffer.reset();
        _close(fd);
        DeleteFileW(name.c_str());
        temporary.clear();
        return;
    }
    handle = reinterpret_cast<std::intptr_t>(file);
}

void AtomicFileWriter::discard() {
    out.rdbuf(nullptr);
    buffer.reset();
    handle = -1;
    // Gone already when it was still marked for deletion.
    if (!temporary.empty()) DeleteFileW(temporary.c_str());
    temporary.clear();
}

bool AtomicFileWriter::commit() {
    if (committed || buffer == nullptr) return false;
    errno = 0;
    out.flush();
    if (!out) {
        return fail(errno != 0 ? std::error_code(errno, std::generic_category())
                               : std::make_error_code(std::errc::io_error));
    }
    const HANDLE file = reinterpret_cast<HANDLE>(handle);
    if (!FlushFileBuffers(file) || !mark_for_deletion(file, false)) return fail(last_error());
    if (!rename_over(file, target)) {
        const auto reason = last_error();
        mark_for_deletion(file, true);
        return fail(reason);
    }
    temporary.clear();
    committed = true;
    discard();
    return true;
}

std::size_t remove_stale_temporaries(const std::filesystem::path& target) {
    auto folder = target.parent_path();
    if (folder.empty()) folder = L".";
    const auto target_name = target.filename();
    std::size_t removed = 0;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((folder / L"*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return 0;
    do {
        const std::filesystem::path name = data.cFileName;
        if ((data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) !=
                0 ||
            !is_temporary_name_of(name, target_name)) {
            continue;
        }
        // A running writer's handle shares no deletion, so this open fails with a sharing
        // violation (or, while the file is marked for deletion, with access denied) and its
        // temporary stays.
        const HANDLE file = CreateFileW(
            (folder / name).c_str(), DELETE | FILE_READ_ATTRIBUTES,
            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
            FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (file == INVALID_HANDLE_VALUE) continue;
        FILE_BASIC_INFO info{};
        if (GetFileInformationByHandleEx(file, FileBasicInfo, &info, sizeof info) &&
            (info.FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ==
                0 &&
            mark_for_deletion(file, true)) {
            ++removed;
        }
        CloseHandle(file);
    } while (FindNextFileW(find, &data));
    FindClose(find);
    return removed;
}

bool sync_and_replace(const std::filesystem::path& temporary, const std::filesystem::path& target) {
    HANDLE file = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    const bool flushed = FlushFileBuffers(file) != 0;
    CloseHandle(file);
    if (!flushed) return false;
    return MoveFileExW(temporary.c_str(), target.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool can_write_in(const std::filesystem::path& folder) {
    // Access rights on Windows are a matter of ACLs: the one sure test is to make a file there,
    // which the system deletes as the handle closes.
    const std::filesystem::path probe = folder / ".quorvex-write-probe";
    HANDLE file = CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_EXISTS;
    CloseHandle(file);
    return true;
}

}  // namespace platform
