#include <algorithm>
#include <utility>

#include "platform/file_content.h"

namespace platform {

FileContent::~FileContent() { release(); }

FileContent::FileContent(FileContent&& other) noexcept
    : bytes(std::exchange(other.bytes, nullptr)),
      length(std::exchange(other.length, 0)),
      copied(std::exchange(other.copied, false)) {}

FileContent& FileContent::operator=(FileContent&& other) noexcept {
    if (this != &other) {
        release();
        bytes = std::exchange(other.bytes, nullptr);
        length = std::exchange(other.length, 0);
        copied = std::exchange(other.copied, false);
    }
    return *this;
}

void FileContent::copy(const unsigned char* data, std::size_t size) {
    auto* fresh = new unsigned char[size == 0 ? 1 : size];
    std::copy(data, data + size, fresh);
    release();
    bytes = fresh;
    length = size;
    copied = true;
}

}  // namespace platform
