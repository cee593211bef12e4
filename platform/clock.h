// Local wall-clock time, read the way each system prefers.
#pragma once

#include <ctime>

namespace platform {

// Broken-down local time of the given calendar time (seconds since 1970), thread-safe.
std::tm local_time(std::time_t when);

}  // namespace platform
