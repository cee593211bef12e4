// Whether a file carries a valid digital signature from a trusted publisher.
#pragma once

#include <filesystem>

namespace platform {

// True only for a file whose own embedded signature verifies against the system's trust store,
// without any network access. Anything else (unsigned, untrusted, unsupported type, error) is
// false. Systems without a trust store for arbitrary files answer false for every file.
bool is_trusted_signature(const std::filesystem::path& file);

}  // namespace platform
