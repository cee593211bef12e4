// The whole content of a file, for reading only. Where the system lets a file that is mapped still
// be replaced by a rename, the file is mapped: its pages come straight from the system's file
// cache, with no copy and no fresh memory to clear. Elsewhere it is read into memory, so the file
// stays free to be replaced while the content is in use.
#pragma once

#include <cstddef>
#include <filesystem>

namespace platform {

class FileContent {
  public:
    FileContent() = default;
    ~FileContent();
    FileContent(FileContent&& other) noexcept;
    FileContent& operator=(FileContent&& other) noexcept;
    FileContent(const FileContent&) = delete;
    FileContent& operator=(const FileContent&) = delete;

    // Replaces the content with the regular file's. False, with the content unchanged, when the
    // file cannot be opened or read or is not a regular file.
    bool load(const std::filesystem::path& path);

    // Replaces the content with a copy of these bytes, held in memory.
    void copy(const unsigned char* data, std::size_t size);

    const unsigned char* data() const { return bytes; }
    std::size_t size() const { return length; }

  private:
    void release();

    unsigned char* bytes = nullptr;
    std::size_t length = 0;
    bool copied = false;  // the bytes are a copy of ours, not a mapping of the file
};

}  // namespace platform
