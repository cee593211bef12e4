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

bool hash_into(const FileLocation& file, std::string& hex_out, platform::ByteHistogram* histogram,
               platform::FileStamp* stamp, std::string* error) {
    platform::Sha256Digest digest;
    platform::ReadError failure;
    const bool hashed = file.folder != nullptr
                            ? platform::sha256_file_in(*file.folder, file.name, file.path, digest,
                                                       histogram, stamp, &failure)
                            : platform::sha256_file(file.path, digest, histogram, stamp, &failure);
    if (!hashed) {
        if (error != nullptr) *error = describe_read_error(failure);
        return false;
    }
    hex_out = to_hex(digest);
    return true;
}

}  // namespace

std::string describe_read_error(const platform::ReadError& error) {
    const auto with_system = [&error](const char* what) {
        std::string text = what;
        if (error.system) text += ": " + error.system.message();
        return text;
    };
    switch (error.failure) {
        case platform::ReadFailure::kOpen:
            return with_system("cannot open");
        case platform::ReadFailure::kNotRegularFile:
            return "not a regular file";
        case platform::ReadFailure::kPseudoFile:
            return "on a pseudo file system";
        case platform::ReadFailure::kChanged:
            return "changed while it was read";
        case platform::ReadFailure::kRead:
            return with_system("read error");
        case platform::ReadFailure::kDigest:
            return "digest failed";
        case platform::ReadFailure::kNone:
            break;
    }
    return "cannot be read";
}

bool compute_file_hash(const FileLocation& file, std::string& hex_out, platform::FileStamp* stamp,
                       std::string* error) {
    return hash_into(file, hex_out, nullptr, stamp, error);
}

bool compute_file_hash(const FileLocation& file, std::string& hex_out,
                       platform::ByteHistogram& histogram, platform::FileStamp* stamp,
                       std::string* error) {
    return hash_into(file, hex_out, &histogram, stamp, error);
}

bool read_whole_content(const FileLocation& file, platform::WholeFile& content,
                        platform::FileStamp* stamp, std::string* error) {
    platform::ReadError failure;
    const bool read = file.folder != nullptr
                          ? platform::read_whole_file_in(*file.folder, file.name, file.path,
                                                         content, stamp, &failure)
                          : platform::read_whole_file(file.path, content, stamp, &failure);
    if (!read && error != nullptr) *error = describe_read_error(failure);
    return read;
}

bool compute_bytes_hash(const unsigned char* data, std::size_t length, std::string& hex_out) {
    platform::Sha256Digest digest;
    if (!platform::sha256_bytes(data, length, digest)) return false;
    hex_out = to_hex(digest);
    return true;
}
