#include <windows.h>
// After windows.h, which it needs.
#include <wincrypt.h>

#include <cstddef>

#include "platform/file_hash.h"

namespace platform {
namespace {

// CryptHashData takes a 32-bit length, so a view is fed in pieces of at most 1 GiB.
constexpr std::uint64_t kPieceSize = 0x40000000;

// A verify-only provider context per worker thread: acquiring one costs milliseconds (about 11 ms
// under Wine), far more than hashing a small file, so each thread acquires it once and keeps it.
class ThreadProvider {
  public:
    ~ThreadProvider() {
        if (provider != 0) CryptReleaseContext(provider, 0);
    }
    HCRYPTPROV get() {
        if (provider == 0 &&
            !CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) {
            provider = 0;
        }
        return provider;
    }

  private:
    HCRYPTPROV provider = 0;
};

HCRYPTPROV thread_provider() {
    thread_local ThreadProvider provider;
    return provider.get();
}

class Handle {
  public:
    explicit Handle(HANDLE handle) : handle(handle) {}
    ~Handle() {
        if (valid()) CloseHandle(handle);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    bool valid() const { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return handle; }

  private:
    HANDLE handle;
};

class View {
  public:
    explicit View(const void* address) : address(address) {}
    ~View() {
        if (address != nullptr) UnmapViewOfFile(address);
    }
    View(const View&) = delete;
    View& operator=(const View&) = delete;
    const unsigned char* bytes() const { return static_cast<const unsigned char*>(address); }

  private:
    const void* address;
};

class HashObject {
  public:
    explicit HashObject(HCRYPTPROV provider) {
        if (provider == 0 || !CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash)) hash = 0;
    }
    ~HashObject() {
        if (hash != 0) CryptDestroyHash(hash);
    }
    HashObject(const HashObject&) = delete;
    HashObject& operator=(const HashObject&) = delete;
    HCRYPTHASH get() const { return hash; }

  private:
    HCRYPTHASH hash = 0;
};

}  // namespace

bool sha256_file(const std::filesystem::path& path, Sha256Digest& digest, ByteHistogram* histogram,
                 FileStamp* stamp, ReadError* error) {
    const auto fail = [error](ReadFailure failure, DWORD system = 0) {
        if (error != nullptr) {
            error->failure = failure;
            error->system = system == 0
                                ? std::error_code()
                                : std::error_code(static_cast<int>(system), std::system_category());
        }
        return false;
    };
    // Readers only: a file another process is writing is refused rather than hashed half-done.
    Handle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file.valid()) return fail(ReadFailure::kOpen, GetLastError());
    if (GetFileType(file.get()) != FILE_TYPE_DISK) return fail(ReadFailure::kNotRegularFile);
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.get(), &size)) return fail(ReadFailure::kOpen, GetLastError());
    if (size.QuadPart < 0) return fail(ReadFailure::kNotRegularFile);
    // Writers are shut out while the handle is open, so this stamp belongs to the bytes hashed.
    FILETIME written{};
    if (stamp != nullptr && !GetFileTime(file.get(), nullptr, nullptr, &written)) {
        return fail(ReadFailure::kOpen, GetLastError());
    }
    const auto length = static_cast<std::uint64_t>(size.QuadPart);
    if (length > SIZE_MAX) return fail(ReadFailure::kRead);

    HashObject hash(thread_provider());
    if (hash.get() == 0) return fail(ReadFailure::kDigest);

    ByteHistogram counted;
    // An empty file cannot be mapped; its digest is that of no bytes at all.
    if (length > 0) {
        Handle mapping(CreateFileMappingW(file.get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
        if (!mapping.valid()) return fail(ReadFailure::kRead, GetLastError());
        View view(MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 0));
        if (view.bytes() == nullptr) return fail(ReadFailure::kRead, GetLastError());
        for (std::uint64_t offset = 0; offset < length;) {
            const std::uint64_t piece = length - offset < kPieceSize ? length - offset : kPieceSize;
            const unsigned char* data = view.bytes() + offset;
            if (!CryptHashData(hash.get(), data, static_cast<DWORD>(piece), 0)) {
                return fail(ReadFailure::kDigest);
            }
            if (histogram != nullptr) {
                add_to_histogram(data, static_cast<std::size_t>(piece), counted);
            }
            offset += piece;
        }
    }

    Sha256Digest result{};
    DWORD result_length = static_cast<DWORD>(result.size());
    if (!CryptGetHashParam(hash.get(), HP_HASHVAL, result.data(), &result_length, 0) ||
        result_length != result.size()) {
        return fail(ReadFailure::kDigest);
    }
    digest = result;
    if (histogram != nullptr) *histogram = counted;
    if (stamp != nullptr) {
        stamp->size = size.QuadPart;
        stamp->last_write_time =
            (static_cast<std::uint64_t>(written.dwHighDateTime) << 32) | written.dwLowDateTime;
    }
    return true;
}

