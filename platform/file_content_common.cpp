#include <utility>

#include "platform/file_content.h"

namespace platform {

FileContent::~FileContent() { release(); }

FileContent::FileContent(FileContent&& other) noexcept
    : bytes(std::exchange(other.bytes, nullptr)), length(std::exchange(other.length, 0)) {}

FileContent& FileContent::operator=(FileContent&& other) noexcept {
    if (this != &other) {
        release();
        bytes = std::exchange(other.bytes, nullptr);
        length = std::exchange(other.length, 0);
    }
    return *this;
}

}  // namespace platform
