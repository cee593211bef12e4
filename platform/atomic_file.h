// Writing a file so that a crash or a full disk never leaves a half-written one behind: the data
// goes to a temporary file in the same folder, which replaces the target only when complete.
#pragma once

#include <filesystem>
#include <fstream>

namespace platform {

class AtomicFileWriter {
  public:
    // Opens a fresh temporary file beside `target`. `text` selects text mode (CR LF line ends on
    // Windows). Check ok() before writing.
    explicit AtomicFileWriter(std::filesystem::path target, bool text = false);
    ~AtomicFileWriter();  // removes the temporary file unless commit() succeeded
    AtomicFileWriter(const AtomicFileWriter&) = delete;
    AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;

    bool ok() const { return static_cast<bool>(out); }
    std::ostream& stream() { return out; }

    // Flushes, closes, forces the data to disk and renames the temporary file over the target.
    // Returns false (and leaves the target as it was) when any of that fails.
    bool commit();

  private:
    std::filesystem::path target;
    std::filesystem::path temporary;
    std::ofstream out;
    bool committed = false;
};

// Forces a closed file's data to disk and atomically renames it over `target`.
bool sync_and_replace(const std::filesystem::path& temporary, const std::filesystem::path& target);

}  // namespace platform
