// Returning the program's own memory to the system: the two steps of the memory clean-up.
#pragma once

#include <cstddef>
#include <filesystem>

namespace platform {

// The file whose write resets the process's page reference state (Linux: /proc/self/clear_refs).
// Windows needs no file and returns an empty path.
std::filesystem::path default_page_reference_file();

// Step 1: trims the working set (Windows) or hands free heap memory back (Linux). True on success.
bool trim_working_set();

// Step 2: asks the system to drop as many pages of this process as it can (Windows: both
// working-set limits set to -1; Linux: "1" written to page_reference_file). True on success.
bool reset_working_set(const std::filesystem::path& page_reference_file);

// Asks for large pages under a big table not yet touched, where the system grants them on request:
// a table read at random costs a translation miss per look on small pages. Only a hint; nothing
// changes where it is not followed.
void prefer_large_pages(void* data, std::size_t size);

}  // namespace platform
