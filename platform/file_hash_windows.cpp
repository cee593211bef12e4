#include <windows.h>
// After windows.h, which it needs.
#include <wincrypt.h>

#include <cstddef>
#include <memory>

#include "platform/file_hash.h"
#include "platform/file_info_windows.h"

namespace platform {
namespace {

// Says why a read failed (with the system's error code, when there is one) and gives false.
bool fail_read(ReadError* error, ReadFailure failure, DWORD system) {
    if (error != nullptr) {
        error->failure = failure;
        error->system = system == 0
                            ? std::error_code()
                            : std::error_code(static_cast<int>(system), std::system_category());
    }
    return false;
}

// Read in pieces large enough that the per-call cost vanishes next to the digest (reading measured
// as fast as digesting a mapped view under Wine), small enough to stay in the processor's cache.
// The file is read, not mapped: a read error while the system pages in a mapped view (bad media, a
// network share gone) is an access fault that ends the process, while a failed read is a failure
// of this one file.
constexpr DWORD kReadSize = DWORD{1} << 20;

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

// Per worker thread: the provider context and a read buffer, reused for every file it hashes.
struct HashWorkspace {
    ThreadProvider provider;
    std::unique_ptr<unsigned char[]> buffer{new unsigned char[kReadSize]};
};

HashWorkspace& workspace() {
    thread_local HashWorkspace space;
    return space;
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

// The stamp of an open file from the size and write time read through its handle.
FileStamp stamp_of_open(HANDLE file, const LARGE_INTEGER& size, const FILETIME& written) {
    return FileStamp{
        size.QuadPart,
        (static_cast<std::uint64_t>(written.dwHighDateTime) << 32) | written.dwLowDateTime,
        identity_of_handle(file)};
}

}  // namespace

bool sha256_file(const std::filesystem::path& path, Sha256Digest& digest, ByteHistogram* histogram,
                 FileStamp* stamp, ReadError* error) {
    const auto fail = [error](ReadFailure failure, DWORD system = 0) {
        return fail_read(error, failure, system);
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
    HashWorkspace& space = workspace();
    HashObject hash(space.provider.get());
    if (hash.get() == 0) return fail(ReadFailure::kDigest);

    ByteHistogram counted;
    const auto expected = static_cast<std::uint64_t>(size.QuadPart);
    std::uint64_t total = 0;
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file.get(), space.buffer.get(), kReadSize, &got, nullptr)) {
            return fail(ReadFailure::kRead, GetLastError());
        }
        if (got == 0) break;
        total += got;
        // Writers are shut out, but a file that grows while it is read would otherwise be
        // digested without end.
        if (total > expected) return fail(ReadFailure::kChanged);
        if (!CryptHashData(hash.get(), space.buffer.get(), got, 0)) {
            return fail(ReadFailure::kDigest);
        }
        if (histogram != nullptr) add_to_histogram(space.buffer.get(), got, counted);
    }
    // Fewer bytes than the size said: the digest would name content that never existed whole.
    if (total != expected) return fail(ReadFailure::kChanged);

    Sha256Digest result{};
    DWORD result_length = static_cast<DWORD>(result.size());
    if (!CryptGetHashParam(hash.get(), HP_HASHVAL, result.data(), &result_length, 0) ||
        result_length != result.size()) {
        return fail(ReadFailure::kDigest);
    }
    digest = result;
    if (histogram != nullptr) *histogram = counted;
    if (stamp != nullptr) *stamp = stamp_of_open(file.get(), size, written);
    return true;
}

bool sha256_file_in(const FolderReader&, const FolderReader::Char*,
                    const std::filesystem::path& path, Sha256Digest& digest,
                    ByteHistogram* histogram, FileStamp* stamp, ReadError* error) {
    return sha256_file(path, digest, histogram, stamp, error);
}

bool sha256_bytes(const unsigned char* data, std::size_t length, Sha256Digest& digest) {
    HashObject hash(workspace().provider.get());
    if (hash.get() == 0) return false;
    for (std::size_t offset = 0; offset < length;) {
        const std::size_t piece =
            length - offset < kReadSize ? length - offset : static_cast<std::size_t>(kReadSize);
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
        return fail_read(error, failure, system);
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
            const std::size_t want =
                room - total < kReadSize ? room - total : static_cast<std::size_t>(kReadSize);
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
    if (stamp != nullptr) *stamp = stamp_of_open(file.get(), size, written);
    return true;
}

bool read_whole_file_in(const FolderReader&, const FolderReader::Char*,
                        const std::filesystem::path& path, WholeFile& content, FileStamp* stamp,
                        ReadError* error) {
    return read_whole_file(path, content, stamp, error);
}

}  // namespace platform
