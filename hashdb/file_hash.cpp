#include "hashdb/file_hash.h"

namespace {

std::string to_hex(const platform::Sha256Digest& digest) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex(digest.size() * 2, '\0');
    for (std::size_t i = 0; i < digest.size(); ++i) {
        hex[2 * i] = kDigits[digest[i] >> 4];
        hex[2 * i + 1] = kDigits[digest[i] & 0x0F];
    }
    return hex;
}

}  // namespace

bool compute_file_hash(const std::filesystem::path& path, std::string& hex_out,
                       platform::FileStamp* stamp) {
    platform::Sha256Digest digest;
    if (!platform::sha256_file(path, digest, nullptr, stamp)) return false;
    hex_out = to_hex(digest);
    return true;
}

bool compute_file_hash(const std::filesystem::path& path, std::string& hex_out,
                       platform::ByteHistogram& histogram, platform::FileStamp* stamp) {
    platform::Sha256Digest digest;
    if (!platform::sha256_file(path, digest, &histogram, stamp)) return false;
    hex_out = to_hex(digest);
    return true;
}