bool sha256_file_in(const FolderReader&, const FolderReader::Char*,
                    const std::filesystem::path& path, Sha256Digest& digest,
                    ByteHistogram* histogram, FileStamp* stamp, ReadError* error) {
    return sha256_file(path, digest, histogram, stamp, error);
}

bool sha256_bytes(const unsigned char* data, std::size_t length, Sha256Digest& digest) {
    HashObject hash(thread_provider());
    if (hash.get() == 0) return false;
    for (std::size_t offset = 0; offset < length;) {
        const std::size_t piece =
            length - offset < kPieceSize ? length - offset : static_cast<std::size_t>(kPieceSize);
        if (!CryptHashData(hash.get(), data + offset, static_cast<DWORD>(piece), 0)) return false;
        offset += piece;
    }
    Sha256Digest result{};
    DWORD result_length = static_cast<DWORD>(result.size());
    if (!CryptGetHashParam(hash.get(), HP_HASHVAL, result.data(), &result_length, 0) ||
        result_length != result.size()) {
        return false;
    }
    digest = result;
    return true;
}

bool read_whole_file(const std::filesystem::path& path, WholeFile& content, FileStamp* stamp,
                     ReadError* error) {
    const auto fail = [error](ReadFailure failure, DWORD system = 0) {
        if (error != nullptr) {
            error->failure = failure;
            error->system = system == 0
                                ? std::error_code()
                                : std::error_code(static_cast<int>(system), std::system_category());
        }
        return false;
    };
    content.kept = false;
    content.size = 0;
    // As for hashing: readers only, so the stamp taken here belongs to the bytes read.
    Handle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file.valid()) return fail(ReadFailure::kOpen, GetLastError());
    if (GetFileType(file.get()) != FILE_TYPE_DISK) return fail(ReadFailure::kNotRegularFile);
    LARGE_INTEGER size{};
    FILETIME written{};
    if (!GetFileSizeEx(file.get(), &size) || !GetFileTime(file.get(), nullptr, nullptr, &written)) {
        return fail(ReadFailure::kOpen, GetLastError());
    }
    if (size.QuadPart < 0) return fail(ReadFailure::kNotRegularFile);
    const auto expected = static_cast<std::uint64_t>(size.QuadPart);
    if (expected <= content.limit) {
        // One byte of room past the size shows a file that grew all the same.
        const auto room = static_cast<std::size_t>(expected) + 1;
        if (content.bytes.size() < room) content.bytes.resize(room);
        std::size_t total = 0;
        for (;;) {
            const std::size_t want = room - total < kPieceSize ? room - total : kPieceSize;
            DWORD got = 0;
            if (!ReadFile(file.get(), content.bytes.data() + total, static_cast<DWORD>(want), &got,
                          nullptr)) {
                return fail(ReadFailure::kRead, GetLastError());
            }
            if (got == 0) break;
            total += got;
            if (total > expected) return fail(ReadFailure::kChanged);
        }
        if (total != expected) return fail(ReadFailure::kChanged);
        content.size = total;
        content.kept = true;
        content.owner.clear();
    }
    if (stamp != nullptr) {
        stamp->size = size.QuadPart;
        stamp->last_write_time =
            (static_cast<std::uint64_t>(written.dwHighDateTime) << 32) | written.dwLowDateTime;
    }
    return true;
}

bool read_whole_file_in(const FolderReader&, const FolderReader::Char*,
                        const std::filesystem::path& path, WholeFile& content, FileStamp* stamp,
                        ReadError* error) {
    return read_whole_file(path, content, stamp, error);
}

}  // namespace platform
