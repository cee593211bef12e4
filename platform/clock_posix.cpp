#include "platform/clock.h"

namespace platform {

std::tm local_time(std::time_t when) {
    std::tm result{};
    localtime_r(&when, &result);
    return result;
}

}  // namespace platform
