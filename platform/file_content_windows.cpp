#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>

#include "platform/file_content.h"

namespace platform {

// A mapped file cannot be replaced on this system, and the database is replaced while in use, so
// the content is read into memory.
bool FileContent::load(const std::filesystem::path& path) {
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER file_size{};
    bool ok = ::GetFileType(file) == FILE_TYPE_DISK && ::GetFileSizeEx(file, &file_size) &&
              file_size.QuadPart >= 0 &&
              static_cast<unsigned long long>(file_size.QuadPart) <= SIZE_MAX;
    const std::size_t size = ok ? static_cast<std::size_t>(file_size.QuadPart) : 0;
    std::unique_ptr<unsigned char[]> buffer;
    if (ok && size > 0) {
        buffer.reset(new (std::nothrow) unsigned char[size]);
        ok = buffer != nullptr;
    }
    // ReadFile moves at most 4 GiB per call.
    for (std::size_t done = 0; ok && done < size;) {
        const DWORD piece = static_cast<DWORD>(std::min<std::size_t>(size - done, 1u << 30));
        DWORD got = 0;
        ok = ::ReadFile(file, buffer.get() + done, piece, &got, nullptr) && got == piece;
        done += got;
    }
    ::CloseHandle(file);
    if (!ok) return false;
    release();
    bytes = buffer.release();
    length = size;
    return true;
}

void FileContent::release() {
    delete[] bytes;
    bytes = nullptr;
    length = 0;
    copied = false;
}

}  // namespace platform
