#include <windows.h>

#include <memory>

#include "platform/file_bytes.h"

namespace platform {
namespace {

constexpr DWORD kReadSize = DWORD{1} << 17;

}  // namespace

bool count_file_bytes(const std::filesystem::path& file, ByteHistogram& histogram) {
    // Shares the file with every other reader and writer, like a plain input stream would.
    const HANDLE handle = ::CreateFileW(file.c_str(), GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    if (::GetFileType(handle) != FILE_TYPE_DISK) {
        ::CloseHandle(handle);
        return false;
    }
    const std::unique_ptr<unsigned char[]> buffer(new unsigned char[kReadSize]);
    for (;;) {
        DWORD got = 0;
        if (!::ReadFile(handle, buffer.get(), kReadSize, &got, nullptr) || got == 0) break;
        add_to_histogram(buffer.get(), got, histogram);
    }
    ::CloseHandle(handle);
    return true;
}

}  // namespace platform
