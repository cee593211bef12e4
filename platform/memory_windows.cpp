// <windows.h> must come before <psapi.h>.
#include <windows.h>

#include <psapi.h>

#include "platform/memory.h"

namespace platform {

std::filesystem::path default_page_reference_file() { return {}; }

bool trim_working_set() { return K32EmptyWorkingSet(GetCurrentProcess()) != 0; }

bool reset_working_set(const std::filesystem::path&) {
    return SetProcessWorkingSetSize(GetCurrentProcess(), static_cast<SIZE_T>(-1),
                                    static_cast<SIZE_T>(-1)) != 0;
}

// Large pages need a privilege ordinary users lack and memory reserved for them up front.
void prefer_large_pages(void*, std::size_t) {}

}  // namespace platform
