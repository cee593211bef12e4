#include <atomic>
#include <random>
#include <string>
#include <utility>

#include "platform/atomic_file.h"

namespace platform {

std::filesystem::path AtomicFileWriter::fresh_temporary_name(const std::filesystem::path& target) {
    // The random part keeps two processes apart, the counter two writers of this one.
    static const std::uint32_t process_part = std::random_device{}();
    static std::atomic<unsigned> counter{0};
    auto name = target.filename();
    name += ".tmp-" + std::to_string(process_part) + "-" + std::to_string(counter.fetch_add(1));
    return target.parent_path() / name;
}

bool is_temporary_name_of(const std::filesystem::path& name,
                          const std::filesystem::path& target_name) {
    using String = std::filesystem::path::string_type;
    const String& text = name.native();
    String start = target_name.native();
    if (start.empty()) return false;
    for (const char c : std::string(".tmp-")) start.push_back(static_cast<String::value_type>(c));
    if (text.size() <= start.size() || text.compare(0, start.size(), start) != 0) return false;
    // Numbers joined by single '-': no empty number, no leading or trailing '-'.
    bool digit_before = false;
    for (std::size_t i = start.size(); i < text.size(); ++i) {
        const auto c = text[i];
        if (c >= '0' && c <= '9') {
            digit_before = true;
        } else if (c == '-' && digit_before) {
            digit_before = false;
        } else {
            return false;
        }
    }
    return digit_before;
}

AtomicFileWriter::AtomicFileWriter(std::filesystem::path target_path, bool text)
    : AtomicFileWriter(std::move(target_path), AtomicFileOptions{text, false}) {}

AtomicFileWriter::AtomicFileWriter(std::filesystem::path target_path,
                                   const AtomicFileOptions& options)
    : target(std::move(target_path)) {
    open_temporary(options);
    if (buffer != nullptr) out.rdbuf(buffer.get());
}

AtomicFileWriter::~AtomicFileWriter() {
    if (!committed) discard();
}

bool AtomicFileWriter::fail(std::error_code reason) {
    if (!failure) failure = reason;
    discard();
    return false;
}

}  // namespace platform
