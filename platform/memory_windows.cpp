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

}  // namespace platform
