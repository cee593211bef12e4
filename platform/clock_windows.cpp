#include "platform/clock.h"

namespace platform {

std::tm local_time(std::time_t when) {
    std::tm result{};
    localtime_s(&result, &when);
    return result;
}

}  // namespace platform
